// Expander throughput: plain text (bytes per second) and a page of
// references (references per second), on one core.

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// m(a, b): appends both arguments, as a small built-in would.
class CPairMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        for (int i = 0; i < argc; ++i)
            out->Append(argv[i], static_cast<int>(std::strlen(argv[i])));
    }
};

std::string PlainText(std::size_t bytes)
{
    const std::string line = "<p class=\"body\">Plain page text without a single reference in it.</p>\n";
    std::string text;
    while (text.size() < bytes)
        text += line;
    text.resize(bytes);
    return text;
}

void BM_PlainText(benchmark::State& state)
{
    CMacroContext scope;
    std::string text = PlainText(static_cast<std::size_t>(state.range(0)));
    CTextBuffer out(static_cast<int>(text.size()) + 1);
    for (auto _ : state) {
        out.Empty();
        scope.Expand(&out, text);
        benchmark::DoNotOptimize(out.GetData());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_PlainText)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

// Scopes as a request sees them: a global scope with the built-ins, a
// server scope with the page's values, the request's own 511-bucket scope.
struct PageScopes {
    CMacroContext global;
    CMacroContext server{&global};
    CMacroContext request{&server};
    static constexpr int kNames = 50;

    PageScopes()
    {
        global.GetMacros().InitHashTable(511);
        request.GetMacros().InitHashTable(511);
        for (int i = 0; i < 200; ++i)
            global.Register("builtin-" + std::to_string(i), std::make_unique<CValueMacro>("b"));
        global.Register("m", std::make_unique<CPairMacro>());
        for (int i = 0; i < kNames; ++i)
            server.Register("name" + std::to_string(i), std::make_unique<CValueMacro>("value " + std::to_string(i)));
        global.SetReadOnly(true);
    }
};

// references: the %name% references; calls: the %m(a,b) calls among them.
std::string Page(int references, int calls)
{
    std::string page;
    int callEvery = calls > 0 ? references / calls : 0;
    for (int i = 0; i < references; ++i) {
        page += "<td>%name" + std::to_string(i % PageScopes::kNames) + "%</td>";
        if (callEvery && i % callEvery == 0)
            page += "<td>%m(a,b)</td>";
    }
    return page;
}

void BM_PageReferences(benchmark::State& state)
{
    PageScopes scopes;
    int references = static_cast<int>(state.range(0));
    int calls = static_cast<int>(state.range(1));
    std::string page = Page(references, calls);
    CTextBuffer out(1 << 16);
    for (auto _ : state) {
        out.Empty();
        scopes.request.Expand(&out, page);
        benchmark::DoNotOptimize(out.GetData());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * (references + calls));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(page.size()));
    state.SetLabel("items = references resolved");
}
BENCHMARK(BM_PageReferences)->Args({1000, 100})->Args({1000, 0});

} // namespace
