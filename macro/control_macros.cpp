#include "macro/control_macros.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/fiber.h"

#include <cstring>
#include <memory>

namespace {

// Scratch buffers for the texts whose output is only tested, never kept.
constexpr int kPredicateScratchSize = 16384;
constexpr int kConditionScratchSize = 128;

// Branches, conditions and bodies run only when they were passed raw; an
// argument expanded before the call is taken as it is.
void ExpandText(CMacroContext* scope, CTextBuffer* out, const char* text)
{
    scope->ExpandArgument(out, text);
}

// ---- Loop budget ----------------------------------------------------------
//
// The outermost loop of a fiber (or of a thread outside fibers) owns the
// round count; loops that run inside it, however deeply and through whatever
// macros, draw on the same count. The records live in the owning loops'
// frames and are linked per thread, each marked with its fiber, so fibers
// that interleave on one thread never share a count or see a record of a
// loop that has ended.

struct LoopRecord {
    platform::Fiber* fiber;
    long long rounds;
    LoopRecord* next;
};

thread_local LoopRecord* t_loops = nullptr;

class CLoopBudget {
public:
    CLoopBudget()
    {
        platform::Fiber* fiber = platform::Fiber::Current();
        for (LoopRecord* record = t_loops; record; record = record->next) {
            if (record->fiber == fiber) {
                m_record = record;
                return;
            }
        }
        m_own = {fiber, 0, t_loops};
        t_loops = &m_own;
        m_record = &m_own;
    }

    ~CLoopBudget()
    {
        if (m_record != &m_own)
            return;
        // Fibers may end their loops in any order, so search for the link.
        for (LoopRecord** link = &t_loops; *link; link = &(*link)->next) {
            if (*link == &m_own) {
                *link = m_own.next;
                return;
            }
        }
    }

    CLoopBudget(const CLoopBudget&) = delete;
    CLoopBudget& operator=(const CLoopBudget&) = delete;

    // Counts one round; false (with the error reported) once the count is spent.
    bool Round(CMacroContext* scope, CTextBuffer* out, const char* type)
    {
        if (m_record->rounds >= kMaxLoopIterations) {
            MacroError(out, scope, type, kLoopLimitErrorNumber, kLoopLimitErrorMessage, 1);
            return false;
        }
        ++m_record->rounds;
        return true;
    }

private:
    LoopRecord m_own{};
    LoopRecord* m_record = nullptr;
};

// ---- The macros -----------------------------------------------------------

// if(condition, [then], [else])
class CIfMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (!argv || argc < 1)
            return;
        int branch = argv[0][0] ? 1 : 2;
        if (branch < argc)
            ExpandText(scope, out, argv[branch]);
    }
};

// switch(cond1, value1, ..., [default]): every argument is already expanded
// once; the chosen value runs again only when it was passed raw.
class CSwitchMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (!argv || argc < 2)
            return;
        for (int i = 0; i + 1 < argc; i += 2) {
            if (argv[i][0]) {
                ExpandText(scope, out, argv[i + 1]);
                return;
            }
        }
        if (argc % 2 == 1)
            ExpandText(scope, out, argv[argc - 1]);
    }
};

// not(x): "T" for a given empty argument.
class CNotMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argv && argc >= 1 && !argv[0][0])
            out->AppendChar('T');
    }
};

// and(a1, ...) and or(a1, ...): raw arguments expanded in order until one
// decides; the rest never run.
class CAndMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argv && argc > 0) {
            CTextBuffer scratch(kPredicateScratchSize, kPredicateScratchSize);
            for (int i = 0; i < argc; ++i) {
                scratch.Empty();
                ExpandText(scope, &scratch, argv[i]);
                if (scratch.IsEmpty())
                    return;
            }
        }
        out->AppendChar('T');
    }
};

class COrMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (!argv || argc < 1)
            return;
        CTextBuffer scratch(kPredicateScratchSize, kPredicateScratchSize);
        for (int i = 0; i < argc; ++i) {
            scratch.Empty();
            ExpandText(scope, &scratch, argv[i]);
            if (!scratch.IsEmpty()) {
                out->AppendChar('T');
                return;
            }
        }
    }
};

// True when the condition text expands to something; its output is dropped.
bool ConditionHolds(CMacroContext* scope, CTextBuffer& scratch, const char* condition)
{
    scratch.Empty();
    ExpandText(scope, &scratch, condition);
    return !scratch.IsEmpty();
}

// while(condition, body)
class CWhileMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (!argv || argc < 2)
            return;
        CLoopBudget budget;
        CTextBuffer scratch(kConditionScratchSize, kConditionScratchSize);
        while (ConditionHolds(scope, scratch, argv[0]) && budget.Round(scope, out, "while"))
            ExpandText(scope, out, argv[1]);
    }
};

// do(body, condition): the body runs at least once.
class CDoMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (!argv || argc < 2)
            return;
        CLoopBudget budget;
        CTextBuffer scratch(kConditionScratchSize, kConditionScratchSize);
        do {
            if (!budget.Round(scope, out, "do"))
                return;
            ExpandText(scope, out, argv[0]);
        } while (ConditionHolds(scope, scratch, argv[1]));
    }
};

} // namespace

void RegisterFlowMacros(CMacroContext& global)
{
    global.Register("if", std::make_unique<CIfMacro>());
    global.Register("'if", std::make_unique<CConstantMacro>(" ''"));
    global.Register("switch", std::make_unique<CSwitchMacro>());
    global.Register("not", std::make_unique<CNotMacro>());
    global.Register("and", std::make_unique<CAndMacro>());
    global.Register("'and", std::make_unique<CConstantMacro>("'"));
    global.Register("or", std::make_unique<COrMacro>());
    global.Register("'or", std::make_unique<CConstantMacro>("'"));
    global.Register("null", std::make_unique<CValueMacro>(""));
    global.Register("while", std::make_unique<CWhileMacro>());
    global.Register("'while", std::make_unique<CConstantMacro>("''"));
    global.Register("do", std::make_unique<CDoMacro>());
    global.Register("'do", std::make_unique<CConstantMacro>("''"));
}
