// Throughput of the text utilities on the inputs servers feed them most:
// chat lines through the tag filter, form data, header dates, access lists.
#include "framework/text_util.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string ChatText(std::size_t lines)
{
    std::string text;
    for (std::size_t i = 0; i < lines; ++i)
        text += "Hello <b>everyone</b>, see <a href=\"http://example.test/?a=1&b=2\" onclick=\"x()\">this</a> "
                "&amp; \"that\" <script>alert(1)</script> AT&T <img src=x.png alt='pic'>\n";
    return text;
}

void BM_AppendSafeHTML(benchmark::State& state)
{
    std::string text = ChatText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        CTextBuffer out(static_cast<int>(text.size() * 2));
        AppendSafeHTML(&out, text, true);
        benchmark::DoNotOptimize(out.GetData());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_AppendSafeHTML)->Arg(1)->Arg(100);

void BM_HTMLEncode(benchmark::State& state)
{
    std::string text = ChatText(100);
    for (auto _ : state) {
        CTextBuffer out(static_cast<int>(text.size() * 2));
        HTMLEncode(&out, text);
        benchmark::DoNotOptimize(out.GetData());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_HTMLEncode);

void BM_URLRoundTrip(benchmark::State& state)
{
    std::string text = ChatText(10);
    std::string encoded;
    std::string decoded;
    for (auto _ : state) {
        URLEncode(encoded, text);
        URLDecode(decoded, encoded);
        benchmark::DoNotOptimize(decoded.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_URLRoundTrip);

void BM_WildcardMatch(benchmark::State& state)
{
    std::string text(static_cast<std::size_t>(state.range(0)), 'a');
    const std::string pattern = "a*a*a*a*a*a*a*a*b";
    for (auto _ : state)
        benchmark::DoNotOptimize(WildcardMatch(text, pattern));
}
BENCHMARK(BM_WildcardMatch)->Arg(64)->Arg(4096);

void BM_HTTPDate(benchmark::State& state)
{
    SystemTime time = SystemTimeFromUnixSeconds(784111777);
    std::string text;
    for (auto _ : state) {
        FormatRFC1123DateString(text, time);
        benchmark::DoNotOptimize(ParseHTTPDate(text));
    }
}
BENCHMARK(BM_HTTPDate);

} // namespace
