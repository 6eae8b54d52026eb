// Copying and deleting data sources between odbc.ini files, checked on the
// files' whole text: what is replaced, what is kept, and that a source
// without its section costs the destination nothing.

#include "controlpanel/odbc_sources.h"

#include "config/config_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const char* const kUser = "[ODBC Data Sources]\n"
                          "vt = SQLite3 \"quoted\"\n"
                          "orphan=SQLite3\n"
                          "\n"
                          "[vt]\n"
                          "Driver = SQLite3\n"
                          "Database=\"/data/vt.db\"\n"
                          "; a note\n"
                          "Timeout=100\n"
                          "\n"
                          "[unlisted]\n"
                          "Driver=SQLite3\n";

TEST(ODBCSources, CopyAndDeleteKeepWhatTheyDoNotReplace)
{
    struct Case {
        const char* what;
        bool copy; // else delete
        const char* name;
        const char* service;
        bool result;
        const char* expected;
    };
    const Case cases[] = {
        {"a new source joins the list and gets its section whole", true, "vt",
         "[ODBC Data Sources]\nvelmora=SQLite3\n\n[velmora]\nDriver=SQLite3\n", true,
         "[ODBC Data Sources]\nvelmora=SQLite3\nvt=SQLite3 \"quoted\"\n\n[velmora]\nDriver=SQLite3\n\n"
         "[vt]\nDriver=SQLite3\nDatabase=\"/data/vt.db\"\nTimeout=100\n"},
        {"an existing source is replaced whole, its stale keys gone", true, "VT",
         "[ODBC Data Sources]\nvt=Old\n\n[vt]\nDriver=Old\nStale=1\n\n[keep]\nDriver=K\n", true,
         "[ODBC Data Sources]\nvt=SQLite3 \"quoted\"\n\n[keep]\nDriver=K\n\n"
         "[VT]\nDriver=SQLite3\nDatabase=\"/data/vt.db\"\nTimeout=100\n"},
        {"a listed source without its section deletes nothing", true, "orphan",
         "[ODBC Data Sources]\norphan=Mine\n\n[orphan]\nDriver=Mine\n", false,
         "[ODBC Data Sources]\norphan=Mine\n\n[orphan]\nDriver=Mine\n"},
        {"a source that is not listed brings only its section", true, "unlisted", "", true,
         "[unlisted]\nDriver=SQLite3\n"},
        {"delete takes the section and the list entry only", false, "vt",
         "[ODBC Data Sources]\nvt=SQLite3\nother=X\n\n[vt]\nDriver=SQLite3\n\n[other]\nDriver=X\n", true,
         "[ODBC Data Sources]\nother=X\n\n[other]\nDriver=X\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDirectory dir;
        std::string user = dir / "user.ini";
        std::string service = dir / "odbc.ini";
        std::ofstream(user) << kUser;
        if (*c.service)
            std::ofstream(service) << c.service;
        bool result = c.copy ? CopyDataSource(c.name, user, service) : DeleteDataSource(c.name, service);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(ReadText(service), c.expected);
        EXPECT_EQ(ReadText(user), kUser) << "the source file is only read";
    }
}

TEST(ODBCSources, TheFilesOwnSectionsAreNoDataSources)
{
    const char* const user = "[ODBC Data Sources]\nODBC Data Sources=Mine\nodbc=Mine\n\n"
                             "[ODBC Data Sources]\nmine=Mine\n\n[ODBC]\nTrace=Yes\n";
    const char* const service = "[ODBC Data Sources]\nvelmora=SQLite3\n\n[ODBC]\nTrace=No\n\n"
                                "[velmora]\nDriver=SQLite3\n";
    for (const char* name : {"ODBC Data Sources", "odbc data sources", " ODBC ", "odbc"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(DataSourceNameFault(name).find(name), std::string::npos) << "the message names the source";
        TempDirectory dir;
        std::string from = dir / "user.ini";
        std::string to = dir / "odbc.ini";
        std::ofstream(from) << user;
        std::ofstream(to) << service;
        EXPECT_FALSE(CopyDataSource(name, from, to));
        EXPECT_FALSE(DeleteDataSource(name, to));
        EXPECT_EQ(ReadText(to), service) << "the service keeps its list and settings";
    }
    for (const char* name : {"ODBC Data Sources 2", "ODBCX", "Default"})
        EXPECT_EQ(DataSourceNameFault(name), "") << name;
}

// Names the list line would misread: the copy refuses them all, the
// service's file unchanged.
TEST(ODBCSources, NamesAListLineCannotHoldAreRefused)
{
    const char* const service = "[ODBC Data Sources]\nvelmora=SQLite3\n\n[velmora]\nDriver=SQLite3\n";
    for (const char* name : {"a=b", "#x", " #x", ";x", "[x", "x]y"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(DataSourceNameFault(name).find(name), std::string::npos) << "the message names the source";
        TempDirectory dir;
        std::string from = dir / "user.ini";
        std::string to = dir / "odbc.ini";
        std::ofstream(from) << "[ODBC Data Sources]\n" << name << "=Mine\n\n[" << name << "]\nDriver=Mine\n";
        std::ofstream(to) << service;
        EXPECT_FALSE(CopyDataSource(name, from, to));
        EXPECT_EQ(ReadText(to), service);
    }
    EXPECT_EQ(DataSourceNameFault("x#y"), "");
}

} // namespace
