#include "macro/file_macros.h"

#include "framework/text_buffer.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

class FileMacrosTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterFileMacros(m_global);
        RegisterCoreMacros(m_global);
        RegisterTryMacros(m_global);
        m_global.Register("null", std::make_unique<CValueMacro>(""));
        std::string templ = (fs::temp_directory_path() / "file_macros_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        m_dir = templ + "/";
    }
    void TearDown() override
    {
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(m_dir);
    }

    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_global.Expand(&out, text);
        return out.ToString();
    }
    // The error a text raises inside try, as "type/number/message".
    std::string ErrorOf(const std::string& text)
    {
        return Expand("%try('" + text + ",'%exception-type%/%exception-number%/%exception-msg%)");
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
    std::string m_dir; // ends with '/'
};

struct Case {
    const char* text;
    const char* expected;
};

TEST_F(FileMacrosTest, QuotesAndExtensions)
{
    const Case cases[] = {
        {"%csv-quote(abc)", "abc"},
        {"%csv-quote(\"a,b\")", "\"a,b\""},
        {"%csv-quote(\"say \\\"hi\\\"\")", "\"say \"\"hi\"\"\""},
        {"%csv-quoteq(abc)", "\"abc\""},
        {"%csv-quote(\"a\nb\")", "a\nb"},
        {"%csv-quoteq(\"a\r\nb\")", "\"a  b\""},
        {"%ext(archive.tar.gz)", "gz"},
        {"%ext(noext)", ""},
        {"%ext(trailing.)", ""},
        {"%ext(dir.d/file)", "d/file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Expand(c.text), c.expected);
    }
}

TEST_F(FileMacrosTest, AppendsLines)
{
    Expand("%csv-append(" + m_dir + "f.csv,x,\"y,z\")");
    Expand("%csv-appendq(" + m_dir + "f.csv,x)");
    EXPECT_EQ(Contents("f.csv"), "x,\"y,z\"\r\n\"x\"\r\n");

    Expand("%csv-append(" + m_dir + "empty.csv)");
    EXPECT_TRUE(fs::exists(m_dir + "empty.csv"));
    EXPECT_EQ(Contents("empty.csv"), "");

    Expand("%tab-append(" + m_dir + "f.tab,\"a\tb\",\"c\nd\")");
    EXPECT_EQ(Contents("f.tab"), "a b\tc\nd\r\n");

    Put("f.txt", "old");
    Expand("%create-file(" + m_dir + "f.txt,-new)%text-append(" + m_dir + "f.txt,+more)");
    EXPECT_EQ(Contents("f.txt"), "old-new+more");
    Expand("%text-append(" + m_dir + "f.txt)");
    EXPECT_EQ(Contents("f.txt"), "old-new+more");
}

TEST_F(FileMacrosTest, FailuresShowOnlyInsideTry)
{
    std::string missing = m_dir + "no/such/file";
    const Case cases[] = {
        {"%csv-append(@,x)", "csv-append/2/Error appending to file"},
        {"%csv-appendq(@,x)", "csv-append/2/Error appending to file"},
        {"%tab-append(@,x)", "tab-append/2/Error appending to file"},
        {"%create-file(@,x)", "text-append/2/Error appending to file"},
        {"%delete(@)", "delete/2/Cannot delete file"},
        {"%move(@,@2)", "move/2/Error moving file"},
        {"%rename(@,@2)", "rename/2/Error renaming file"},
        {"%copy(@,@2)", "copy/2/Error copying file"},
        {"%rmdir(@)", "rmdir/2/Error removing directory"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        for (std::size_t at; (at = text.find('@')) != std::string::npos;)
            text.replace(at, 1, missing);
        SCOPED_TRACE(text);
        EXPECT_EQ(Expand("[" + text + "]"), "[]");
        EXPECT_EQ(ErrorOf(text), c.expected);
    }
}

TEST_F(FileMacrosTest, IncludeCopiesBytesUnexpanded)
{
    const std::string bytes("%set(x,1)<b>\0bin</b>", 20);
    Put("part.htm", bytes);
    EXPECT_EQ(Expand("[%include(" + m_dir + "part.htm)]"), "[" + bytes + "]");
    EXPECT_EQ(Expand("%defined(x)"), "");
    EXPECT_EQ(Expand("[%include(" + m_dir + "missing)]"), "[]");
    EXPECT_EQ(Expand("[%include(" + m_dir + ")]"), "[]");
}

TEST_F(FileMacrosTest, IncludeOfAFifoDoesNotBlock)
{
    std::string fifo = m_dir + "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Expand("[%include(" + fifo + ")]"), "[]");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(FileMacrosTest, DeleteMoveRenameCopy)
{
    Put("a", "A");
    Put("b", "B");
    Expand("%move(" + m_dir + "a," + m_dir + "b)");
    EXPECT_FALSE(fs::exists(m_dir + "a"));
    EXPECT_EQ(Contents("b"), "A");

    Put("c", "C");
    EXPECT_EQ(ErrorOf("%rename(" + m_dir + "c," + m_dir + "b)"), "rename/183/Error renaming file");
    EXPECT_EQ(Contents("b"), "A");
    Expand("%rename(" + m_dir + "c," + m_dir + "d)");
    EXPECT_EQ(Contents("d"), "C");

    EXPECT_EQ(ErrorOf("%copy(" + m_dir + "d," + m_dir + "b)"), "copy/80/Error copying file");
    EXPECT_EQ(Contents("b"), "A");
    Expand("%copy(" + m_dir + "d," + m_dir + "b,0)");
    EXPECT_EQ(Contents("b"), "C");
    EXPECT_EQ(Contents("d"), "C");

    Expand("%delete(" + m_dir + "d)");
    EXPECT_FALSE(fs::exists(m_dir + "d"));
    fs::create_directory(m_dir + "sub");
    EXPECT_EQ(ErrorOf("%delete(" + m_dir + "sub)"), "delete/5/Cannot delete file");
    EXPECT_TRUE(fs::exists(m_dir + "sub"));
}

TEST_F(FileMacrosTest, MkdirAndRmdir)
{
    Expand("%mkdir(" + m_dir + "x/y//z)");
    EXPECT_TRUE(fs::is_directory(m_dir + "x/y/z"));
    // Existing directories along the way are no failure.
    EXPECT_EQ(ErrorOf("%mkdir(" + m_dir + "x/y/w/)"), "");
    EXPECT_TRUE(fs::is_directory(m_dir + "x/y/w"));
    // A file in the way stops the walk.
    Put("file", "");
    EXPECT_EQ(ErrorOf("%mkdir(" + m_dir + "file/sub)"), "mkdir/3/Error creating directory");

    EXPECT_EQ(ErrorOf("%rmdir(" + m_dir + "x/y)"), "rmdir/145/Error removing directory");
    Expand("%rmdir(" + m_dir + "x/y/z)");
    EXPECT_FALSE(fs::exists(m_dir + "x/y/z"));
    EXPECT_EQ(ErrorOf("%rmdir(" + m_dir + "file)"), "rmdir/3/Error removing directory");
}

TEST_F(FileMacrosTest, AttributesAndExistence)
{
    Put("f", "");
    fs::create_directory(m_dir + "d");
    std::string f = m_dir + "f";
    const Case cases[] = {
        {"%exists(@)", "32"},
        {"%attrib(@,+R)%exists(@)", "33"},
        {"%attrib(@,-R+H)%exists(@)", "34"},
        {"%attrib(@,s-a)%exists(@)", "6"},
        {"%attrib(@,n)%exists(@)", "128"},
        {"%attrib(@,nt)%exists(@)", "256"},
        {"%attrib(@,-t)%exists(@)", "128"},
        {"%attrib(@,+a?x)%exists(@)", "32"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        for (std::size_t at; (at = text.find('@')) != std::string::npos;)
            text.replace(at, 1, f);
        SCOPED_TRACE(text);
        EXPECT_EQ(Expand(text), c.expected);
    }
    // Read-only is the file's write bits.
    struct stat status {};
    EXPECT_EQ(Expand("%attrib(" + f + ",R)"), "");
    ASSERT_EQ(::stat(f.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0222, 0u);
    Expand("%attrib(" + f + ",-R)");
    ASSERT_EQ(::stat(f.c_str(), &status), 0);
    EXPECT_TRUE(status.st_mode & S_IWUSR);

    EXPECT_EQ(Expand("%exists(" + m_dir + "d)"), "16");
    EXPECT_EQ(Expand("[%exists(" + m_dir + "missing)]"), "[]");
    // A missing file changes nothing and reports nothing, even inside try.
    EXPECT_EQ(ErrorOf("%attrib(" + m_dir + "missing,+R)"), "");
}

TEST_F(FileMacrosTest, AppendWaitsForAnotherAppender)
{
    std::string path = m_dir + "log.csv";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::thread holder([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ::write(fd, "first\r\n", 7);
        ::close(fd);
    });
    auto start = std::chrono::steady_clock::now();
    Expand("%csv-append(" + path + ",second)");
    auto waited = std::chrono::steady_clock::now() - start;
    holder.join();
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_EQ(Contents("log.csv"), "first\r\nsecond\r\n");
}

// --- dir ------------------------------------------------------------------

TEST_F(FileMacrosTest, DirListsInNameOrderWithoutRegardToCase)
{
    for (const char* name : {"b.htm", "A.htm", "c.htm", "x.txt"})
        Put(name, "");
    EXPECT_EQ(Expand("%dir(" + m_dir + "*.htm,%fname%;)"), "A.htm;b.htm;c.htm;");
    EXPECT_EQ(Expand("%dir(" + m_dir + "*.*,%fname%;)"), "A.htm;b.htm;c.htm;x.txt;");
    EXPECT_EQ(Expand("%dir(" + m_dir + "?.txt,%fname%;)"), "x.txt;");
    EXPECT_EQ(Expand("[%dir(" + m_dir + "*.gif,%fname%;)]"), "[]");
    EXPECT_EQ(Expand("[%dir(" + m_dir + "nothere/*,%fname%;)]"), "[]");
    EXPECT_EQ(Expand("[%dir(" + m_dir + ",%fname%;)]"), "[]");
    EXPECT_EQ(Expand("[%dir(" + m_dir + "*)]"), "[]");
}

TEST_F(FileMacrosTest, DirOptionsChooseWhatIsLeftOut)
{
    Put("plain", "");
    Put("hidden", "");
    Put("system", "");
    Put(".~ACL~", "");
    Put("page.htm.~acl~", "");
    fs::create_directory(m_dir + "sub");
    Expand("%attrib(" + m_dir + "hidden,+H)%attrib(" + m_dir + "system,+S)");
    const Case cases[] = {
        {"%dir(@*,%fname%;)", "hidden;plain;system;"},
        {"%dir(@*,%fname%;,%null%)", ".;..;hidden;plain;sub;system;"},
        {"%dir(@*,%fname%;,HS)", ".;..;plain;sub;"},
        {"%dir(@*,%fname%;,dh)", "plain;system;"},
        {"%dir(@*,%fname%;,~D)", ".~ACL~;hidden;page.htm.~acl~;plain;system;"},
        {"%dir(@*,%fname%=%isdir%%ishidden%%issystem%%istemp%;,D~)", ".~ACL~=;hidden=T;page.htm.~acl~=;plain=;system=T;"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        for (std::size_t at; (at = text.find('@')) != std::string::npos;)
            text.replace(at, 1, m_dir);
        SCOPED_TRACE(text);
        EXPECT_EQ(Expand(text), c.expected);
    }
}

TEST_F(FileMacrosTest, DirEntryMacros)
{
    Put("page.htm", "12345");
    fs::create_directory(m_dir + "sub");
    struct stat status {};
    ASSERT_EQ(::stat((m_dir + "page.htm").c_str(), &status), 0);
    std::string listed =
        Expand("%dir(" + m_dir + "*,%directory%|%pathname%|%fname%|%fsize%|%fattrs%|%fmtime%|%altfname%|%isdir%;,%null%)");
    EXPECT_NE(listed.find(m_dir + "|" + m_dir + "page.htm|page.htm|5|32|" + std::to_string(status.st_mtime) + "||;"),
              std::string::npos)
        << listed;
    EXPECT_NE(listed.find(m_dir + "|" + m_dir + "sub|sub|"), std::string::npos) << listed;
    EXPECT_NE(listed.find("|16|"), std::string::npos) << listed;
    EXPECT_NE(listed.find("||T;"), std::string::npos) << listed;

    // The times are plain seconds since 1970 and plausible for a new file.
    std::string times = Expand("%dir(" + m_dir + "page.htm,%fctime% %fatime%)");
    long long created = std::atoll(times.c_str());
    long long accessed = std::atoll(times.c_str() + times.find(' ') + 1);
    EXPECT_LE(std::llabs(created - static_cast<long long>(status.st_mtime)), 5);
    EXPECT_EQ(accessed, static_cast<long long>(status.st_atime));

    // The entry macros live only while their entry's text expands.
    EXPECT_EQ(Expand("%dir(" + m_dir + "page.htm,x)%fname%"), "x%fname%");
}

TEST_F(FileMacrosTest, DirTemplateIsExpandedPerEntryNotBefore)
{
    Put("a", "");
    Put("b", "");
    // Each entry's text sees the caller's macros and its own entry, and
    // what it defines dies with the entry.
    EXPECT_EQ(Expand("%set(sep,-)%dir(" + m_dir + "*,%fname%%sep%%set(sep,+)%sep%)%sep%"), "a-+b-+-");
}

TEST_F(FileMacrosTest, DirSizesBeyondTwoGigabytesStayPositive)
{
    std::string path = m_dir + "big.iso";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 3LL * 1024 * 1024 * 1024), 0); // sparse: no disk space used
    ::close(fd);
    EXPECT_EQ(Expand("%dir(" + path + ",%fsize%)"), "3221225472");
}

TEST_F(FileMacrosTest, DirWithoutDirectoryNamesEntriesByTheirBareNames)
{
    Put("here.htm", "");
    fs::path previous = fs::current_path();
    fs::current_path(m_dir);
    std::string listed = Expand("%dir(*.htm,[%directory%][%pathname%])");
    fs::current_path(previous);
    EXPECT_EQ(listed, "[][here.htm]");
}

TEST_F(FileMacrosTest, BackslashSeparatesDirectories)
{
    fs::create_directory(m_dir + "sub");
    Put("sub/in.txt", "inside");
    m_global.Register("file", std::make_unique<CValueMacro>(m_dir + "sub\\in.txt"));
    m_global.Register("pattern", std::make_unique<CValueMacro>(m_dir + "sub\\*"));
    EXPECT_EQ(Expand("%include(%file%)"), "inside");
    EXPECT_EQ(Expand("%dir(%pattern%,%pathname%)"), m_dir + "sub\\in.txt");
}

} // namespace
