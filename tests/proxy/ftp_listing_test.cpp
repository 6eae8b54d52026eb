#include "proxy/ftp_listing.h"

#include <gtest/gtest.h>

namespace {

TEST(FTPListingTest, ReadsUnixAndDosLines)
{
    struct Case {
        const char* line;
        bool listed;
        const char* name;
        bool directory;
        const char* size;
        const char* date;
        const char* time;
    } cases[] = {
        {"drwxr-xr-x 2 user group 512 Jan 5 12:00 docs\r\n", true, "docs", true, "512", "Jan 5", "12:00"},
        {"-rw-r--r--   1 ftp ftp  1048576 Dec 31  2025 big.bin", true, "big.bin", false, "1048576", "Dec 31",
         "2025"},
        {"-rw-r--r-- 1 u g 7 Mar 2 09:01 two words.txt\r\n", true, "two words.txt", false, "7", "Mar 2", "09:01"},
        {"lrwxrwxrwx 1 u g 4 Mar 2 09:01 latest -> v1.2", true, "latest", false, "4", "Mar 2", "09:01"},
        {"01-05-97 10:30AM <DIR> docs", true, "docs", true, "", "01-05-97", "10:30AM"},
        {"12-24-26  08:15PM       123456 Read Me.TXT\r\n", true, "Read Me.TXT", false, "123456", "12-24-26",
         "08:15PM"},
        {"plainname", true, "plainname", false, "", "", ""},
        {"drwxr-xr-x 2 u g 512 Jan 5 12:00 .", false, "", false, "", "", ""},
        {"-rw-r--r-- 1 u g 1 Jan 5 12:00 a/b", false, "", false, "", "", ""},
        // A mode without its columns: no name, nothing listed.
        {"-rw-r--r--", false, "", false, "", "", ""},
    };
    for (const Case& c : cases) {
        CFTPListEntry entry;
        ASSERT_EQ(ParseFTPListLine(c.line, entry), c.listed) << c.line;
        if (!c.listed)
            continue;
        EXPECT_EQ(entry.name, c.name) << c.line;
        EXPECT_EQ(entry.directory, c.directory) << c.line;
        EXPECT_EQ(entry.size, c.size) << c.line;
        EXPECT_EQ(entry.date, c.date) << c.line;
        EXPECT_EQ(entry.time, c.time) << c.line;
    }
}

TEST(FTPListingTest, PageLinesShowHostileNamesAsText)
{
    struct Case {
        CFTPListEntry entry;
        const char* type;
        const char* icon;
        const char* line;
    } cases[] = {
        {{"a b+c.txt", "7", "", "", false},
         "text/plain",
         "",
         "<A HREF=\"a%20b%2Bc.txt\">a b+c.txt                      </A>         7                   text/plain\r\n"},
        {{"<b onclick=x>\"&", "1", "", "", false},
         "",
         "",
         "<A HREF=\"%3Cb%20onclick%3Dx%3E%22%26\">&lt;b onclick=x&gt;&quot;&amp;                </A>         1"
         "                   \r\n"},
    };
    for (const Case& c : cases) {
        CTextBuffer out;
        AppendFTPListEntry(out, c.entry, c.type, c.icon);
        EXPECT_EQ(out.ToString(), c.line) << c.entry.name;
    }
    CTextBuffer head;
    AppendFTPListHead(head, "/pub/<b>");
    EXPECT_EQ(head.ToString(),
              "<HTML><BODY><H1>Directory of /pub/&lt;b&gt;</H1><PRE>\r\n<A HREF=\"../\">Go to parent directory</a>\r\n");
}

} // namespace
