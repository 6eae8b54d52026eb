#include "app/kit/message_box.h"

#include "resources/string_table.h"

#include <QMessageBox>

namespace {

constexpr unsigned kProductNameId = 0xE000;

class QtMessageBoxes : public IMessageBoxes {
public:
    int Show(QWidget* parent, const QString& text, unsigned type, unsigned) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(ApplicationTitle());
        box.setText(text);
        box.setIcon((type & 0xF0) == kMbIconExclamation ? QMessageBox::Warning : QMessageBox::Information);
        switch (type & kMbButtonMask) {
        case kMbYesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setIcon(QMessageBox::Question);
            box.setDefaultButton(type & kMbDefButton2 ? QMessageBox::No : QMessageBox::Yes);
            break;
        case kMbOkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        }
        switch (box.exec()) {
        case QMessageBox::Yes:
            return kIdYes;
        case QMessageBox::No:
            return kIdNo;
        case QMessageBox::Cancel:
            return kIdCancel;
        default:
            // Closing an OK box answers OK; closing a Yes/No box is No.
            return (type & kMbButtonMask) == kMbYesNo ? kIdNo : kIdOk;
        }
    }
};

QtMessageBoxes g_default;
IMessageBoxes* g_answerer = &g_default;

} // namespace

IMessageBoxes& MessageBoxes() { return *g_answerer; }

void SetMessageBoxes(IMessageBoxes* answerer) { g_answerer = answerer ? answerer : &g_default; }

QString LoadQString(unsigned stringId)
{
    const char* text = LoadStringById(stringId);
    return text ? QString::fromLatin1(text) : QString();
}

QString ApplicationTitle()
{
    QString title = LoadQString(kProductNameId);
    return title.isEmpty() ? QStringLiteral("Velmora") : title;
}

int VelmoraMessageBox(QWidget* parent, const QString& text, unsigned type, unsigned helpId)
{
    return MessageBoxes().Show(parent, text, type, helpId);
}

int VelmoraMessageBox(QWidget* parent, unsigned stringId, unsigned type)
{
    return MessageBoxes().Show(parent, LoadQString(stringId), type, stringId);
}
