#include "macro/macro.h"

#include "framework/text_buffer.h"
#include "macro/macro_context.h"

#include <charconv>
#include <cstring>

CMacro::~CMacro() = default;

const char* CMacro::GetKind() const
{
    return "value";
}

void CMacro::GetText(std::string& result) const
{
    result.clear();
}

void CMacro::ReleaseReference() noexcept
{
    if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

void CValueMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    out->Append(m_text);
}

void CConstantMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    if (m_text && *m_text)
        out->Append(m_text, static_cast<int>(std::strlen(m_text)));
}

void CStringRefMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    if (m_text)
        out->Append(*m_text);
}

void CIntRefMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    if (!m_value)
        return;
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, *m_value);
    out->Append(digits, static_cast<int>(result.ptr - digits));
}

void CStringMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char**, int)
{
    scope->Expand(out, m_text.data(), static_cast<int>(m_text.size()));
}

void CStringMacro::GetText(std::string& result) const
{
    result = m_text;
}
