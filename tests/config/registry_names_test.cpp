// The key reference in docs/keys.md against the table of names the servers
// read: a name it gives that nothing reads, or a name read that it leaves
// out, is a fault of one or the other.

#include "config/registry_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The names in backticks of a text, key paths split at each '\'.
std::set<std::string> QuotedNames(const std::string& text)
{
    std::set<std::string> names;
    for (std::size_t open = text.find('`'); open != std::string::npos; open = text.find('`', open)) {
        std::size_t close = text.find('`', open + 1);
        if (close == std::string::npos)
            break;
        std::istringstream parts(text.substr(open + 1, close - open - 1));
        for (std::string part; std::getline(parts, part, '\\');)
            names.insert(part);
        open = close + 1;
    }
    return names;
}

} // namespace

TEST(RegistryNamesTest, TheKeyReferenceNamesWhatTheServersRead)
{
    std::ifstream file(std::string(VELMORA_SOURCE_DIR) + "/docs/keys.md");
    ASSERT_TRUE(file) << "docs/keys.md";
    std::vector<std::string> read = AllRegistryNames();
    std::string text;
    for (std::string line; std::getline(file, line);) {
        text += line + "\n";
        // A table row's first cell names values or keys; the header and rule
        // rows name none.
        if (line.rfind("| `", 0) != 0)
            continue;
        std::string cell = line.substr(1, line.find('|', 1) - 1);
        for (const std::string& name : QuotedNames(cell))
            EXPECT_NE(std::find(read.begin(), read.end(), name), read.end())
                << "docs/keys.md names " << name << ", which no server reads";
    }
    std::set<std::string> everywhere = QuotedNames(text);
    for (const std::string& name : read)
        EXPECT_TRUE(everywhere.count(name)) << name << " is read but docs/keys.md does not name it";
}
