#include "macro/persistent_macros.h"

#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/registry_values.h"
#include "platform/clock.h"
#include "platform/registry_file.h"

#include <memory>

CPersistentValues& PersistentValues()
{
    static CPersistentValues* values = [] {
        CHeapSwitch shared;
        return new CPersistentValues; // lives until the process ends
    }();
    return *values;
}

void CPersistentValues::EnsureLoaded()
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    if (m_loaded)
        return;
    m_values.clear();
    bool opened = LoadRegistryValues(kPersistentValuesKeyPath, [this](std::string name, platform::RegistryValue& value) {
        std::string text(value.data.begin(), value.data.end());
        text.resize(std::min(text.size(), text.find('\0')));
        m_values[std::move(name)] = std::move(text);
    });
    m_lastWrite = opened ? platform::MonotonicMs() : 0;
    m_loaded = true;
}

bool CPersistentValues::WriteBackLocked()
{
    bool saved = SaveRegistryValues(
        kPersistentValuesKeyPath, [this](const std::string& name) { return m_values.count(name) != 0; },
        [this](const platform::RegistryKey& key) {
            for (const auto& [name, text] : m_values)
                if (key.SetString(name, text) != platform::kErrorSuccess)
                    return false;
            return true;
        });
    if (saved)
        m_lastWrite = platform::MonotonicMs();
    return saved;
}

bool CPersistentValues::WriteBack()
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    return m_loaded ? WriteBackLocked() : true;
}

void CPersistentValues::Set(const std::string& lowerName, const char* value)
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    m_values.erase(lowerName);
    if (value != nullptr)
        m_values[lowerName] = value;
    if (platform::MonotonicMs() > m_lastWrite + kPersistentWriteBackMs)
        WriteBackLocked();
}

std::optional<std::string> CPersistentValues::Get(const std::string& lowerName)
{
    CEventLockHolder hold(m_lock);
    auto found = m_values.find(lowerName);
    if (found == m_values.end())
        return std::nullopt;
    return found->second;
}

void CPersistentValues::ResetForTesting()
{
    CHeapSwitch shared;
    CEventLockHolder hold(m_lock);
    m_values.clear();
    m_loaded = false;
    m_lastWrite = 0;
}

void CPersistentValues::SetLastWriteForTesting(std::uint64_t tick)
{
    CEventLockHolder hold(m_lock);
    m_lastWrite = tick;
}

void CPSetMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1 || argv[0] == nullptr)
        return;
    // As for counters: a stored name must be one an export can write.
    if (!platform::IsRegistryTextName(argv[0])) {
        MacroError(out, scope, "pset", 0, "Control character in a value name.", 1);
        return;
    }
    PersistentValues().Set(LowerName(argv[0]), argc >= 2 ? argv[1] : nullptr);
}

void CPGetMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1 || argv[0] == nullptr)
        return;
    if (std::optional<std::string> text = PersistentValues().Get(LowerName(argv[0])))
        out->Append(*text);
}

void RegisterPersistentMacros(CMacroContext& global)
{
    PersistentValues().EnsureLoaded();
    global.Register("pset", std::make_unique<CPSetMacro>());
    global.Register("pget", std::make_unique<CPGetMacro>());
}

void PersistentValuesWriteBack()
{
    PersistentValues().WriteBack();
}
