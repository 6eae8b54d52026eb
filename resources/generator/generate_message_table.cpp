// Build-time tool: turns messages.tsv (hex id, text; '#' lines are comments)
// into the C++ source of the message table. A duplicate or malformed id fails
// the build. Usage: generate_message_table messages.tsv out.cpp

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <string>

namespace {

[[noreturn]] void Fail(const std::string& where, const std::string& message)
{
    std::cerr << where << ": " << message << "\n";
    std::exit(1);
}

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        Fail("generate_message_table", "usage: generate_message_table messages.tsv out.cpp");
    std::ifstream in(argv[1]);
    if (!in)
        Fail(argv[1], "cannot open");
    std::string body;
    std::set<unsigned long> seen;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string where = std::string(argv[1]) + ":" + std::to_string(number);
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            Fail(where, "expected id<TAB>text");
        char* end = nullptr;
        unsigned long id = std::strtoul(line.c_str(), &end, 16);
        if (end != line.c_str() + tab || id > 0xFFFFFFFFul)
            Fail(where, "malformed id");
        if (!seen.insert(id).second)
            Fail(where, "duplicate id");
        body += "    {0x" + line.substr(2, tab - 2) + "u, " + Quote(line.substr(tab + 1)) + "},\n";
    }
    std::ofstream out(argv[2]);
    out << "// Generated from messages.tsv; do not edit.\n"
           "#include \"resources/message_table.h\"\n\n"
           "const MessageTableEntry kMessageTable[] = {\n"
        << body << "    {0, nullptr},\n};\n";
    return out ? 0 : 1;
}
