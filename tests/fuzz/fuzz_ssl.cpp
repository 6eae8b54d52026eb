// Feeds arbitrary bytes to the secure port's server layer over a socket
// pair: the first byte picks the server handshake from its first message,
// or a connection whose keys are already derived, reading records until the
// input ends. WSocketException and CRSAException are the expected failures;
// anything else, a hang, and sanitizer reports are findings.

#include "framework/wsocket.h"
#include "security/byte_block.h"
#include "security/key_text.h"
#include "security/rsa_exception.h"
#include "security/ssl_server_layer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

// A throwaway 512-bit key: only its shape matters here.
const char kKey[] = "MIIBVQIBADANBgkqhkiG9w0BAQEFAASCAT8wggE7AgEAAkEAr7ILECr7ceiEhUWs"
                    "T1VCvRlaepftxz/7LyzXbZLOpJQ7bQRY/+LZyuoOJyoTmX1GG9W8j4w7iEEvwlGw"
                    "/9hCrwIDAQABAkBhHedjnn6y7jYifOrMR3LGmDcdQNHcq48q+nxyQw4ahjLoJm6O"
                    "vk0zhRLjM/DEicSyXBPm8sFuAdmZRtFQ96LRAiEA2sHsKoxEpRZ+lM7rgz9AQePi"
                    "eVIQfQHMgF1ZFvjkqlUCIQDNm1q7KApFXpIuyd8w9k+NB6aO7pJI1IjJJt2Wn1xE"
                    "8wIhAI49K4da30OMxc+SX7ZeSTTOrTJ/drMhmUwZ5lS2j1BlAiBnIZr0L9RfEV3P"
                    "/FBotdQXUJQaM87Km1j1VPpnOA5HQwIhAJKjP/b56KWQaAiW1HZkl6YiAKJYN6q/"
                    "TWEH8Z2Bw/bw";

const CByteBlock& Key()
{
    static CByteBlock key = [] {
        CByteBlock decoded;
        DecodeKeyText(kKey, &decoded);
        return decoded;
    }();
    return key;
}

// A record's plaintext never exceeds what a record can carry.
void Drain(WSocket& socket)
{
    for (int records = 0; records < 4096; ++records) {
        CAsyncIO& in = socket.GetAppInput();
        in.Rewind();
        int got = socket.Fill();
        if (got <= 0)
            return;
        if (got > kSSLMaxReadBody)
            std::abort();
    }
}

bool g_keyed = false;

std::unique_ptr<CSSLLayer> MakeLayer(WSocket& socket)
{
    auto layer = std::make_unique<CSSLServerLayer>(&socket);
    CByteBlock certificate("certificate", 11);
    layer->SetCertificate(certificate);
    layer->SetPrivateKey(Key());
    if (g_keyed) {
        CByteBlock master("0123456789abcdef", 16), none, challenge("challenge", 9), id("0123456789ABCDEF", 16);
        layer->DeriveKeys(kSSLCipherRC4Export, master, none, challenge, id);
    }
    return layer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        std::abort();
    if (::write(ends[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1))
        std::abort();
    ::shutdown(ends[1], SHUT_WR);
    g_keyed = data[0] & 1;
    SetSSLLayerFactory(&MakeLayer);
    {
        WSocket socket;
        socket.Attach(ends[0]);
        socket.SetTimeout(1000);
        if (socket.SetSecure(true) != 0)
            std::abort();
        try {
            if (!g_keyed)
                socket.StartSecure();
            Drain(socket);
        } catch (const WSocketException&) {
        } catch (const CRSAException&) {
        }
    }
    ::close(ends[1]);
    return 0;
}
