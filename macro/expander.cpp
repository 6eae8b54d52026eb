// CMacroContext::Expand: the scanner of macro texts.
//
// The main scan copies text in runs between '%' signs; a reference is handed
// to ExpandReference, and one with an argument list to ExpandWithArguments,
// which owns the argument storage for as long as the called macro runs. The
// working buffers start inline, in the frame of the call that needs them,
// and move to the heap only when a reference outgrows them, so a simple
// reference costs no allocation. Frames are kept small on purpose: the
// stack a nesting level takes decides the fiber stack size (expander.h).

#include "macro/expander.h"

#include "framework/memory.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "macro/control_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/fiber.h"

#include <climits>
#include <cstring>
#include <optional>
#include <type_traits>

// One call's raw arguments, linked from the innermost call outwards. It
// lives in the expander's frame for as long as the called macro runs, and
// is marked with its fiber: fibers that interleave on one thread without
// the pool's thread-state swap share the chain, and must neither see nor
// unlink each other's frames.
struct CRawArgumentFrame {
    const char* const* argv;
    const unsigned char* raw;
    int argc;
    platform::Fiber* fiber;
    CRawArgumentFrame* outer;
};

namespace {

class CRawArgumentScope {
public:
    CRawArgumentScope(const char* const* argv, const unsigned char* raw, int argc)
        : m_frame{argv, raw, argc, platform::Fiber::Current(), GetThreadData().rawArguments}
    {
        GetThreadData().rawArguments = &m_frame;
    }
    ~CRawArgumentScope()
    {
        // Fibers may end their calls in any order, so search for the link.
        for (CRawArgumentFrame** link = &GetThreadData().rawArguments; *link; link = &(*link)->outer) {
            if (*link == &m_frame) {
                *link = m_frame.outer;
                return;
            }
        }
    }
    CRawArgumentScope(const CRawArgumentScope&) = delete;
    CRawArgumentScope& operator=(const CRawArgumentScope&) = delete;

private:
    CRawArgumentFrame m_frame;
};

int& ExpandDepthOfThread() { return GetThreadData().expandDepth; }

class CExpandLevel {
public:
    CExpandLevel()
    {
        if (ExpandDepthOfThread() >= kMaxExpandDepth)
            throw CMacroException(kExpandErrorType, kExpandErrorNumber, kExpandErrorMessage);
        ++ExpandDepthOfThread();
    }
    ~CExpandLevel() { --ExpandDepthOfThread(); }
    CExpandLevel(const CExpandLevel&) = delete;
    CExpandLevel& operator=(const CExpandLevel&) = delete;
};

// A growable array of trivially copyable items that starts in the frame
// holding it and spills to the program's heap.
template <typename T, int InlineCount> class CInlineArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    CInlineArray() = default;
    ~CInlineArray()
    {
        if (m_data != m_inline)
            FreeMemory(m_data);
    }
    CInlineArray(const CInlineArray&) = delete;
    CInlineArray& operator=(const CInlineArray&) = delete;

    T* Data() { return m_data; }
    int Size() const { return m_size; }
    T& operator[](int i) { return m_data[i]; }

    void Resize(int size)
    {
        if (size > m_capacity)
            Reserve(size);
        m_size = size;
    }
    void Push(T item)
    {
        if (m_size == m_capacity)
            Reserve(m_size + 1);
        m_data[m_size++] = item;
    }
    void Append(const T* items, long long count)
    {
        if (count <= 0)
            return;
        if (count > m_capacity - m_size)
            Reserve(static_cast<long long>(m_size) + count);
        std::memcpy(m_data + m_size, items, static_cast<std::size_t>(count) * sizeof(T));
        m_size += static_cast<int>(count);
    }

private:
    void Reserve(long long needed)
    {
        long long capacity = static_cast<long long>(m_capacity) * 2;
        if (capacity < needed)
            capacity = needed;
        if (needed > INT_MAX / static_cast<long long>(sizeof(T)))
            throw CMemoryException();
        if (capacity > INT_MAX / static_cast<long long>(sizeof(T)))
            capacity = INT_MAX / static_cast<long long>(sizeof(T));
        T* block = static_cast<T*>(AllocMemory(static_cast<std::size_t>(capacity) * sizeof(T)));
        if (m_size > 0)
            std::memcpy(block, m_data, static_cast<std::size_t>(m_size) * sizeof(T));
        if (m_data != m_inline)
            FreeMemory(m_data);
        m_data = block;
        m_capacity = static_cast<int>(capacity);
    }

    T* m_data = m_inline;
    int m_size = 0;
    int m_capacity = InlineCount;
    T m_inline[InlineCount];
};

// Inline sizes: enough for the names and short argument lists of ordinary
// pages, small enough to keep a nesting level's frames compact.
constexpr int kInlineName = 48;
constexpr int kInlineArgumentBytes = 192;
constexpr int kInlineArguments = 8;

enum class Outcome { Found, Unknown, Unfinished };

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Bytes that stop a run inside an argument.
struct CArgumentStops {
    bool stop[256] = {};
    constexpr CArgumentStops()
    {
        for (unsigned char c : {' ', '\t', '\r', '\n', '"', '(', ')', ',', '\\'})
            stop[c] = true;
    }
};
constexpr CArgumentStops kArgumentStops;

// Collects one argument's bytes into texts and returns the position of what
// ended it: a ',' or ')' at depth 0 outside quotes, or the end of the text.
// Parentheses are counted inside quotes too, and quotes close only at depth 0.
const char* CollectArgument(const char* pos, const char* end, bool inQuotes, CInlineArray<char, kInlineArgumentBytes>& texts)
{
    int depth = 0;
    while (pos < end) {
        const char* run = pos;
        while (pos < end && !kArgumentStops.stop[static_cast<unsigned char>(*pos)])
            ++pos;
        texts.Append(run, pos - run);
        if (pos >= end)
            break;
        char c = *pos;
        switch (c) {
        case '"':
            if (inQuotes && depth == 0)
                inQuotes = false; // the closing quote is dropped
            else
                texts.Push(c);
            ++pos;
            break;
        case '(':
            ++depth;
            texts.Push(c);
            ++pos;
            break;
        case ')':
            if (depth == 0 && !inQuotes)
                return pos;
            --depth;
            texts.Push(c);
            ++pos;
            break;
        case ',':
            if (depth == 0 && !inQuotes)
                return pos;
            texts.Push(c);
            ++pos;
            break;
        case '\\':
            // At depth 0 the escape is taken now; deeper, it is kept for the
            // expansion of the inner reference.
            if (depth == 0) {
                if (++pos < end)
                    texts.Push(*pos++);
            } else {
                texts.Push(c);
                ++pos;
            }
            break;
        default: // a blank
            if (depth == 0 && !inQuotes) {
                const char* blanks = pos;
                while (pos < end && IsBlank(*pos))
                    ++pos;
                if (pos >= end || *pos == ',' || *pos == ')')
                    return pos; // trailing blanks are dropped
                texts.Append(blanks, pos - blanks);
            } else {
                texts.Push(c);
                ++pos;
            }
            break;
        }
    }
    return pos;
}

// The reference whose argument list starts at the '(' at open. quoteName is
// "'" followed by the lower-cased name; the name is the rest of it. On
// return *next is just after the reference when the macro was found, else
// the reference's last byte.
[[gnu::noinline]] Outcome ExpandWithArguments(CMacroContext* scope, CTextBuffer* out, std::string_view quoteName, const char* open,
                                              const char* end, const char** next)
{
    CTextBuffer quotes; // stays the shared empty text unless a companion writes
    scope->CallMacro(&quotes, quoteName, nullptr, 0, scope);
    const char* quote = quotes.GetLength() > 0 ? quotes.GetData() : " ";
    int quoteCount = quotes.GetLength() > 0 ? quotes.GetLength() : 1;
    int quoteIndex = 0;

    CInlineArray<char, kInlineArgumentBytes> texts;
    CInlineArray<int, kInlineArguments> offsets;
    CInlineArray<unsigned char, kInlineArguments> rawFlags;
    bool anyRaw = false;
    CTextBuffer expanded;
    const char* pos = open + 1;
    bool closed = pos < end && *pos == ')';
    while (!closed) {
        while (pos < end && IsBlank(*pos))
            ++pos;
        if (pos >= end)
            break;
        bool raw = quote[quoteIndex] == '\'';
        if (*pos == '\'') {
            raw = true;
            if (++pos >= end)
                break;
        }
        bool quoted = false;
        if (*pos == '"') {
            quoted = true;
            if (++pos >= end)
                break;
        }
        int start = texts.Size();
        pos = CollectArgument(pos, end, quoted, texts);
        int collected = texts.Size() - start;
        bool beforeComma = pos < end && *pos == ',';
        if (collected > 0 || (beforeComma && offsets.Size() < kMaxEmptyArguments)) {
            if (!raw && std::memchr(texts.Data() + start, '%', static_cast<std::size_t>(collected))) {
                expanded.Empty();
                scope->Expand(&expanded, texts.Data() + start, collected);
                texts.Resize(start);
                texts.Append(expanded.GetData(), expanded.GetLength());
            }
            texts.Push('\0');
            offsets.Push(start);
            rawFlags.Push(raw ? 1 : 0);
            anyRaw = anyRaw || raw;
            if (quoteIndex + 1 < quoteCount)
                ++quoteIndex;
        } else {
            texts.Resize(start);
        }
        if (beforeComma)
            ++pos;
        if (pos < end && *pos == ')')
            closed = true;
        else if (pos >= end)
            break;
    }

    // argv is built only now: the texts may have moved while they grew.
    CInlineArray<const char*, kInlineArguments + 1> argv;
    int argc = offsets.Size();
    argv.Resize(argc + 1);
    for (int i = 0; i < argc; ++i)
        argv[i] = texts.Data() + offsets[i];
    argv[argc] = nullptr;

    // Only calls that pass raw text are recorded; the rest cost nothing.
    std::optional<CRawArgumentScope> rawScope;
    if (anyRaw)
        rawScope.emplace(argv.Data(), rawFlags.Data(), argc);
    if (scope->CallMacro(out, quoteName.substr(1), argv.Data(), argc, scope)) {
        *next = closed ? pos + 1 : end;
        return Outcome::Found;
    }
    *next = closed ? pos : end - 1;
    return Outcome::Unknown;
}

// The reference starting at the '%' at percent (not followed by another '%').
Outcome ExpandReference(CMacroContext* scope, CTextBuffer* out, const char* percent, const char* end, const char** next)
{
    const char* nameStart = percent + 1;
    const char* stop = nameStart;
    while (stop < end && *stop != '%' && *stop != '(')
        ++stop;
    if (stop == end)
        return Outcome::Unfinished;

    // The name is kept behind a "'" so that it doubles as the quote companion's name.
    CInlineArray<char, kInlineName> name;
    long long length = stop - nameStart;
    name.Resize(static_cast<int>(length + 1));
    name[0] = '\'';
    for (long long i = 0; i < length; ++i) {
        char c = nameStart[i];
        name[static_cast<int>(i + 1)] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    std::string_view quoteName(name.Data(), static_cast<std::size_t>(length + 1));

    if (*stop == '(')
        return ExpandWithArguments(scope, out, quoteName, stop, end, next);

    const char* noArguments[1] = {nullptr};
    if (scope->CallMacro(out, quoteName.substr(1), noArguments, 0, scope)) {
        *next = stop + 1;
        return Outcome::Found;
    }
    *next = stop;
    return Outcome::Unknown;
}

} // namespace

bool IsRawArgument(const char* text) noexcept
{
    platform::Fiber* fiber = platform::Fiber::Current();
    for (const CRawArgumentFrame* frame = GetThreadData().rawArguments; frame; frame = frame->outer) {
        if (frame->fiber != fiber)
            continue;
        for (int i = 0; i < frame->argc; ++i)
            if (frame->raw[i] && frame->argv[i] == text)
                return true;
    }
    return false;
}

void CMacroContext::ExpandArgument(CTextBuffer* out, const char* argument)
{
    if (!argument)
        return;
    int length = static_cast<int>(std::strlen(argument));
    if (IsRawArgument(argument))
        Expand(out, argument, length);
    else
        out->Append(argument, length);
}

void CMacroContext::ExpandArgument(CTextBuffer* out, std::string_view argument)
{
    if (IsRawArgument(argument.data()))
        Expand(out, argument.data(), static_cast<int>(argument.size()));
    else
        out->Append(argument.data(), static_cast<int>(argument.size()));
}

// The outermost expansion of a thread or fiber holds the memory budget;
// running past it ends the expansion with a macro error, whatever a macro
// inside made of the refused allocation.
void CMacroContext::ExpandOutermost(CTextBuffer* out, const char* text, int length)
{
    bool exceeded = false;
    {
        CAllocationBudget budget(kMaxExpansionBytes);
        try {
            Expand(out, text, length);
        } catch (const CMemoryLimitException&) {
            exceeded = true;
        }
        exceeded = exceeded || budget.Exceeded();
    }
    if (exceeded)
        throw CMacroException(kExpandErrorType, kExpansionMemoryErrorNumber, kExpansionMemoryErrorMessage);
}

int GetExpandDepth() noexcept
{
    return ExpandDepthOfThread();
}

int ExchangeExpandDepth(int depth) noexcept
{
    int previous = ExpandDepthOfThread();
    ExpandDepthOfThread() = depth;
    return previous;
}

void CMacroContext::Expand(CTextBuffer* out, const char* text, int length)
{
    if (!text || length <= 0)
        return;
    if (!GetThreadData().budgeted) [[unlikely]] {
        ExpandOutermost(out, text, length);
        return;
    }
    CExpandLevel level;
    const char* end = text + length;
    const char* pending = text; // first byte not yet copied to out
    const char* pos = text;
    for (;;) {
        const char* percent = static_cast<const char*>(std::memchr(pos, '%', static_cast<std::size_t>(end - pos)));
        if (!percent)
            break;
        out->Append(pending, static_cast<int>(percent - pending));
        pending = percent;
        if (percent + 1 == end)
            break;
        if (percent[1] == '%') {
            out->AppendChar('%');
            pos = pending = percent + 2;
            continue;
        }
        const char* next = nullptr;
        Outcome outcome = ExpandReference(this, out, percent, end, &next);
        if (outcome == Outcome::Unfinished)
            break;
        if (outcome == Outcome::Found)
            pending = next;
        // An unknown reference stays pending and scanning resumes at its
        // last byte, so its closing '%' may open the next reference.
        pos = next;
    }
    out->Append(pending, static_cast<int>(end - pending));
}
