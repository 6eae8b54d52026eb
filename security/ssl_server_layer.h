#pragma once
// CSSLServerLayer: the server side of the SSL 2.0 handshake over the record
// layer of one connection. It offers one cipher kind (02 00 80) and one
// certificate type (X.509), never asks for a client certificate, and
// resumes sessions through the process-wide session cache.
//
// InstallSSLLayer makes WSocket::SetSecure build one of these for every
// secure connection; engine start calls it.

#include "security/ssl_record_layer.h"
#include "security/ssl_session_cache.h"

#include <memory>

// The clear and secret parts of the export cipher's 16-byte master key.
inline constexpr int kSSLClearKeyLength = 11;
inline constexpr int kSSLSecretKeyLength = 5;
inline constexpr int kSSLMasterKeyLength = kSSLClearKeyLength + kSSLSecretKeyLength;
inline constexpr int kSSLSessionIdLength = 16;
inline constexpr int kSSLConnectionIdLength = 16;
// Room for the master key as it is put together.
inline constexpr int kSSLMasterKeyBuffer = 256;
// SSL 2.0 challenges are 16 to 32 bytes; anything else is not a client of
// this protocol, and a long one would only make us echo the client's bytes.
inline constexpr int kSSLMinChallengeLength = 16;
inline constexpr int kSSLMaxChallengeLength = 32;

class CSSLServerLayer : public CSSLRecordLayer {
public:
    // The cache is a seam for tests; null means the process-wide one.
    explicit CSSLServerLayer(WSocket* socket, CSSLSessionCache* cache = nullptr);
    ~CSSLServerLayer() override;

    void SetCertificate(const CByteBlock& certificate) override;
    int SetPrivateKey(const CByteBlock& key) override;
    void ServerHandshake() override;

    // Whether the last handshake resumed a cached session.
    bool WasResumed() const { return m_resumed; }

private:
    struct ClientHello;
    void ReadClientHello(ClientHello& hello);
    void SendServerHello(const ClientHello& hello, bool hit, CByteBlock& sessionId);
    void ReadClientMasterKey(CSSLSessionEntry& session);
    void DecryptSecret(const CByteBlock& encrypted, unsigned char* secret);
    void SendServerVerifyAndFinished(const CByteBlock& challenge, const CByteBlock& sessionId);
    void ReadClientFinished();
    void Seed();

    CKeyObject m_privateKey;
    CByteBlock m_keyPrint;
    // The modulus in bytes: an encrypted key of any other length is refused.
    int m_modulusBytes = 0;
    CByteBlock m_certificate;
    CSSLSessionCache* m_cache;
    std::unique_ptr<CAlgorithmObject> m_random;
    CByteBlock m_connectionId;
    bool m_resumed = false;
};

std::unique_ptr<CSSLLayer> CreateSSLServerLayer(WSocket& socket);
// Installs CreateSSLServerLayer as the sockets' SSL layer factory.
void InstallSSLLayer();
