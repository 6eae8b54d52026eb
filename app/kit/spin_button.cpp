#include "app/kit/spin_button.h"

#include "app/kit/data_exchange.h"

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

CSpinButton::CSpinButton(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_up = new QToolButton(this);
    m_up->setObjectName(QStringLiteral("up"));
    m_up->setArrowType(Qt::UpArrow);
    m_up->setAutoRepeat(true);
    m_down = new QToolButton(this);
    m_down->setObjectName(QStringLiteral("down"));
    m_down->setArrowType(Qt::DownArrow);
    m_down->setAutoRepeat(true);
    for (QToolButton* button : {m_up, m_down}) {
        button->setFixedSize(16, 11);
        button->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(button);
    }
    connect(m_up, &QToolButton::clicked, this, [this] { Step(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CSpinButton::SetRange(int lower, int upper)
{
    m_lower = std::min(lower, upper);
    m_upper = std::max(lower, upper);
}

void CSpinButton::Step(int delta)
{
    if (!m_buddy)
        return;
    std::optional<std::int32_t> typed = ParseDialogInt(m_buddy->text().toStdString());
    long long value = typed ? static_cast<long long>(*typed) + delta : m_lower;
    value = std::clamp<long long>(value, m_lower, m_upper);
    m_buddy->setText(QString::number(value));
}
