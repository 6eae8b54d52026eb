#include "macro/description_macros.h"

#include "framework/text_buffer.h"
#include "macro/core_macros.h"
#include "macro/file_macros.h"
#include "macro/macro_context.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

class DescriptionMacrosTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterFileMacros(m_global);
        RegisterCoreMacros(m_global);
        RegisterDescriptionMacros(m_global);
        std::string templ = (fs::temp_directory_path() / "description_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        m_dir = templ + "/";
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_global.Expand(&out, text);
        return out.ToString();
    }
    void Put(const std::string& name, const std::string& text)
    {
        std::ofstream file(m_dir + name, std::ios::binary | std::ios::trunc);
        file << text;
    }
    std::string Contents(const std::string& name)
    {
        std::ifstream file(m_dir + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    CMacroContext m_global;
    std::string m_dir;
};

struct TitleCase {
    const char* name;
    std::string document;
    const char* expected;
};

TEST_F(DescriptionMacrosTest, TitleOfADocumentWithoutEntry)
{
    const TitleCase cases[] = {
        {"upper-case tag", "<html><HEAD><TITLE>Home page</TITLE></HEAD>", "Home page"},
        {"mixed case", "<TiTlE>Mixed</tItLe>", "Mixed"},
        {"runs to the end of the file", "<title>Unended", "Unended"},
        {"empty title", "<title></title>", ""},
        {"no title", "<html><body>text</body></html>", ""},
        {"title after the searched head", std::string(kTitleSearchBytes, ' ') + "<title>Late</title>", ""},
        {"title cut by the end of the searched head", std::string(kTitleSearchBytes - 10, ' ') + "<title>Cut off here</title>",
         "Cut"},
        {"longer than the buffer", "<title>" + std::string(300, 'x') + "</title>", nullptr},
    };
    for (const TitleCase& c : cases) {
        SCOPED_TRACE(c.name);
        Put("page.htm", c.document);
        std::string expected = c.expected ? c.expected : std::string(kDescriptionBufferSize - 1, 'x');
        EXPECT_EQ(Expand("%getdescription(" + m_dir + "page.htm)"), expected);
    }
    EXPECT_EQ(ReadFileDescription(m_dir + "page.htm", 11), std::string(10, 'x'));
    EXPECT_EQ(ReadFileDescription(m_dir + "page.htm", 0), "");
    EXPECT_EQ(Expand("[%getdescription(" + m_dir + "missing.htm)]"), "[]");
    EXPECT_EQ(Expand("[%getdescription()]"), "[]");
}

TEST_F(DescriptionMacrosTest, EntryWinsOverTitle)
{
    Put("index.htm", "<title>Title</title>");
    Put("other.htm", "<title>Other</title>");
    Put("Desc.inf", "[description]\r\nINDEX.HTM=From the list\r\n");
    EXPECT_EQ(Expand("%getdescription(" + m_dir + "index.htm)"), "From the list");
    EXPECT_EQ(Expand("%getdescription(" + m_dir + "other.htm)"), "Other");
    // An empty entry falls back to the title.
    Put("Desc.inf", "[Description]\nindex.htm=\n");
    EXPECT_EQ(Expand("%getdescription(" + m_dir + "index.htm)"), "Title");
}

TEST_F(DescriptionMacrosTest, LongEntryReadsBackAsItsFirst255Characters)
{
    std::string text(300, 'd');
    Expand("%setdescription(" + m_dir + "a.zip," + text + ")");
    EXPECT_EQ(Expand("%getdescription(" + m_dir + "a.zip)"), text.substr(0, 255));
}

TEST_F(DescriptionMacrosTest, SetThenGetInOneDocument)
{
    Put("Desc.inf", "; kept\n[Description]\nb.txt=Bee\n");
    EXPECT_EQ(Expand("%setdescription(" + m_dir + "a.txt,First)%getdescription(" + m_dir + "a.txt)|"
                     "%setdescription(" + m_dir + "a.txt,Second)%getdescription(" + m_dir + "a.txt)|"
                     "%getdescription(" + m_dir + "b.txt)"),
              "First|Second|Bee");
    EXPECT_EQ(Contents("Desc.inf"), "; kept\n[Description]\nb.txt=Bee\na.txt=Second\n");
}

TEST_F(DescriptionMacrosTest, WrittenTextCannotAddEntries)
{
    m_global.Register("evil", std::make_unique<CValueMacro>("x\r\nother.txt=forged"));
    Expand("%setdescription(" + m_dir + "a.txt,%evil%)");
    EXPECT_EQ(Expand("[%getdescription(" + m_dir + "other.txt)]"), "[]");
    EXPECT_EQ(Expand("%getdescription(" + m_dir + "a.txt)"), "x  other.txt=forged");
}

TEST_F(DescriptionMacrosTest, PathsAndMissingArguments)
{
    fs::create_directory(m_dir + "sub");
    m_global.Register("winpath", std::make_unique<CValueMacro>(m_dir + "sub\\f.txt"));
    Expand("%setdescription(%winpath%,Back)");
    EXPECT_EQ(Contents("sub/Desc.inf"), "[Description]\nf.txt=Back\n");
    EXPECT_EQ(Expand("%getdescription(" + m_dir + "sub/f.txt)"), "Back");

    // No file name: nothing is written, nothing is read.
    EXPECT_FALSE(WriteFileDescription(m_dir, "x"));
    Expand("%setdescription(" + m_dir + ")");
    EXPECT_FALSE(fs::exists(m_dir + "Desc.inf"));
    // A file name that could never be looked up again is refused.
    EXPECT_FALSE(WriteFileDescription(m_dir + "a=b.txt", "x"));
    EXPECT_FALSE(fs::exists(m_dir + "Desc.inf"));
}

TEST_F(DescriptionMacrosTest, DirectoryIndexShowsDescriptions)
{
    Put("a.htm", "<title>Alpha</title>");
    Put("b.txt", "");
    Put("Desc.inf", "[Description]\nb.txt=Bravo\n");
    EXPECT_EQ(Expand("%dir(" + m_dir + "*.*,%fname%=%getdescription(%pathname%);)"), "a.htm=Alpha;b.txt=Bravo;Desc.inf=;");
}

} // namespace
