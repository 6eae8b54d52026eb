// The verify macros read form fields as clients send them: every macro of
// the family gets the input split at newlines into its arguments.

#include "framework/text_buffer.h"
#include "macro/macro_context.h"
#include "macro/verify_macros.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CMacroContext* global = [] {
        auto* scope = new CMacroContext;
        RegisterVerifyMacros(*scope);
        return scope;
    }();
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() < 3) {
        std::size_t end = input.find('\n', start);
        parts.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& part : parts)
        argv.push_back(part.c_str());
    argv.push_back(nullptr);
    for (const char* name :
         {"verify-int", "verify-num", "verify-money", "verify-len", "verify-pict", "verify-card", "card-prefix"}) {
        CTextBuffer out;
        global->CallMacro(&out, name, argv.data(), static_cast<int>(parts.size()));
    }
    CardBrand(input);
    CardPrefix(input, static_cast<long long>(size) - 8);
    return 0;
}
