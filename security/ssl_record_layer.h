#pragma once
// CSSLRecordLayer: the SSL 2.0 record layer under one secure WSocket. Each
// flush of the socket becomes one record; each refill of its input reads one
// record. Records travel in the clear until DeriveKeys; from then on every
// record carries a 16-byte MD5 MAC and is RC4-encrypted. Sequence numbers
// count every record of a direction, the clear handshake records included.
//
// Record on the wire: a 2-byte header (0x80 | length >> 8, length & 0xFF;
// 15 bits, no padding) or a 3-byte one (length >> 8 & 0x3F, length & 0xFF,
// padding; 14 bits). A 3-byte header with bit 0x40 set (an escape record)
// is refused. Body: MAC, data, padding.

#include "framework/ssl_layer.h"
#include "security/algorithm_object.h"
#include "security/byte_block.h"

#include <cstdint>

// Protocol failures, thrown as WSocketException with a null socket.
inline constexpr int kSSLErrorClientHello = 20000;
inline constexpr int kSSLErrorCipherSpecs = 20001;
inline constexpr int kSSLErrorSessionId = 20002;
inline constexpr int kSSLErrorMasterKey = 20003;
inline constexpr int kSSLErrorVerify = 20004;
inline constexpr int kSSLErrorFinished = 20005;
inline constexpr int kSSLErrorEscape = 20006;
inline constexpr int kSSLErrorPadding = 20007;
inline constexpr int kSSLErrorShortRecord = 20008;
inline constexpr int kSSLErrorMAC = 20009;
inline constexpr int kSSLErrorCipherKind = 20010;

// The one cipher kind: RC4 with a 128-bit key, 40 of its bits secret; MD5 MAC.
inline constexpr unsigned char kSSLCipherRC4Export[3] = {0x02, 0x00, 0x80};
inline constexpr int kSSLMACSize = 16;
inline constexpr int kSSLSecretSize = 16;
// Body limits: what a 2-byte header can announce, and what the writer builds
// (the 3-byte header's 14 bits).
inline constexpr int kSSLMaxReadBody = 0x7FFF;
inline constexpr int kSSLMaxWriteBody = 0x3FFF;

class CSSLRecordLayer : public CSSLLayer {
public:
    explicit CSSLRecordLayer(WSocket* socket);
    ~CSSLRecordLayer() override;

    int WriteRecord() override;
    int ReadRecord() override;

    // Derives both directions' key material from the master key: the server
    // writes with MD5(master, "0", challenge, connection id) and reads with
    // MD5(master, "1", ...); each is the RC4 key and the MAC secret of its
    // direction. A kind other than 02 00 80 throws 20010.
    void DeriveKeys(const unsigned char* cipherKind, const CByteBlock& masterKey, const CByteBlock& keyArg,
                    const CByteBlock& challenge, const CByteBlock& connectionId);

    std::uint32_t GetWriteSequence() const { return m_writeSequence; }
    std::uint32_t GetReadSequence() const { return m_readSequence; }
    int GetMACSize() const { return m_macSize; }

protected:
    WSocket* GetSocket() const { return m_socket; }
    CAlgorithmObject& GetDigest() { return m_digest; }

private:
    void ComputeMAC(const CByteBlock& secret, const unsigned char* data, int n, std::uint32_t sequence,
                    unsigned char* mac);

    CKeyObject m_writeKey;
    CByteBlock m_writeSecret;
    CKeyObject m_readKey;
    CByteBlock m_readSecret;
    CAlgorithmObject m_writeCipher;
    CAlgorithmObject m_readCipher;
    CAlgorithmObject m_digest;
    WSocket* m_socket;
    std::uint32_t m_writeSequence = 0;
    std::uint32_t m_readSequence = 0;
    std::uint16_t m_blockSize = 1;
    std::uint8_t m_paddingMask = 0;
    std::uint16_t m_macSize = 0;
};
