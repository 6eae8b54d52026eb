#pragma once
// CMacro: the protocol every macro object implements, and the plain kinds
// that every family uses.
//
// A macro object registered in a scope is owned by that scope's map. The
// scope that runs a macro (CMacroContext::CallMacro) holds an extra reference
// for the duration of Evaluate, so a macro that removes or replaces its own
// name while it runs keeps its object, and the text it is reading, until it
// returns.

#include <atomic>
#include <string>

class CMacroContext;
class CMacroMap;
class CTextBuffer;

class CMacro {
public:
    CMacro() = default;
    virtual ~CMacro();

    CMacro(const CMacro&) = delete;
    CMacro& operator=(const CMacro&) = delete;

    // Appends the macro's output to out. scope is the scope the reference was
    // expanded in, not the one holding the macro. argv holds argc texts and a
    // null entry after them; a quote companion is called with argv null.
    virtual void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) = 0;
    // Always "value".
    virtual const char* GetKind() const;
    // The stored source text; empty except for string macros.
    virtual void GetText(std::string& result) const;

private:
    friend class CMacroMap;
    friend class CMacroContext;

    void AddReference() noexcept { m_references.fetch_add(1, std::memory_order_relaxed); }
    // Deletes the object when the last reference goes.
    void ReleaseReference() noexcept;

    // Readers of shared writable scopes run on several threads at once.
    std::atomic<int> m_references{0};
};

// Appends its own copy of a text, unexpanded.
class CValueMacro : public CMacro {
public:
    explicit CValueMacro(std::string text) : m_text(std::move(text)) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

// Appends a text it does not own; the text must outlive the macro.
class CConstantMacro : public CMacro {
public:
    explicit CConstantMacro(const char* text) : m_text(text) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const char* m_text;
};

// Appends the current text of a string owned by another object.
class CStringRefMacro : public CMacro {
public:
    explicit CStringRefMacro(const std::string* text) : m_text(text) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const std::string* m_text;
};

// Appends an int owned elsewhere in signed decimal.
class CIntRefMacro : public CMacro {
public:
    explicit CIntRefMacro(const int* value) : m_value(value) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const int* m_value;
};

// Expands its own copy of a text with the caller's scope.
class CStringMacro : public CMacro {
public:
    explicit CStringMacro(std::string text) : m_text(std::move(text)) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
    void GetText(std::string& result) const override;

private:
    std::string m_text;
};
