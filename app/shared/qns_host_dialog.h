#pragma once
// CQNSHostDialog: one entry of the QNS table, an IPv4 address and the host
// name the servers give it (blank: the name is looked up when the servers
// start). OK and Lookup are enabled only while the address field holds
// text. OK refuses an address that does not read as one, or that the table
// already holds; the entry being edited is out of the table meanwhile.
//
// Lookup asks the DNS for the address's name on a helper thread while the
// window keeps serving its events, and gives up after kQNSLookupDeadlineMs
// with a message that says so; a late answer is dropped.

#include "app/kit/exchange_dialog.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Ui {
class QNSHostDialog;
}

class CQNSConfig;
class QEventLoop;

// How long Lookup waits for the DNS. A resolver that gets no answer tries
// each name server twice with a 5 s time-out; past that a person is better
// told than kept waiting.
inline constexpr std::uint32_t kQNSLookupDeadlineMs = 15000;

inline constexpr unsigned kInvalidIPAddressStringId = 2074;
inline constexpr unsigned kQNSLookupFailedStringId = 2091;
inline constexpr unsigned kQNSDuplicateStringId = 2092;

// Reads a dotted address as the servers do; 255.255.255.255 is no address.
bool ParseQNSAddress(const QString& text, std::uint32_t& address);
// "%d.%d.%d.%d", the first octet from the lowest byte.
QString FormatQNSAddress(std::uint32_t address);

// A reverse look-up: 0 with the name, else non-zero. It is given the
// deadline too, so that it can stop by itself.
using QNSReverseLookup = std::function<int(std::uint32_t address, std::uint32_t deadlineMs, std::string* name)>;

class CQNSHostDialog : public CExchangeDialog {
    Q_OBJECT
public:
    // table: for the duplicate test only.
    CQNSHostDialog(CQNSConfig& table, QWidget* parent);
    ~CQNSHostDialog() override;

    std::uint32_t m_address = 0;
    std::string m_hostName;

    // Tests put a slow DNS and a short deadline in place.
    void SetReverseLookup(QNSReverseLookup lookup) { m_lookup = std::move(lookup); }
    void SetLookupDeadline(std::uint32_t milliseconds) { m_deadlineMs = milliseconds; }

    void OnLookup();

public slots:
    // Return while Lookup waits does not close on a half-done answer.
    void accept() override;
    // Cancel while Lookup waits stops the wait too.
    void reject() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    enum class LookupOutcome { Found, NotFound, TimedOut, Abandoned };
    LookupOutcome WaitForLookup(std::uint32_t address, std::string& name);
    void UpdateButtons();

    std::unique_ptr<Ui::QNSHostDialog> m_ui;
    CQNSConfig& m_table;
    QNSReverseLookup m_lookup;
    std::uint32_t m_deadlineMs = kQNSLookupDeadlineMs;
    // Set while Lookup waits.
    QEventLoop* m_waiting = nullptr;
    bool m_abandoned = false;
};
