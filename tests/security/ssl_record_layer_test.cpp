#include "security/ssl_record_layer.h"
#include "security/ssl_server_layer.h"

#include "framework/loopback.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Installed {
    Installed() { InstallSSLLayer(); }
    ~Installed() { SetSSLLayerFactory(nullptr); }
};

struct ReadCase {
    const char* name;
    std::string wire;
    int result;        // what Fill answers when nothing is thrown
    int code;          // the WSocketException code, 0 for none
    std::string plain; // what the reader then holds
};

std::string Clear(const std::string& data)
{
    return std::string{static_cast<char>(0x80 | data.size() >> 8), static_cast<char>(data.size() & 0xFF)} + data;
}

// Records before the keys exist: the header forms, and every length the
// peer announces checked before it is used.
TEST(SSLRecordLayer, ReadsClearRecordsAndRefusesBadHeaders)
{
    Installed installed;
    const std::string largest(0x7FFF, 'L');
    const ReadCase cases[] = {
        {"two-byte header", Clear(std::string(300, 'x')), 300, 0, std::string(300, 'x')},
        {"one byte", Clear("y"), 1, 0, "y"},
        {"the largest record", Clear(largest), 0x7FFF, 0, largest},
        {"an empty record is skipped", Clear("") + Clear("z"), 1, 0, "z"},
        {"three-byte header, no padding", std::string("\x00\x02\x00", 3) + "ab", 2, 0, "ab"},
        {"padding not below the block size", std::string("\x00\x04\x01", 3) + "abcd", 0, kSSLErrorMAC, ""},
        {"escape bit", std::string("\x40\x02\x00", 3) + "ab", 0, kSSLErrorEscape, ""},
        {"padding byte missing", std::string("\x00\x02", 2), 0, kSSLErrorPadding, ""},
        {"body cut short", std::string("\x80\x10", 2) + "short", 0, kSSLErrorShortRecord, ""},
        {"header cut short", std::string("\x80", 1), -1, 0, ""},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPair pair;
        pair.server.SetTimeout(5000);
        ASSERT_EQ(pair.server.SetSecure(true), 0);
        ASSERT_EQ(pair.client.Write(c.wire.data(), static_cast<int>(c.wire.size()), false),
                  static_cast<int>(c.wire.size()));
        pair.client.Shutdown();
        int result = 0, code = 0;
        try {
            result = pair.server.Fill();
        } catch (const WSocketException& e) {
            code = e.error;
            EXPECT_EQ(e.socket, nullptr);
        }
        EXPECT_EQ(code, c.code);
        if (c.code == 0) {
            EXPECT_EQ(result, c.result);
        }
        CAsyncIO& in = pair.server.GetAppInput();
        EXPECT_EQ(std::string(in.GetData() + in.GetStart(), static_cast<std::size_t>(in.GetHeld())), c.plain);
    }
}

TEST(SSLRecordLayer, AClearFlushIsOneRecordOfTheBytesUnchanged)
{
    Installed installed;
    LoopbackPair pair;
    pair.client.SetTimeout(5000);
    ASSERT_EQ(pair.server.SetSecure(true), 0);
    const std::string data(300, 'q');
    ASSERT_EQ(pair.server.SendText(data), 300);
    ASSERT_EQ(pair.server.Flush(), 302);
    std::string got(302, '\0');
    ASSERT_EQ(pair.client.ReadExact(got.data(), 302), 302);
    EXPECT_EQ(got, "\x81\x2C" + data);
}

TEST(SSLRecordLayer, DeriveKeysRefusesAnyOtherCipherKind)
{
    Installed installed;
    LoopbackPair pair;
    CSSLServerLayer layer(&pair.server);
    CByteBlock master("0123456789abcdef", 16), none, challenge("c", 1), id("0123456789abcdef", 16);
    const unsigned char other[3] = {0x01, 0x00, 0x80};
    try {
        layer.DeriveKeys(other, master, none, challenge, id);
        ADD_FAILURE() << "a kind not offered was taken";
    } catch (const WSocketException& e) {
        EXPECT_EQ(e.error, kSSLErrorCipherKind);
    }
    EXPECT_EQ(layer.GetMACSize(), 0);
    layer.DeriveKeys(kSSLCipherRC4Export, master, none, challenge, id);
    EXPECT_EQ(layer.GetMACSize(), kSSLMACSize);
}

} // namespace
