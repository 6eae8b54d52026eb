#include "app/kit/modal_runner.h"

#include "app/kit/message_box.h"

#include <QDialog>

namespace {

class ExecRunner : public IModalRunner {
public:
    int Run(QDialog& dialog) override { return dialog.exec() == QDialog::Accepted ? kIdOk : kIdCancel; }
};

ExecRunner g_default;
IModalRunner* g_runner = &g_default;

} // namespace

IModalRunner& ModalRunner() { return *g_runner; }

void SetModalRunner(IModalRunner* runner) { g_runner = runner ? runner : &g_default; }

int RunModal(QDialog& dialog) { return g_runner->Run(dialog); }
