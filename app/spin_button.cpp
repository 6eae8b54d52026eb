#include "app/spin_button.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

CSpinButton::CSpinButton(QWidget* parent) : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    m_up->setObjectName("up");
    m_down->setObjectName("down");
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {m_up, m_down}) {
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_up);
    layout->addWidget(m_down);
    connect(m_up, &QToolButton::clicked, this, [this] { Step(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CSpinButton::SetBuddy(QLineEdit* buddy)
{
    if (m_buddy)
        m_buddy->removeEventFilter(this);
    m_buddy = buddy;
    if (m_buddy)
        m_buddy->installEventFilter(this);
}

void CSpinButton::SetRange(int lower, int upper)
{
    m_lower = std::min(lower, upper);
    m_upper = std::max(lower, upper);
}

void CSpinButton::Step(int direction)
{
    if (!m_buddy)
        return;
    bool ok = false;
    long long value = m_buddy->text().trimmed().toLongLong(&ok);
    if (!ok)
        value = direction > 0 ? m_lower - 1LL : m_upper + 1LL;
    value = std::clamp<long long>(value + direction, m_lower, m_upper);
    m_buddy->setText(QString::number(value));
}

bool CSpinButton::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_buddy && event->type() == QEvent::KeyPress && isEnabled()) {
        int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
