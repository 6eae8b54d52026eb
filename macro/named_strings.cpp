#include "macro/named_strings.h"

#include "macro/macro.h"
#include "macro/macro_context.h"
#include "platform/registry.h"
#include "resources/string_table.h"

#include <cstring>
#include <string>

namespace {

std::string LowerName(std::string_view name)
{
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// A value's text is its bytes up to the first NUL, whatever its type.
std::string ValueText(const platform::RegistryValue& value)
{
    const char* data = reinterpret_cast<const char*>(value.data.data());
    return std::string(data, ::strnlen(data, value.data.size()));
}

std::unique_ptr<CMacroScope> NewStringsScope()
{
    return std::make_unique<CMacroContext>();
}

} // namespace

void InitMacroLibrary()
{
    SetMacroScopeFactory(&NewStringsScope);
}

int CMacroContext::LoadStrings(const DefaultStringRow* rows, int keep)
{
    // Macros of a read-only scope run without a reference held, so emptying
    // one could free a text another thread is expanding.
    if (m_readOnly)
        return 1;
    if (!keep)
        m_macros.DeleteAll();
    for (const DefaultStringRow* row = rows; row && row->name; ++row)
        Register(LowerName(row->name), std::make_unique<CStringMacro>(LoadDefaultText(*row)));
    return 1;
}

int CMacroContext::LoadFromRegistry(const platform::RegistryKey& root, std::string_view subkey, int keep)
{
    if (!keep && !m_readOnly)
        m_macros.DeleteAll();
    // One committed state of the hive, so a concurrent save is seen whole or
    // not at all.
    platform::RegistrySnapshot snapshot;
    platform::RegistryKey key;
    if (root.Open(subkey, key) != platform::kErrorSuccess)
        return 0;
    // Values are read whole (the size-first query), so no name or text is
    // too long to load and none after it is lost.
    std::string name;
    platform::RegistryValue value;
    for (std::uint32_t index = 0; key.EnumValue(index, name, value) == platform::kErrorSuccess; ++index)
        Register(LowerName(name), std::make_unique<CStringMacro>(ValueText(value)));
    return 1;
}

int CMacroContext::SaveToRegistry(const platform::RegistryKey& root, std::string_view subkey)
{
    // Readers in other processes see the old key or the new one, never an
    // emptied key.
    platform::RegistryTransaction transaction;
    root.DeleteTree(subkey);
    platform::RegistryKey key;
    if (root.Create(subkey, key) != platform::kErrorSuccess)
        return 0;
    std::string text;
    for (CMacroMap::Entry entry : m_macros) {
        text.clear();
        if (entry.macro)
            entry.macro->GetText(text);
        key.SetString(entry.key, text);
    }
    key.Close();
    return transaction.Commit() == platform::kErrorSuccess ? 1 : 0;
}

void CMacroContext::CopyStringsFrom(const CMacroScope& other)
{
    const CMacroContext* source = dynamic_cast<const CMacroContext*>(&other);
    if (source == this)
        return;
    if (!source) {
        m_parent = nullptr;
        m_macros.DeleteAll();
        m_readOnly = other.IsReadOnly();
        return;
    }
    m_parent = source->m_parent;
    m_macros.CopyFrom(source->m_macros);
    m_readOnly = source->m_readOnly;
}

void CMacroContext::SetParentScope(CMacroScope* parent)
{
    m_parent = dynamic_cast<CMacroContext*>(parent);
}

CMacroContext::Position CMacroContext::GetStartPosition() const
{
    return m_macros.IsEmpty() ? kNoPosition : 1;
}

void CMacroContext::GetNextMacro(Position& position, std::string& name, std::string& text) const
{
    name.clear();
    text.clear();
    if (!GetMacroAt(position, name, text)) {
        position = kNoPosition;
        return;
    }
    position = position < m_macros.GetCount() ? position + 1 : kNoPosition;
}

int CMacroContext::GetMacroAt(Position position, std::string& name, std::string& text) const
{
    if (position <= 0)
        return 0;
    Position at = 1;
    for (CMacroMap::Entry entry : m_macros) {
        if (at++ != position)
            continue;
        name.assign(entry.key);
        text.clear();
        if (entry.macro)
            entry.macro->GetText(text);
        return 1;
    }
    return 0;
}

void CMacroContext::SetStringMacro(std::string_view name, std::string_view text)
{
    std::string lower = LowerName(name);
    auto macro = std::make_unique<CStringMacro>(std::string(text));
    m_macros.Remove(lower);
    m_macros.InsertHead(lower, macro.get());
    macro.release();
}

bool CMacroContext::RemoveMacro(Position position)
{
    std::string name, text;
    if (!GetMacroAt(position, name, text))
        return false;
    return m_macros.Remove(name);
}
