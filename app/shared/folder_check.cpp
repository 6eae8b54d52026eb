#include "app/shared/folder_check.h"

#include "app/kit/data_exchange.h"
#include "app/kit/message_box.h"

#include <QWidget>

#include <filesystem>
#include <system_error>

namespace {

bool OnSheetWith(const QWidget* control, const char* property)
{
    for (const QWidget* at = control; at; at = at->parentWidget())
        if (at->property(property).toBool())
            return true;
    return false;
}

} // namespace

bool FolderMissing(const QWidget* control, const std::string& path)
{
    if (OnSheetWith(control, kFarMachineProperty))
        return false;
    std::error_code error;
    return !std::filesystem::is_directory(path, error);
}

void CheckFolderExists(CDataExchange& dx, QWidget* dialog, const QString& what, const std::string& folder,
                       const std::string& stored)
{
    // A stored folder that has gone since is left alone: the person did not
    // type it now, and refusing it would block every other change. A new
    // entry's default was never stored, so it is checked like a typed one.
    if (!dx.m_bSaveAndValidate || (folder == stored && !OnSheetWith(dialog, kNewEntryProperty)) ||
        !FolderMissing(dialog, folder))
        return;
    VelmoraMessageBox(dialog,
                      QStringLiteral("The %1 \"%2\" does not exist.  Please enter an existing folder.")
                          .arg(what, QString::fromStdString(folder)),
                      kMbOk | kMbIconExclamation);
    dx.Fail(QString());
}
