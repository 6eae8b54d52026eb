#include "framework/file_reader.h"

#include "framework/text_buffer.h"
#include "platform/net.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Writes content to a temporary file and opens it for reading; removed at the end.
struct TextFile {
    std::string path;
    int handle = -1;
    explicit TextFile(const std::string& content)
    {
        char name[] = "/tmp/velmora-reader-XXXXXX";
        int writer = mkstemp(name);
        path = name;
        EXPECT_EQ(write(writer, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(writer);
        handle = open(path.c_str(), O_RDONLY);
    }
    ~TextFile()
    {
        close(handle);
        unlink(path.c_str());
    }
};

using Lines = std::vector<std::pair<std::string, int>>;

} // namespace

TEST(CFileReader, ReadsLinesWithEitherEndingAndALastLineWithoutOne)
{
    const std::string longLine(3000, 'l');
    const struct {
        std::string content;
        bool strip;
        Lines expected;
    } cases[] = {
        {"a\nb\r\nlast", true, {{"a", 1}, {"b", 1}, {"last", 4}, {"", 0}}},
        {"a\nb\r\nlast", false, {{"a\n", 2}, {"b\r\n", 3}, {"last", 4}, {"", 0}}},
        {"only\r\n", true, {{"only", 4}, {"", 0}}},
        {"", true, {{"", 0}}},
        {"\r\n\nx", true, {{"", 0}, {"", 0}, {"x", 1}, {"", 0}}},
        {longLine + "\n" + "x\r", true, {{longLine, 3000}, {"x\r", 2}, {"", 0}}},
        {std::string(1023, 'a') + "\r\n" + "b\n", true, {{std::string(1023, 'a'), 1023}, {"b", 1}, {"", 0}}},
    };
    for (const auto& c : cases) {
        TextFile file(c.content);
        ASSERT_GE(file.handle, 0);
        CFileReader reader(file.handle);
        for (const auto& [text, result] : c.expected) {
            CTextBuffer line;
            platform::SetLastSocketError(123);
            EXPECT_EQ(reader.ReadLine(line, c.strip), result) << c.content.substr(0, 20);
            EXPECT_TRUE(line.View() == text) << c.content.substr(0, 20);
        }
        // The end of the file is no error.
        EXPECT_EQ(platform::LastSocketError(), 0);
    }
}

TEST(CFileReader, ReadsFromPipesAndReportsReadErrors)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "one\ntwo\n", 8), 8);
    close(ends[1]);
    CFileReader reader(ends[0]);
    CTextBuffer text;
    EXPECT_EQ(reader.ReadLine(text, true), 3);
    EXPECT_EQ(reader.ReadLine(text, true), 3);
    EXPECT_EQ(text.View(), "onetwo"); // lines append to what the buffer holds
    EXPECT_EQ(reader.ReadLine(text, true), 0);
    close(ends[0]);

    int directory = open("/tmp", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    reader.SetFile(directory);
    EXPECT_EQ(reader.ReadLine(text, true), -1);
    EXPECT_NE(platform::LastSocketError(), 0);
    close(directory);
}
