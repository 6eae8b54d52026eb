#pragma once
// Every modal dialog of the kit (sheets, nested sheets, dialogs) is run
// through one replaceable runner. The default runs the dialog's own loop;
// tests install a runner that works the dialog's widgets and returns,
// so no test ever waits in a modal loop for a person.

#include <functional>

class QDialog;

class IModalRunner {
public:
    virtual ~IModalRunner() = default;
    // Runs dialog modally; returns kIdOk when it was accepted, else kIdCancel.
    virtual int Run(QDialog& dialog) = 0;
};

IModalRunner& ModalRunner();
// Null restores the default runner.
void SetModalRunner(IModalRunner* runner);

// Runs dialog through the runner in use.
int RunModal(QDialog& dialog);
