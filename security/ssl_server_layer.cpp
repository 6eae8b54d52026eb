#include "security/ssl_server_layer.h"

#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/entropy.h"
#include "security/key_text.h"
#include "security/rsa_exception.h"

#include <algorithm>
#include <cstring>

namespace {

[[noreturn]] void Fail(int code) { throw WSocketException(nullptr, code); }

unsigned char* Bytes(CByteBlock& block) { return reinterpret_cast<unsigned char*>(block.GetData()); }
const unsigned char* Bytes(const CByteBlock& block) { return reinterpret_cast<const unsigned char*>(block.GetData()); }

int Number16(const unsigned char* bytes) { return bytes[0] << 8 | bytes[1]; }

void PutNumber16(unsigned char* bytes, int value)
{
    bytes[0] = static_cast<unsigned char>(value >> 8);
    bytes[1] = static_cast<unsigned char>(value);
}

// Reads up to n bytes into block; its length becomes what arrived.
void ReadBlock(WSocket& socket, CByteBlock& block, int n)
{
    block.Free();
    if (n <= 0)
        return;
    block.Allocate(n);
    block.SetLength(std::max(socket.ReadExact(block.GetData(), n), 0));
}

void SendOrFail(WSocket& socket, const void* bytes, int n, int code)
{
    if (socket.Send(bytes, n) != n)
        Fail(code);
}

void SendBlock(WSocket& socket, const CByteBlock& block)
{
    if (block.GetLength() > 0 && socket.Send(block.GetData(), block.GetLength()) != block.GetLength())
        throw WSocketException(&socket, platform::LastSocketError());
}

void FlushOrFail(WSocket& socket)
{
    if (socket.Flush() < 0)
        throw WSocketException(&socket, platform::LastSocketError());
}

// The key's modulus in bytes, leading zeros not counted; 0 when unknown.
int ModulusBytes(CKeyObject& key)
{
    void* info = nullptr;
    if (GetKeyInfo(&info, key.Handle(), RSAPrivateKeyInfoType) != 0 || !info)
        return 0;
    const ToolkitItem& modulus = static_cast<const ToolkitRSAPrivateKey*>(info)->modulus;
    unsigned int i = 0;
    while (i < modulus.length && modulus.data[i] == 0)
        ++i;
    return static_cast<int>(modulus.length - i);
}

bool OffersSSL2Kind(const CByteBlock& specs)
{
    for (int i = 0; i + 3 <= specs.GetLength(); i += 3) {
        if (Bytes(specs)[i] != 0)
            return true;
    }
    return false;
}

// The server's cipher table: one entry.
bool Offered(const unsigned char* spec) { return std::memcmp(spec, kSSLCipherRC4Export, 3) == 0; }

} // namespace

struct CSSLServerLayer::ClientHello {
    CByteBlock specs;
    CByteBlock sessionId;
    CByteBlock challenge;
};

CSSLServerLayer::CSSLServerLayer(WSocket* socket, CSSLSessionCache* cache)
    : CSSLRecordLayer(socket), m_cache(cache ? cache : &GlobalSessionCache())
{
}

CSSLServerLayer::~CSSLServerLayer() = default;

void CSSLServerLayer::SetCertificate(const CByteBlock& certificate) { m_certificate = certificate; }

int CSSLServerLayer::SetPrivateKey(const CByteBlock& key)
{
    BindPrivateKey(key, m_privateKey);
    m_modulusBytes = ModulusBytes(m_privateKey);
    CAlgorithmObject digest;
    digest.SetInfo(MD5InfoType);
    digest.Check(DigestInit(digest.Handle(), nullptr, DefaultAlgorithmChooser, nullptr));
    digest.Check(DigestUpdate(digest.Handle(), Bytes(key), static_cast<unsigned int>(key.GetLength()), nullptr));
    unsigned int done = 0;
    m_keyPrint.Allocate(16);
    digest.Check(DigestFinal(digest.Handle(), Bytes(m_keyPrint), &done, 16, nullptr));
    return 0;
}

// A generator for this connection only: the kernel's random bytes, then the
// tick, the process's memory and times and the machine's memory figures.
void CSSLServerLayer::Seed()
{
    m_random = std::make_unique<CAlgorithmObject>();
    CAlgorithmObject& random = *m_random;
    random.SetInfo(RandomInfoType);
    random.Check(RandomInit(random.Handle(), DefaultAlgorithmChooser, nullptr));
    auto feed = [&random](const void* bytes, std::size_t n) {
        random.Check(RandomUpdate(random.Handle(), static_cast<const unsigned char*>(bytes),
                                  static_cast<unsigned int>(n), nullptr));
    };
    const std::uint64_t start = platform::MonotonicMs();
    unsigned char kernel[32];
    if (!platform::FillRandom(kernel, sizeof kernel))
        throw CRSAException(kToolkitFailure);
    feed(kernel, sizeof kernel);
    explicit_bzero(kernel, sizeof kernel);
    feed(&start, sizeof start);
    const platform::ProcessFigures figures = platform::GetProcessFigures();
    feed(&figures, sizeof figures);
    const std::uint64_t elapsed = platform::MonotonicMs() - start;
    feed(&elapsed, sizeof elapsed);
}

void CSSLServerLayer::ServerHandshake()
{
    Seed();
    WSocket* socket = GetSocket();
    if (!socket)
        return;
    m_resumed = false;
    ClientHello hello;
    ReadClientHello(hello);

    m_connectionId.Allocate(kSSLConnectionIdLength);
    m_random->Check(GenerateRandomBytes(m_random->Handle(), Bytes(m_connectionId), kSSLConnectionIdLength, nullptr));

    CSSLSessionEntry session;
    CByteBlock sessionId = hello.sessionId;
    bool hit = false;
    if (sessionId.GetLength() == kSSLSessionIdLength && m_cache->Lookup(sessionId, session)) {
        // A session made under another key would derive keys this server
        // cannot match; treated as unknown.
        hit = !m_keyPrint.IsEmpty() && session.keyPrint == m_keyPrint;
        if (!hit)
            session = CSSLSessionEntry{};
    }
    SendServerHello(hello, hit, sessionId);
    if (!hit)
        ReadClientMasterKey(session);
    DeriveKeys(session.cipherKind, session.masterKey, session.keyArg, hello.challenge, m_connectionId);
    SendServerVerifyAndFinished(hello.challenge, sessionId);
    ReadClientFinished();
    if (!hit) {
        session.keyPrint = m_keyPrint;
        m_cache->Store(sessionId, session);
    }
    m_resumed = hit;
    m_random.reset();
}

void CSSLServerLayer::ReadClientHello(ClientHello& hello)
{
    WSocket& socket = *GetSocket();
    unsigned char type = 0;
    unsigned char header[8];
    if (socket.ReadExact(&type, 1) != 1 || type != 1 || socket.ReadExact(header, 8) != 8)
        Fail(kSSLErrorClientHello);
    const int specsLength = Number16(header + 2);
    const int sessionLength = Number16(header + 4);
    const int challengeLength = Number16(header + 6);
    if (specsLength == 0 || specsLength % 3 != 0)
        Fail(kSSLErrorCipherSpecs);
    if (sessionLength != 0 && sessionLength != kSSLSessionIdLength)
        Fail(kSSLErrorSessionId);
    // Outside 16-32 bytes the hello is refused: a longer challenge would be
    // echoed back in SERVER-VERIFY and a shorter one weakens the keys.
    if (challengeLength < kSSLMinChallengeLength || challengeLength > kSSLMaxChallengeLength)
        Fail(kSSLErrorClientHello);
    ReadBlock(socket, hello.specs, specsLength);
    // A hello of version 3.x whose kinds are all SSL 3 or TLS ones (first
    // byte 0) comes from a client that cannot speak SSL 2.0 at all; one that
    // also offers SSL 2.0 kinds is served as SSL 2.0.
    if (header[0] >= 3 && !OffersSSL2Kind(hello.specs))
        Fail(kSSLErrorClientHello);
    ReadBlock(socket, hello.sessionId, sessionLength);
    ReadBlock(socket, hello.challenge, challengeLength);
}

void CSSLServerLayer::SendServerHello(const ClientHello& hello, bool hit, CByteBlock& sessionId)
{
    WSocket& socket = *GetSocket();
    CByteBlock accepted;
    if (!hit) {
        accepted.Allocate(hello.specs.GetLength());
        int n = 0;
        for (int i = 0; i + 3 <= hello.specs.GetLength(); i += 3) {
            if (Offered(Bytes(hello.specs) + i)) {
                std::memcpy(Bytes(accepted) + n, Bytes(hello.specs) + i, 3);
                n += 3;
            }
        }
        accepted.SetLength(n);
    }
    const unsigned char type = 4;
    SendOrFail(socket, &type, 1, kSSLErrorSessionId);
    unsigned char header[10] = {static_cast<unsigned char>(hit ? 1 : 0), 1, 0, 2};
    PutNumber16(header + 4, hit ? 0 : m_certificate.GetLength());
    PutNumber16(header + 6, hit ? 0 : accepted.GetLength());
    PutNumber16(header + 8, kSSLConnectionIdLength);
    SendOrFail(socket, header, sizeof header, kSSLErrorSessionId);
    if (!hit) {
        SendBlock(socket, m_certificate);
        SendBlock(socket, accepted);
        // The counter keeps ids of one process apart; the rest is random.
        const std::uint32_t counter = m_cache->NextId();
        sessionId.Allocate(kSSLSessionIdLength);
        unsigned char* id = Bytes(sessionId);
        for (int i = 0; i < 4; ++i)
            id[i] = static_cast<unsigned char>(counter >> (8 * i));
        m_random->Check(GenerateRandomBytes(m_random->Handle(), id + 4, kSSLSessionIdLength - 4, nullptr));
    }
    SendBlock(socket, m_connectionId);
    FlushOrFail(socket);
}

void CSSLServerLayer::ReadClientMasterKey(CSSLSessionEntry& session)
{
    WSocket& socket = *GetSocket();
    unsigned char type = 0;
    unsigned char header[9];
    if (socket.ReadExact(&type, 1) != 1 || type != 2 || socket.ReadExact(header, 9) != 9)
        Fail(kSSLErrorMasterKey);
    std::memcpy(session.cipherKind, header, 3);
    CByteBlock clear;
    CByteBlock encrypted;
    ReadBlock(socket, clear, Number16(header + 3));
    ReadBlock(socket, encrypted, Number16(header + 5));
    ReadBlock(socket, session.keyArg, Number16(header + 7));
    if (!Offered(session.cipherKind))
        Fail(kSSLErrorCipherKind);
    // The export cipher's master key is 11 clear bytes and 5 secret ones;
    // any other clear length is refused before anything is put together.
    if (clear.GetLength() != kSSLClearKeyLength)
        Fail(kSSLErrorMasterKey);
    // The length of the encrypted key is public, so refusing it at once
    // tells the client nothing about the key.
    if (m_modulusBytes != 0 && encrypted.GetLength() != m_modulusBytes)
        Fail(kSSLErrorMasterKey);
    unsigned char secret[kSSLSecretKeyLength];
    DecryptSecret(encrypted, secret);
    session.masterKey.Allocate(kSSLMasterKeyLength);
    std::memcpy(session.masterKey.GetData(), clear.GetData(), kSSLClearKeyLength);
    std::memcpy(session.masterKey.GetData() + kSSLClearKeyLength, secret, kSSLSecretKeyLength);
    explicit_bzero(secret, sizeof secret);
}

// A secret whose padding is wrong, or that is not 5 bytes long, is replaced
// by random bytes and the handshake goes on: the client learns nothing
// until its CLIENT-FINISHED fails, whatever was wrong.
void CSSLServerLayer::DecryptSecret(const CByteBlock& encrypted, unsigned char* secret)
{
    unsigned char fallback[kSSLSecretKeyLength];
    m_random->Check(GenerateRandomBytes(m_random->Handle(), fallback, sizeof fallback, nullptr));
    CAlgorithmObject rsa;
    rsa.SetInfo(RSAPrivateDecryptInfoType);
    rsa.Check(DecryptInit(rsa.Handle(), m_privateKey.Handle(), DefaultAlgorithmChooser, nullptr));
    unsigned char out[kSSLMasterKeyBuffer];
    unsigned int updated = 0, finished = 0;
    int status = DecryptUpdate(rsa.Handle(), out, &updated, sizeof out, Bytes(encrypted),
                               static_cast<unsigned int>(encrypted.GetLength()), nullptr, nullptr);
    if (status == 0)
        status = DecryptFinal(rsa.Handle(), out + updated, &finished, sizeof out - updated, nullptr, nullptr);
    const unsigned char keep =
        static_cast<unsigned char>(0 - static_cast<unsigned>(status == 0 && updated + finished == kSSLSecretKeyLength));
    for (int i = 0; i < kSSLSecretKeyLength; ++i)
        secret[i] = static_cast<unsigned char>((out[i] & keep) | (fallback[i] & ~keep));
    explicit_bzero(out, sizeof out);
    explicit_bzero(fallback, sizeof fallback);
}

void CSSLServerLayer::SendServerVerifyAndFinished(const CByteBlock& challenge, const CByteBlock& sessionId)
{
    WSocket& socket = *GetSocket();
    const unsigned char verify = 5;
    SendOrFail(socket, &verify, 1, kSSLErrorVerify);
    SendBlock(socket, challenge);
    FlushOrFail(socket);
    const unsigned char finished = 6;
    SendOrFail(socket, &finished, 1, kSSLErrorMasterKey);
    SendBlock(socket, sessionId);
    FlushOrFail(socket);
}

void CSSLServerLayer::ReadClientFinished()
{
    WSocket& socket = *GetSocket();
    unsigned char type = 0;
    if (socket.ReadExact(&type, 1) != 1 || type != 3)
        Fail(kSSLErrorVerify);
    unsigned char id[kSSLConnectionIdLength];
    if (socket.ReadExact(id, sizeof id) != kSSLConnectionIdLength ||
        std::memcmp(id, m_connectionId.GetData(), sizeof id) != 0)
        Fail(kSSLErrorFinished);
}

std::unique_ptr<CSSLLayer> CreateSSLServerLayer(WSocket& socket) { return std::make_unique<CSSLServerLayer>(&socket); }

void InstallSSLLayer() { SetSSLLayerFactory(&CreateSSLServerLayer); }
