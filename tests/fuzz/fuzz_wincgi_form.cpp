// Feeds arbitrary bodies to the WinCGI form splitter; a first byte of 1
// modulo 16 repeats the body past the huge-value size, which short inputs
// never reach (and which shows a splitter slower than linear).
// Findings: sanitizer reports, and the checks that every key is a profile
// key and unique without regard to case, that each value lands in the
// section its size and bytes call for, and that a huge value's offset and
// length name its own bytes in the body.

#include "framework/text_util.h"
#include "http/wincgi_form.h"
#include "platform/profile.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string body = input;
    if ((data[0] & 15) == 1 && !input.empty())
        while (body.size() < kWinCGIExternalLimit + 16)
            body += input;

    CWinCGIForm form;
    if (!form.Parse(body)) {
        if (platform::Profile::IsKeyName(form.BadName()) || !form.Fields().empty())
            std::abort();
        return 0;
    }
    std::set<std::string> keys;
    for (const CWinCGIField& field : form.Fields()) {
        if (!platform::Profile::IsKeyName(field.key) || !keys.insert(LowerCaseString(field.key)).second)
            std::abort();
        switch (field.kind) {
        case CWinCGIField::Kind::Literal:
            if (field.value.size() >= kWinCGILiteralLimit || field.value.find_first_of("\r\n\"\t") != std::string::npos)
                std::abort();
            break;
        case CWinCGIField::Kind::External:
            if (field.value.size() >= kWinCGIExternalLimit)
                std::abort();
            break;
        case CWinCGIField::Kind::Huge: {
            if (field.offset == 0 || field.offset > body.size() || field.length > body.size() - field.offset)
                std::abort();
            std::string_view raw = std::string_view(body).substr(field.offset, field.length);
            if (body[field.offset - 1] != '=' || raw.find('&') != std::string_view::npos ||
                URLDecodeString(raw).size() < kWinCGIExternalLimit)
                std::abort();
            break;
        }
        }
    }
    return 0;
}
