#include "macro/description_macros.h"

#include "framework/text_buffer.h"
#include "macro/file_macros.h"
#include "macro/macro_context.h"
#include "platform/ascii.h"
#include "platform/profile.h"

#include <memory>

namespace {

struct SplitPath {
    std::string profile; // the directory's Desc.inf, '\' read as '/'
    std::string name;    // the file name, the profile's key
};

SplitPath Split(std::string_view path)
{
    std::size_t separator = path.find_last_of("/\\");
    std::string directory = separator == std::string_view::npos ? std::string() : std::string(path.substr(0, separator + 1));
    for (char& c : directory)
        if (c == '\\')
            c = '/';
    std::string_view name = separator == std::string_view::npos ? path : path.substr(separator + 1);
    return {directory + kDescriptionFileName, std::string(name)};
}

// The position of the first "<title>" in any case, or npos.
std::size_t FindTitle(std::string_view text)
{
    constexpr std::string_view kTag = "<title>";
    for (std::size_t at = 0; at + kTag.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < kTag.size() && platform::LowerAscii(text[at + i]) == kTag[i])
            ++i;
        if (i == kTag.size())
            return at;
    }
    return std::string_view::npos;
}

} // namespace

std::string ReadFileDescription(std::string_view path, std::size_t size)
{
    if (path.empty() || size == 0)
        return {};
    SplitPath split = Split(path);
    std::string description;
    if (!split.name.empty())
        description = platform::ReadProfileString(split.profile, kDescriptionSection, split.name);
    if (description.empty()) {
        std::string head;
        if (ReadFileHead(std::string(path), kTitleSearchBytes, head)) {
            std::size_t title = FindTitle(head);
            if (title != std::string::npos) {
                std::string_view rest = std::string_view(head).substr(title + 7);
                description = std::string(rest.substr(0, rest.find('<')));
            }
        }
    }
    if (description.size() > size - 1)
        description.resize(size - 1);
    return description;
}

bool WriteFileDescription(std::string_view path, std::string_view text)
{
    if (path.empty())
        return false;
    SplitPath split = Split(path);
    if (split.name.empty())
        return false;
    return platform::WriteProfileString(split.profile, kDescriptionSection, split.name, text);
}

void CGetDescriptionMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 1)
        out->Append(ReadFileDescription(argv[0], kDescriptionBufferSize));
}

void CSetDescriptionMacro::Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc)
{
    if (argc >= 2)
        WriteFileDescription(argv[0], argv[1]);
}

void RegisterDescriptionMacros(CMacroContext& global)
{
    global.Register("getdescription", std::make_unique<CGetDescriptionMacro>());
    global.Register("setdescription", std::make_unique<CSetDescriptionMacro>());
}
