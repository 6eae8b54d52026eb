#include "macro/counter_macros.h"

#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/registry_values.h"
#include "platform/clock.h"
#include "platform/registry_file.h"

#include <cstring>
#include <mutex>

namespace {

// The table of the latest registration, for the write-back at engine stop.
std::mutex g_currentLock;
std::weak_ptr<CCounterTable> g_current;

// Leading blanks, an optional sign, digits; anything else ends the number.
long long ParseOperation(const char* text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        if (value < (1LL << 40))
            value = value * 10 + (*text - '0');
    return negative ? -value : value;
}

} // namespace

CCounterTable::~CCounterTable()
{
    WriteBack();
}

void CCounterTable::Load()
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    m_counts.clear();
    bool opened = LoadRegistryValues(kCountersKeyPath, [this](std::string name, platform::RegistryValue& value) {
        std::uint32_t count = 0;
        std::memcpy(&count, value.data.data(), std::min<std::size_t>(value.data.size(), sizeof count));
        m_counts[std::move(name)] = count;
    });
    m_lastWrite = opened ? platform::MonotonicMs() : 0;
}

bool CCounterTable::WriteBackLocked()
{
    bool saved = SaveRegistryValues(
        kCountersKeyPath, [this](const std::string& name) { return m_counts.count(name) != 0; },
        [this](const platform::RegistryKey& key) {
            for (const auto& [name, count] : m_counts)
                if (key.SetDword(name, count) != platform::kErrorSuccess)
                    return false;
            return true;
        });
    if (saved)
        m_lastWrite = platform::MonotonicMs();
    return saved;
}

bool CCounterTable::WriteBack()
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    return WriteBackLocked();
}

std::uint32_t CCounterTable::Increment(const std::string& lowerName)
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    if (platform::MonotonicMs() > m_lastWrite + kCounterWriteBackMs)
        WriteBackLocked();
    return ++m_counts[lowerName];
}

std::uint32_t CCounterTable::Read(const std::string& lowerName)
{
    CEventLockHolder hold(m_lock);
    auto found = m_counts.find(lowerName);
    return found == m_counts.end() ? 0 : found->second;
}

void CCounterTable::Set(const std::string& lowerName, std::uint32_t count)
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    m_counts[lowerName] = count;
}

void CCounterTable::SetLastWriteForTesting(std::uint64_t tick)
{
    CEventLockHolder hold(m_lock);
    m_lastWrite = tick;
}

CCounterMacro::CCounterMacro()
{
    CHeapSwitch shared;
    m_table = std::make_shared<CCounterTable>();
}

// No name: "Default". Name only: increment. Operation -1: read. Any other
// operation: set. The count prints as an unsigned 32-bit number.
void CCounterMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    std::string name = LowerName(argc >= 1 && argv[0] != nullptr ? argv[0] : "Default");
    // Pages count under names their clients give; a name with a line break
    // or an escape would be stored where no export of the configuration
    // could write it.
    if (!platform::IsRegistryTextName(name)) {
        MacroError(out, scope, "counter", 0, "Control character in a counter name.", 1);
        return;
    }
    std::uint32_t count;
    if (argc < 2 || argv[1] == nullptr) {
        count = m_table->Increment(name);
    } else {
        long long operation = ParseOperation(argv[1]);
        if (operation == -1) {
            count = m_table->Read(name);
        } else {
            count = static_cast<std::uint32_t>(operation);
            m_table->Set(name, count);
        }
    }
    out->Append(std::to_string(count));
}

void RegisterCounterMacros(CMacroContext& global)
{
    if (global.IsReadOnly())
        return;
    auto macro = std::make_unique<CCounterMacro>();
    macro->Table().Load();
    {
        std::lock_guard<std::mutex> hold(g_currentLock);
        g_current = macro->SharedTable();
    }
    global.Register("counter", std::move(macro));
}

void CounterWriteBack()
{
    std::shared_ptr<CCounterTable> table;
    {
        std::lock_guard<std::mutex> hold(g_currentLock);
        table = g_current.lock();
    }
    if (table)
        table->WriteBack();
}
