// Build-time tool: turns strings.tsv and tables.tsv into the C++ source of
// the string table. Usage: generate_string_table strings.tsv tables.tsv out.cpp
//
// strings.tsv: id, name, text, description (a note for maintainers), tab
// separated; in the text \n is a line break, \t a tab and \\ a backslash.
// tables.tsv: table, name, first id, count, description id.
// Lines starting with '#' are comments. Any fault in the tables fails the
// build: a duplicate id, an entry too long for its 255-byte buffer, a row
// naming an id that does not exist, a name that is not lower case.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxEntryLength = 254; // 255-byte buffer with its NUL

struct TableRow {
    std::string name;
    unsigned firstId = 0;
    unsigned count = 0;
    unsigned descriptionId = 0;
};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& message)
{
    std::cerr << file << ":" << line << ": " << message << "\n";
    std::exit(1);
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool Unescape(const std::string& in, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i == in.size())
            return false;
        switch (in[i]) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        default: return false;
        }
    }
    return true;
}

bool ParseNumber(const std::string& text, unsigned& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    value = static_cast<unsigned>(std::stoul(text));
    return true;
}

bool IsLowerName(const std::string& name)
{
    if (name.empty())
        return false;
    for (char c : name)
        if (c >= 'A' && c <= 'Z')
            return false;
    return true;
}

std::string Literal(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f || c == '?') {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            out += octal;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::map<unsigned, std::string> ReadStrings(const std::string& file)
{
    std::ifstream in(file);
    if (!in)
        Fail(file, 0, "cannot open");
    std::map<unsigned, std::string> entries;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields = SplitTabs(line);
        unsigned id = 0;
        std::string text;
        if (fields.size() != 4)
            Fail(file, number, "expected 4 tab-separated fields");
        if (!ParseNumber(fields[0], id))
            Fail(file, number, "bad id");
        if (!Unescape(fields[2], text))
            Fail(file, number, "bad escape in text");
        if (text.size() > kMaxEntryLength)
            Fail(file, number, "entry longer than " + std::to_string(kMaxEntryLength) + " bytes; split it over consecutive ids");
        if (!entries.emplace(id, text).second)
            Fail(file, number, "duplicate id " + fields[0]);
    }
    return entries;
}

std::map<std::string, std::vector<TableRow>> ReadTables(const std::string& file, const std::map<unsigned, std::string>& entries)
{
    std::ifstream in(file);
    if (!in)
        Fail(file, 0, "cannot open");
    std::map<std::string, std::vector<TableRow>> tables;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields = SplitTabs(line);
        TableRow row;
        if (fields.size() != 5)
            Fail(file, number, "expected 5 tab-separated fields");
        row.name = fields[1];
        if (!IsLowerName(row.name))
            Fail(file, number, "names are lower case");
        if (!ParseNumber(fields[2], row.firstId) || !ParseNumber(fields[3], row.count) || row.count == 0
            || !ParseNumber(fields[4], row.descriptionId))
            Fail(file, number, "bad number");
        for (unsigned i = 0; i < row.count; ++i)
            if (!entries.count(row.firstId + i))
                Fail(file, number, "no entry " + std::to_string(row.firstId + i));
        if (!entries.count(row.descriptionId))
            Fail(file, number, "no description entry " + fields[4]);
        tables[fields[0]].push_back(row);
    }
    return tables;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: generate_string_table strings.tsv tables.tsv out.cpp\n";
        return 2;
    }
    std::map<unsigned, std::string> entries = ReadStrings(argv[1]);
    std::map<std::string, std::vector<TableRow>> tables = ReadTables(argv[2], entries);

    std::ostringstream out;
    out << "// Generated from strings.tsv and tables.tsv; edit those instead.\n"
        << "#include \"resources/string_table.h\"\n#include \"resources/string_table_data.h\"\n\n"
        << "const StringTableEntry kStringTableEntries[] = {\n";
    for (const auto& [id, text] : entries)
        out << "    {" << id << "u, " << Literal(text) << "},\n";
    out << "};\nconst std::size_t kStringTableEntryCount = " << entries.size() << ";\n";

    const std::pair<const char*, const char*> symbols[] = {
        {"http", "kHttpDefaultStrings"},
        {"proxy", "kProxyDefaultStrings"},
        {"chat", "kChatDefaultStrings"},
        {"global", "kGlobalDefaultStrings"},
    };
    for (const auto& [table, symbol] : symbols) {
        auto found = tables.find(table);
        if (found == tables.end())
            Fail(argv[2], 0, std::string("no rows for table ") + table);
        out << "\nconst DefaultStringRow " << symbol << "[] = {\n";
        for (const TableRow& row : found->second)
            out << "    {" << Literal(row.name) << ", " << row.firstId << "u, " << row.count << "u, " << row.descriptionId << "u},\n";
        out << "    {nullptr, 0u, 0u, 0u},\n};\n";
        tables.erase(found);
    }
    if (!tables.empty())
        Fail(argv[2], 0, "unknown table " + tables.begin()->first);

    std::ofstream file(argv[3], std::ios::binary | std::ios::trunc);
    file << out.str();
    if (!file.flush())
        Fail(argv[3], 0, "cannot write");
    return 0;
}
