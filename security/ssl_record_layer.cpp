#include "security/ssl_record_layer.h"

#include "framework/wsocket.h"

#include <cstring>

namespace {

constexpr unsigned char kTLSHandshakeRecord = 22;

[[noreturn]] void Fail(int code) { throw WSocketException(nullptr, code); }

unsigned char* Bytes(CByteBlock& block) { return reinterpret_cast<unsigned char*>(block.GetData()); }
const unsigned char* Bytes(const CByteBlock& block) { return reinterpret_cast<const unsigned char*>(block.GetData()); }
unsigned int Length(const CByteBlock& block) { return static_cast<unsigned int>(block.GetLength()); }

// Compares without an early exit, so the time taken says nothing of where
// a forged MAC first differs.
bool SameBytes(const unsigned char* a, const unsigned char* b, int n)
{
    unsigned char difference = 0;
    for (int i = 0; i < n; ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace

CSSLRecordLayer::CSSLRecordLayer(WSocket* socket) : m_socket(socket) {}

CSSLRecordLayer::~CSSLRecordLayer() = default;

void CSSLRecordLayer::ComputeMAC(const CByteBlock& secret, const unsigned char* data, int n, std::uint32_t sequence,
                                 unsigned char* mac)
{
    const unsigned char number[4] = {static_cast<unsigned char>(sequence >> 24),
                                     static_cast<unsigned char>(sequence >> 16),
                                     static_cast<unsigned char>(sequence >> 8), static_cast<unsigned char>(sequence)};
    ToolkitAlgorithmObject digest = m_digest.Handle();
    unsigned int done = 0;
    m_digest.Check(DigestInit(digest, nullptr, DefaultAlgorithmChooser, nullptr));
    m_digest.Check(DigestUpdate(digest, Bytes(secret), Length(secret), nullptr));
    m_digest.Check(DigestUpdate(digest, data, static_cast<unsigned int>(n), nullptr));
    m_digest.Check(DigestUpdate(digest, number, sizeof number, nullptr));
    m_digest.Check(DigestFinal(digest, mac, &done, kSSLMACSize, nullptr));
}

int CSSLRecordLayer::WriteRecord()
{
    CAsyncIO& out = m_socket->GetAppOutput();
    const int length = out.GetHeld();
    const unsigned char* data = reinterpret_cast<const unsigned char*>(out.GetData() + out.GetStart());
    const int padding = static_cast<std::uint8_t>(((m_macSize + m_paddingMask + length) & ~m_paddingMask) -
                                                  m_macSize - length);
    const int recordLength = m_macSize + length + padding;
    // The plaintext buffer is smaller than this; a larger record cannot be
    // announced by the header the writer uses.
    if (recordLength > kSSLMaxWriteBody) {
        out.Rewind();
        return m_socket->Fail(platform::kWsaeMsgSize);
    }

    unsigned char record[3 + kSSLMaxWriteBody];
    int headerLength = 2;
    if (padding == 0) {
        record[0] = static_cast<unsigned char>(0x80 | recordLength >> 8);
        record[1] = static_cast<unsigned char>(recordLength & 0xFF);
    } else {
        record[0] = static_cast<unsigned char>(recordLength >> 8 & 0x3F);
        record[1] = static_cast<unsigned char>(recordLength & 0xFF);
        record[2] = static_cast<unsigned char>(padding);
        headerLength = 3;
    }
    unsigned char* body = record + headerLength;
    std::memcpy(body + m_macSize, data, static_cast<std::size_t>(length));
    std::memset(body + m_macSize + length, 0, static_cast<std::size_t>(padding));
    if (m_macSize != 0) {
        ComputeMAC(m_writeSecret, body + m_macSize, length + padding, m_writeSequence, body);
        unsigned int done = 0;
        m_writeCipher.Check(EncryptUpdate(m_writeCipher.Handle(), body, &done, kSSLMaxWriteBody, body,
                                          static_cast<unsigned int>(recordLength), nullptr, nullptr));
    }
    out.Rewind();
    ++m_writeSequence;
    if (m_socket->WriteBlock(record, headerLength + recordLength) < 0)
        return -1;
    return m_socket->FlushOutput();
}

int CSSLRecordLayer::ReadRecord()
{
    for (;;) {
        unsigned char header[3];
        if (m_socket->ReadRaw(header, 2) != 2)
            return -1;
        // A TLS or SSL 3 client opens with a handshake record (22, version
        // 3.x), which read as SSL 2.0 would be a padded record refused as a
        // bad MAC: it is said to be no SSL 2.0 hello instead.
        if (m_readSequence == 0 && m_macSize == 0 && header[0] == kTLSHandshakeRecord && header[1] == 3)
            Fail(kSSLErrorClientHello);
        int length = 0;
        int padding = 0;
        if (header[0] & 0x80) {
            length = (header[0] & 0x7F) << 8 | header[1];
        } else {
            if (header[0] & 0x40)
                Fail(kSSLErrorEscape);
            length = (header[0] & 0x3F) << 8 | header[1];
            if (m_socket->ReadRaw(header + 2, 1) != 1)
                Fail(kSSLErrorPadding);
            padding = header[2];
        }
        // Every length is checked before it is used: the padding must be
        // below the block size, and the MAC and padding must fit the record.
        if (padding >= m_blockSize)
            Fail(kSSLErrorMAC);
        if (length < m_macSize + padding)
            Fail(kSSLErrorShortRecord);

        unsigned char body[kSSLMaxReadBody];
        if (m_socket->ReadRaw(body, length) != length)
            Fail(kSSLErrorShortRecord);
        if (m_macSize != 0) {
            unsigned int done = 0;
            m_readCipher.Check(DecryptUpdate(m_readCipher.Handle(), body, &done, kSSLMaxReadBody, body,
                                             static_cast<unsigned int>(length), nullptr, nullptr));
            unsigned char mac[kSSLMACSize];
            ComputeMAC(m_readSecret, body + m_macSize, length - m_macSize, m_readSequence, mac);
            if (!SameBytes(mac, body, kSSLMACSize))
                Fail(kSSLErrorMAC);
        }
        const int dataLength = length - padding - m_macSize;
        CAsyncIO& in = m_socket->GetAppInput();
        if (in.GetFree() < dataLength)
            in.Compact();
        if (!in.Append(body + m_macSize, dataLength))
            Fail(kSSLErrorShortRecord);
        ++m_readSequence;
        // An empty record carries nothing for the reader, who would take a
        // count of 0 for the end of the connection: read the next one.
        if (dataLength > 0)
            return dataLength;
    }
}

void CSSLRecordLayer::DeriveKeys(const unsigned char* cipherKind, const CByteBlock& masterKey, const CByteBlock&,
                                 const CByteBlock& challenge, const CByteBlock& connectionId)
{
    if (std::memcmp(cipherKind, kSSLCipherRC4Export, sizeof kSSLCipherRC4Export) != 0)
        Fail(kSSLErrorCipherKind);
    ToolkitAlgorithmObject digest = m_digest.Handle();
    m_digest.SetInfo(MD5InfoType);
    m_digest.Check(DigestInit(digest, nullptr, DefaultAlgorithmChooser, nullptr));
    CByteBlock* secrets[2] = {&m_writeSecret, &m_readSecret};
    CKeyObject* keys[2] = {&m_writeKey, &m_readKey};
    for (int i = 0; i < 2; ++i) {
        const unsigned char which = static_cast<unsigned char>('0' + i);
        unsigned int done = 0;
        secrets[i]->Allocate(kSSLSecretSize);
        m_digest.Check(DigestUpdate(digest, Bytes(masterKey), Length(masterKey), nullptr));
        m_digest.Check(DigestUpdate(digest, &which, 1, nullptr));
        m_digest.Check(DigestUpdate(digest, Bytes(challenge), Length(challenge), nullptr));
        m_digest.Check(DigestUpdate(digest, Bytes(connectionId), Length(connectionId), nullptr));
        m_digest.Check(DigestFinal(digest, Bytes(*secrets[i]), &done, kSSLSecretSize, nullptr));
        ToolkitItem item = {Bytes(*secrets[i]), Length(*secrets[i])};
        keys[i]->SetInfo(RawKeyInfoType, &item);
    }
    m_blockSize = 1;
    m_writeCipher.SetInfo(RC4InfoType);
    m_writeCipher.Check(EncryptInit(m_writeCipher.Handle(), m_writeKey.Handle(), DefaultAlgorithmChooser, nullptr));
    m_readCipher.SetInfo(RC4InfoType);
    m_readCipher.Check(DecryptInit(m_readCipher.Handle(), m_readKey.Handle(), DefaultAlgorithmChooser, nullptr));
    m_paddingMask = static_cast<std::uint8_t>(m_blockSize - 1);
    m_macSize = kSSLMACSize;
}
