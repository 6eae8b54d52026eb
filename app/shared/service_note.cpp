#include "app/shared/service_note.h"

#include "app/shared/service_manager.h"
#include "platform/registry.h"
#include "platform/service_database.h"

#include <QLabel>
#include <QVBoxLayout>

CServiceNote::CServiceNote(QWidget* page, QVBoxLayout* layout, int index) : m_label(new QLabel(page)), m_layout(layout)
{
    m_label->setObjectName(QStringLiteral("serviceNote"));
    m_label->setWordWrap(true);
    m_label->hide();
    layout->insertWidget(index, m_label);
}

void CServiceNote::Show(int state, const std::string& machine, int width)
{
    if (state != -1 && state != kServiceNoAnswer) {
        m_label->hide();
        return;
    }
    QString text;
    // A far machine that answered "no such service" and one that did not
    // answer at all call for different things of the user.
    if (!machine.empty() && state == kServiceNoAnswer)
        text = QStringLiteral("%1 does not answer, so the state of its Velmora service is not known.")
                   .arg(QString::fromStdString(machine));
    else if (!machine.empty())
        text = QStringLiteral("The Velmora service of %1 is not installed there, or cannot be controlled from here.")
                   .arg(QString::fromStdString(machine));
    else if (state == kServiceNoAnswer)
        text = QStringLiteral("The Velmora service does not answer.");
    else if (!platform::ServiceDatabase::Exists(kVelmoraServiceName))
        text = QStringLiteral("The Velmora service is not installed on this machine, so it cannot be started here: "
                              "velmorad -install adds it. These settings are kept in %1.")
                   .arg(QString::fromStdString(platform::RegistryPath()));
    else
        text = QStringLiteral("The Velmora service does not answer.");
    m_label->setText(text);
    m_label->show();
    // The sheet took its size before the line appeared: the line asks for
    // the height its wrapped lines need, so the sheet grows to show them.
    m_label->setMinimumHeight(width > 0 ? m_label->heightForWidth(width) : 0);
    m_layout->activate();
}
