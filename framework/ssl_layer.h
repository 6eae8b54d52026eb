#pragma once
// CSSLLayer: the record layer a WSocket switches in on a secure port. It sits
// between the socket's application buffers and its raw buffers: it reads raw
// bytes through WSocket::ReadRaw, writes records through WSocket::WriteBlock
// and WSocket::FlushOutput, takes plaintext from GetAppOutput() and appends
// decrypted bytes to GetAppInput().
//
// The framework knows only this interface. The security library installs the
// factory at start-up; until it does, WSocket::SetSecure(true) fails with
// kSSLUnavailableError (wsocket.h).

#include <memory>

class CByteBlock;
class WSocket;

class CSSLLayer {
public:
    virtual ~CSSLLayer() = default;

    // Keeps a copy of the server certificate; the previous copy is freed.
    virtual void SetCertificate(const CByteBlock& certificate) = 0;
    // Builds the private-key object; a toolkit failure throws CRSAException.
    // Returns 0 on success.
    virtual int SetPrivateKey(const CByteBlock& key) = 0;
    // Runs the server handshake; a protocol failure throws WSocketException
    // with a null socket and a code from 20000 to 20005.
    virtual void ServerHandshake() = 0;
    // Turns the application output buffer (start to end) into one record,
    // writes it out and empties that buffer. Returns the raw bytes written or -1.
    virtual int WriteRecord() = 0;
    // Reads one record, appends its plaintext to the application input buffer
    // and returns the plaintext bytes; -1 when no whole header arrived. Bad
    // records throw WSocketException with a null socket (20006 to 20009).
    virtual int ReadRecord() = 0;
};

// Creates the layer of one connection for the given socket.
using SSLLayerFactory = std::unique_ptr<CSSLLayer> (*)(WSocket& socket);

// Installed once by the security library; null removes it.
void SetSSLLayerFactory(SSLLayerFactory factory);
SSLLayerFactory GetSSLLayerFactory();
