// The base64 text stream: line cutting, failures and a round trip.

#include "toolkit_helper.h"

#include "security/base64_text_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Peer {
    std::vector<std::string> lines;
    int lineAnswer = 0;
    std::string text;      // served to read, in pieces of at most piece
    std::size_t offset = 0;
    std::size_t piece = 1001;
    int resets = 0;
};

int Line(const char* line, void* data)
{
    auto* p = static_cast<Peer*>(data);
    p->lines.push_back(line);
    return p->lineAnswer;
}

int ReadText(unsigned char* buffer, unsigned int capacity, unsigned int* got, void* data)
{
    auto* p = static_cast<Peer*>(data);
    if (p->offset == p->text.size())
        return kAppEndOfInput;
    std::size_t n = std::min<std::size_t>({capacity, p->piece, p->text.size() - p->offset});
    std::copy_n(p->text.data() + p->offset, n, buffer);
    p->offset += n;
    *got = static_cast<unsigned int>(n);
    return 0;
}

int ResetPeer(void* data)
{
    ++static_cast<Peer*>(data)->resets;
    return 0;
}

struct Stream {
    Peer peer;
    TextStreamCallbacks callbacks{ReadText, Line, nullptr, ResetPeer, nullptr, &peer};
    Base64TextStream stream{};
    Stream() { InitBase64TextStream(&stream, &callbacks); }
    ~Stream() { CloseBase64TextStream(&stream); }
    int Write(const Bytes& bytes)
    {
        return stream.write(reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<unsigned int>(bytes.size()), stream.context);
    }
    // Reads everything in reads of capacity bytes; the last status in *status.
    Bytes ReadAll(unsigned int capacity, int* status)
    {
        Bytes all;
        std::vector<unsigned char> buffer(capacity);
        for (int i = 0; i < 100000; ++i) {
            unsigned int count = 0;
            *status = stream.read(buffer.data(), &count, capacity, stream.context);
            all.append(reinterpret_cast<const char*>(buffer.data()), count);
            if (*status)
                break;
        }
        return all;
    }
};

TEST(Base64TextStream, LinesAreCutAt64Characters)
{
    const struct {
        unsigned int octets;
        std::vector<std::size_t> lines;
    } cases[] = {
        {0, {}}, {1, {4}}, {47, {64}}, {48, {64}}, {49, {64, 4}}, {96, {64, 64}}, {1500, std::vector<std::size_t>(31, 64)},
    };
    for (const auto& c : cases) {
        Stream s;
        Bytes data(c.octets, '\0');
        for (unsigned int i = 0; i < c.octets; ++i)
            data[i] = static_cast<char>(i * 7);
        ASSERT_EQ(s.Write(data), 0);
        ASSERT_EQ(FlushBase64TextStream(&s.stream), 0);
        std::vector<std::size_t> lengths;
        std::string joined;
        for (const std::string& l : s.peer.lines) {
            lengths.push_back(l.size());
            joined += l;
        }
        auto expected = c.lines;
        if (c.octets == 1500)
            expected.push_back(16); // 2000 characters
        EXPECT_EQ(lengths, expected) << c.octets;
        EXPECT_EQ(joined, Base64Encode(data)) << c.octets;
    }
}

TEST(Base64TextStream, ALineFunctionThatFailsFailsTheWrite)
{
    Stream s;
    s.peer.lineAnswer = 7;
    EXPECT_EQ(s.Write(Bytes(47, 'a')), 0) << "no complete line yet";
    EXPECT_EQ(s.Write(Bytes(1, 'a')), kAppStream);
    EXPECT_EQ(s.stream.lastError, kAppStreamCallback);
    EXPECT_EQ(s.stream.unsupported[0](s.stream.context), kAppStream);
    EXPECT_EQ(s.stream.lastError, kAppUnsupported);
}

TEST(Base64TextStream, ReadsBackWhatWasWrittenWhateverTheReadSizes)
{
    std::mt19937 generator(12);
    Bytes data(5000, '\0');
    for (char& c : data)
        c = static_cast<char>(generator());
    Stream writer;
    ASSERT_EQ(writer.Write(data.substr(0, 1234)), 0);
    ASSERT_EQ(writer.Write(data.substr(1234)), 0);
    ASSERT_EQ(FlushBase64TextStream(&writer.stream), 0);
    std::string text;
    for (const std::string& l : writer.peer.lines)
        text += l + "\r\n";
    for (unsigned int capacity : {1u, 7u, 300u, 5000u, 9000u}) {
        for (std::size_t piece : {1001u, 13u}) {
            Stream reader;
            reader.peer.text = text;
            reader.peer.piece = piece;
            int status = 0;
            EXPECT_EQ(reader.ReadAll(capacity, &status), data) << capacity << " " << piece;
            EXPECT_EQ(status, kAppEndOfInput);
            unsigned char byte;
            unsigned int count = 9;
            EXPECT_EQ(reader.stream.read(&byte, &count, 1, reader.stream.context), kAppEndOfInput);
            EXPECT_EQ(count, 0u);
        }
    }
}

TEST(Base64TextStream, BadTextAndResets)
{
    const struct {
        const char* text;
        int lastError;
    } cases[] = {{"QUJD*", kAppBadBase64}, {"QUJDR", kAppBadBase64}, {"Q===", kAppBadBase64}};
    for (const auto& c : cases) {
        Stream s;
        s.peer.text = c.text;
        int status = 0;
        s.ReadAll(64, &status);
        EXPECT_EQ(status, kAppStream) << c.text;
        EXPECT_EQ(s.stream.lastError, c.lastError) << c.text;
    }
    Stream s;
    s.peer.text = "QUJD";
    int status = 0;
    EXPECT_EQ(s.ReadAll(64, &status), "ABC");
    ASSERT_EQ(s.stream.reset(s.stream.context), 0);
    EXPECT_EQ(s.peer.resets, 1);
    s.peer.offset = 0;
    EXPECT_EQ(s.ReadAll(64, &status), "ABC") << "a reset stream starts anew";
}

} // namespace
