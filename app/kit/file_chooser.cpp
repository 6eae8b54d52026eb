#include "app/kit/file_chooser.h"

#include <QFileDialog>

namespace {

std::optional<QString> Chosen(const QString& path)
{
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

class QtFileChooser : public IFileChooser {
public:
    std::optional<QString> OpenFile(QWidget* parent, const QString& caption, const QString& start,
                                    const QString& filter) override
    {
        return Chosen(QFileDialog::getOpenFileName(parent, caption, start, filter));
    }
    std::optional<QString> SaveFile(QWidget* parent, const QString& caption, const QString& start,
                                    const QString& filter) override
    {
        return Chosen(QFileDialog::getSaveFileName(parent, caption, start, filter));
    }
    std::optional<QString> Directory(QWidget* parent, const QString& caption, const QString& start) override
    {
        return Chosen(QFileDialog::getExistingDirectory(parent, caption, start));
    }
};

QtFileChooser g_default;
IFileChooser* g_chooser = &g_default;

} // namespace

IFileChooser& FileChooser() { return *g_chooser; }

void SetFileChooser(IFileChooser* chooser) { g_chooser = chooser ? chooser : &g_default; }
