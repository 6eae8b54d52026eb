#include "app/shared/qns_host_dialog.h"

#include "ui_qns_host_dialog.h"

#include "app/kit/message_box.h"
#include "config/qns_config.h"
#include "platform/net.h"

#include <QApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QPromise>
#include <QTimer>

#include <thread>

namespace {

QString TimedOutText(std::uint32_t deadlineMs)
{
    return QStringLiteral("The hostname cannot be located using your DNS server: it did not answer within %1 "
                          "seconds.")
        .arg(QString::number(deadlineMs / 1000.0));
}

int SystemReverseLookup(std::uint32_t address, std::uint32_t deadlineMs, std::string* name)
{
    return platform::LookupHostName(address, deadlineMs, name);
}

struct LookupAnswer {
    bool found = false;
    std::string name;
};

} // namespace

bool ParseQNSAddress(const QString& text, std::uint32_t& address)
{
    std::uint32_t parsed = 0;
    if (!platform::ParseIPv4(text.toLatin1().constData(), &parsed) || parsed == 0xFFFFFFFFu)
        return false;
    address = parsed;
    return true;
}

QString FormatQNSAddress(std::uint32_t address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 24) & 0xFF);
}

CQNSHostDialog::CQNSHostDialog(CQNSConfig& table, QWidget* parent)
    : CExchangeDialog(parent), m_table(table), m_lookup(SystemReverseLookup)
{
}

CQNSHostDialog::~CQNSHostDialog() = default;

void CQNSHostDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::QNSHostDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CQNSHostDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CQNSHostDialog::reject);
    connect(m_ui->lookupButton, &QPushButton::clicked, this, &CQNSHostDialog::OnLookup);
    connect(m_ui->addressEdit, &QLineEdit::textChanged, this, &CQNSHostDialog::UpdateButtons);
}

bool CQNSHostDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    UpdateButtons();
    // The address comes selected, so what the person types replaces it
    // rather than landing behind a pre-filled 0.0.0.0.
    m_ui->addressEdit->setFocus(Qt::OtherFocusReason);
    m_ui->addressEdit->selectAll();
    return result;
}

void CQNSHostDialog::UpdateButtons()
{
    bool enable = !m_waiting && !m_ui->addressEdit->text().isEmpty();
    m_ui->okButton->setEnabled(enable);
    m_ui->lookupButton->setEnabled(enable);
}

void CQNSHostDialog::DoDataExchange(CDataExchange& dx)
{
    dx.PrepareControl(m_ui->addressEdit);
    if (!dx.m_bSaveAndValidate) {
        m_ui->addressEdit->setText(FormatQNSAddress(m_address));
        m_ui->hostNameEdit->setText(QString::fromStdString(m_hostName));
        return;
    }
    std::uint32_t address = 0;
    if (!ParseQNSAddress(m_ui->addressEdit->text(), address)) {
        VelmoraMessageBox(this, kInvalidIPAddressStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    if (m_table.GetEntries().count(address)) {
        VelmoraMessageBox(this, kQNSDuplicateStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    m_address = address;
    m_hostName = m_ui->hostNameEdit->text().toStdString();
}

void CQNSHostDialog::OnLookup()
{
    if (m_waiting)
        return;
    std::uint32_t address = 0;
    if (!ParseQNSAddress(m_ui->addressEdit->text(), address)) {
        VelmoraMessageBox(this, kInvalidIPAddressStringId, kMbOk | kMbIconExclamation);
        return;
    }
    std::string name;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    LookupOutcome outcome = WaitForLookup(address, name);
    QApplication::restoreOverrideCursor();
    switch (outcome) {
    case LookupOutcome::Found:
        m_ui->hostNameEdit->setText(QString::fromStdString(name));
        break;
    case LookupOutcome::NotFound:
        VelmoraMessageBox(this, kQNSLookupFailedStringId, kMbOk | kMbIconExclamation);
        break;
    case LookupOutcome::TimedOut:
        VelmoraMessageBox(this, TimedOutText(m_deadlineMs), kMbOk | kMbIconExclamation, kQNSLookupFailedStringId);
        break;
    case LookupOutcome::Abandoned:
        break;
    }
}

// The look-up runs on a thread of its own and hands its answer over through
// a promise, so the window's loop keeps running and the thread may outlive
// the dialog: a late answer lands in a future nobody watches any more.
CQNSHostDialog::LookupOutcome CQNSHostDialog::WaitForLookup(std::uint32_t address, std::string& name)
{
    QPromise<LookupAnswer> promise;
    QFuture<LookupAnswer> future = promise.future();
    QFutureWatcher<LookupAnswer> watcher;
    watcher.setFuture(future);
    std::thread([promise = std::move(promise), lookup = m_lookup, address, deadline = m_deadlineMs]() mutable {
        promise.start();
        LookupAnswer answer;
        std::string found;
        if (lookup(address, deadline, &found) == 0 && !found.empty()) {
            answer.found = true;
            answer.name = std::move(found);
        }
        promise.addResult(std::move(answer));
        promise.finish();
    }).detach();

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&watcher, &QFutureWatcher<LookupAnswer>::finished, &loop, &QEventLoop::quit);
    m_waiting = &loop;
    m_abandoned = false;
    UpdateButtons();
    deadline.start(static_cast<int>(m_deadlineMs));
    if (!future.isFinished())
        loop.exec();
    m_waiting = nullptr;
    UpdateButtons();

    if (m_abandoned)
        return LookupOutcome::Abandoned;
    if (!future.isFinished() || future.resultCount() == 0)
        return LookupOutcome::TimedOut;
    LookupAnswer answer = future.result();
    if (!answer.found)
        return LookupOutcome::NotFound;
    name = std::move(answer.name);
    return LookupOutcome::Found;
}

void CQNSHostDialog::accept()
{
    if (!m_waiting)
        CExchangeDialog::accept();
}

void CQNSHostDialog::reject()
{
    if (m_waiting) {
        m_abandoned = true;
        m_waiting->quit();
    }
    CExchangeDialog::reject();
}
