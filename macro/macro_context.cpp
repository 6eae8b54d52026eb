#include "macro/macro_context.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"

#include <climits>
#include <cstring>

CMacroContext::CMacroContext(CMacroContext* parent) : m_parent(parent)
{
}

CMacroContext::~CMacroContext() = default;

int CMacroContext::Register(std::string_view name, std::unique_ptr<CMacro>&& macro)
{
    if (m_readOnly)
        return 0;
    m_macros.Remove(name);
    if (macro) {
        m_macros.InsertHead(name, macro.get());
        macro.release();
    }
    return 1;
}

CMacro* CMacroContext::FindMacro(std::string_view name, CMacroContext** holder)
{
    CMacroContext* scope = this;
    while (!name.empty() && name.front() == ':' && scope->m_parent) {
        name.remove_prefix(1);
        scope = scope->m_parent;
    }
    std::uint32_t hash = CMacroMap::Hash(name);
    for (; scope; scope = scope->m_parent) {
        if (CMacro* macro = scope->m_macros.Lookup(name, hash)) {
            if (holder)
                *holder = scope;
            return macro;
        }
    }
    if (holder)
        *holder = nullptr;
    return nullptr;
}

CMacro* CMacroContext::FindMacro(const char* name, CMacroContext** holder)
{
    return FindMacro(std::string_view(name ? name : ""), holder);
}

int CMacroContext::CallMacro(CTextBuffer* out, std::string_view name, const char** argv, int argc, CMacroContext* caller)
{
    CMacroContext* holder = nullptr;
    CMacro* macro = FindMacro(name, &holder);
    if (!macro)
        return 0;
    // Keep the macro alive until Evaluate returns, even when it removes or
    // replaces its own name meanwhile. Macros of read-only scopes cannot go
    // away and are spared the shared counter's traffic.
    struct Hold {
        CMacro* macro;
        explicit Hold(CMacro* m) : macro(m)
        {
            if (macro)
                macro->AddReference();
        }
        ~Hold()
        {
            if (macro)
                macro->ReleaseReference();
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
    } hold(holder->m_readOnly ? nullptr : macro);
    macro->Evaluate(caller ? caller : this, out, argv, argc);
    return 1;
}

int CMacroContext::CallMacro(CTextBuffer* out, const char* name, const char** argv, int argc, CMacroContext* caller)
{
    return CallMacro(out, std::string_view(name ? name : ""), argv, argc, caller);
}

void CMacroContext::Expand(CTextBuffer* out, std::string_view text)
{
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        text = text.substr(0, INT_MAX);
    Expand(out, text.data(), static_cast<int>(text.size()));
}

void CMacroContext::ExpandNested(CTextBuffer* out, std::string_view text, std::span<const Constant> constants)
{
    CMacroContext nested(this);
    for (const Constant& constant : constants)
        nested.Register(constant.name, std::make_unique<CConstantMacro>(constant.value));
    nested.Expand(out, text);
}
