#include "framework/ssl_layer.h"

#include "framework/text_buffer.h"
#include "framework/wsocket.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using platform::LastSocketError;

namespace {

constexpr unsigned char kKey = 0x5A;

std::string Scramble(std::string bytes)
{
    for (char& c : bytes)
        c = static_cast<char>(c ^ kKey);
    return bytes;
}

// A record a peer without the layer builds by hand: 2-byte length, then the
// scrambled bytes.
std::string Record(const std::string& plain)
{
    std::string record(2, '\0');
    record[0] = static_cast<char>(plain.size() >> 8);
    record[1] = static_cast<char>(plain.size() & 0xFF);
    return record + Scramble(plain);
}

// A toy record layer that speaks through the socket's hooks exactly as the
// SSL layer does: raw reads, record blocks, application buffers.
class ScrambleLayer : public CSSLLayer {
public:
    explicit ScrambleLayer(WSocket& socket) : m_socket(socket) {}

    void SetCertificate(const CByteBlock&) override {}
    int SetPrivateKey(const CByteBlock&) override { return 0; }

    void ServerHandshake() override
    {
        char hello[5];
        if (m_socket.ReadRaw(hello, 5) != 5 || std::memcmp(hello, "HELLO", 5) != 0)
            throw WSocketException(nullptr, 20000);
        m_socket.WriteBlock("READY", 5);
        m_socket.FlushOutput();
    }

    int WriteRecord() override
    {
        CAsyncIO& out = m_socket.GetAppOutput();
        std::string record = Record(std::string(out.GetData() + out.GetStart(), static_cast<std::size_t>(out.GetHeld())));
        out.Rewind();
        if (m_socket.WriteBlock(record.data(), static_cast<int>(record.size())) < 0)
            return -1;
        return m_socket.FlushOutput();
    }

    int ReadRecord() override
    {
        unsigned char header[2];
        if (m_socket.ReadRaw(header, 2) != 2)
            return -1;
        const int n = header[0] << 8 | header[1];
        std::string body(static_cast<std::size_t>(n), '\0');
        if (m_socket.ReadRaw(body.data(), n) != n)
            throw WSocketException(nullptr, 20007);
        body = Scramble(body);
        if (!m_socket.GetAppInput().Append(body.data(), n))
            throw WSocketException(nullptr, 20008);
        return n;
    }

private:
    WSocket& m_socket;
};

std::unique_ptr<CSSLLayer> MakeScrambleLayer(WSocket& socket) { return std::make_unique<ScrambleLayer>(socket); }

struct FactoryGuard {
    explicit FactoryGuard(SSLLayerFactory factory) { SetSSLLayerFactory(factory); }
    ~FactoryGuard() { SetSSLLayerFactory(nullptr); }
};

} // namespace

TEST(WSocketSecure, WithoutAFactorySetSecureFailsClearly)
{
    FactoryGuard none(nullptr);
    LoopbackPair pair;
    EXPECT_EQ(pair.server.SetSecure(true), -1);
    EXPECT_EQ(LastSocketError(), kSSLUnavailableError);
    EXPECT_FALSE(pair.server.IsSecure());
    pair.server.SetThrowOnError(true);
    try {
        pair.server.SetSecure(true);
        ADD_FAILURE() << "SetSecure must fail without a layer";
    } catch (const WSocketException& e) {
        EXPECT_EQ(e.error, kSSLUnavailableError);
    }
    EXPECT_NO_THROW(pair.server.StartSecure()); // no layer: nothing to run
}

TEST(WSocketSecure, RecordsCarryLinesBothWays)
{
    FactoryGuard installed(&MakeScrambleLayer);
    LoopbackPair pair;
    pair.server.SetTimeout(5000);
    pair.client.SetTimeout(5000);
    ASSERT_EQ(pair.server.SetSecure(true), 0);
    EXPECT_TRUE(pair.server.IsSecure());
    EXPECT_EQ(pair.server.GetAppOutput().GetCapacity(), WSocket::kSSLOutputSize);
    EXPECT_EQ(pair.server.GetAppInput().GetCapacity(), WSocket::kSSLInputSize);

    ASSERT_EQ(pair.client.SendText("HELLO", false), 5);
    pair.server.StartSecure();
    char ready[5];
    ASSERT_EQ(pair.client.ReadExact(ready, 5), 5);
    EXPECT_EQ(std::string(ready, 5), "READY");

    // One line split over three records, then a second line in the last one.
    ASSERT_GT(pair.client.SendText(Record("GET /in") + Record("dex HTTP/1.0") + Record("\r\nHost: x\r\n"), false), 0);
    CTextBuffer line;
    EXPECT_EQ(pair.server.ReadLine(line, true), 19);
    EXPECT_EQ(line.View(), "GET /index HTTP/1.0");
    line.Empty();
    EXPECT_EQ(pair.server.ReadLine(line, true), 7);
    EXPECT_EQ(line.View(), "Host: x");

    // Write cuts full plaintext buffers into records; the rest waits for Flush.
    const std::string body(40000, 'p');
    EXPECT_EQ(pair.server.Write(body.data(), static_cast<int>(body.size()), true), 40000);
    EXPECT_EQ(pair.server.GetAppOutput().GetHeld(), 40000 - 2 * WSocket::kSSLOutputSize);
    EXPECT_EQ(pair.server.SendTextLine("end"), 5);
    pair.server.Close(); // flushes the last record
    EXPECT_FALSE(pair.server.IsSecure());

    std::string plain;
    std::vector<int> sizes;
    for (int i = 0; i < 8; ++i) {
        unsigned char header[2];
        if (pair.client.ReadExact(header, 2) != 2)
            break;
        std::string record(static_cast<std::size_t>(header[0] << 8 | header[1]), '\0');
        ASSERT_EQ(pair.client.ReadExact(record.data(), static_cast<int>(record.size())), static_cast<int>(record.size()));
        sizes.push_back(static_cast<int>(record.size()));
        plain += Scramble(record);
    }
    EXPECT_EQ(sizes, (std::vector<int>{WSocket::kSSLOutputSize, WSocket::kSSLOutputSize, 40000 - 2 * WSocket::kSSLOutputSize + 5}));
    EXPECT_TRUE(plain == body + "end\r\n");
    EXPECT_GT(pair.server.GetBytesSent(), 40005);
}

TEST(WSocketSecure, SendFileAndResetGoThroughTheLayer)
{
    FactoryGuard installed(&MakeScrambleLayer);
    LoopbackPair pair;
    pair.client.SetTimeout(5000);
    ASSERT_EQ(pair.server.SetSecure(true), 0);
    const char memory[] = "--secret--";
    EXPECT_EQ(pair.server.SendFile(-1, 6, memory, 2), 6);
    EXPECT_EQ(pair.server.Flush(), 8); // one record: header and 6 bytes
    char wire[8];
    ASSERT_EQ(pair.client.ReadExact(wire, 8), 8);
    EXPECT_EQ(std::string(wire, 8), Record("secret"));
    pair.server.ResetBuffers();
    EXPECT_FALSE(pair.server.IsSecure());
    EXPECT_EQ(&pair.server.GetAppOutput(), &pair.server.GetRawOutput());
}
