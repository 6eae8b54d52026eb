// SSL 2.0 server handshakes per second on one worker: one server thread
// accepts loopback connections and runs the server layer's handshake on
// each; the benchmark thread is the client (the toolkit's MD5 and RC4, and
// the RSA public operation on the bignum), full or resuming one session.
// The key and certificate are made by openssl at start (RSA-1024).

#include "framework/wsocket.h"
#include "security/algorithm_object.h"
#include "security/big_number.h"
#include "security/byte_block.h"
#include "security/key_text.h"
#include "security/md5.h"
#include "security/ssl_server_layer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <memory>
#include <thread>

namespace {

using Bytes = std::string;
using namespace std::string_literals;

Bytes ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Material {
    CByteBlock key;
    CByteBlock certificate;
    Bytes modulus;
    Bytes exponent;
};

const Material& GetMaterial()
{
    static Material m = [] {
        Material out;
        char folder[] = "/tmp/velmora-ssl-bench-XXXXXX";
        if (!mkdtemp(folder))
            throw std::runtime_error("mkdtemp");
        std::string dir = folder;
        std::string command = "openssl req -x509 -newkey rsa:1024 -nodes -keyout " + dir + "/key.pem -out " + dir +
                              "/cert.pem -days 1 -subj /CN=bench >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("openssl could not make a key");
        DecodeKeyText(ReadText(dir + "/key.pem").c_str(), &out.key);
        DecodeKeyText(ReadText(dir + "/cert.pem").c_str(), &out.certificate);
        std::system(("rm -rf " + dir).c_str());
        CKeyObject publicKey;
        BindCertificateKey(out.certificate, publicKey);
        void* value = nullptr;
        CheckToolkitResult(GetKeyInfo(&value, publicKey.Handle(), RSAPublicKeyInfoType));
        auto* rsa = static_cast<ToolkitRSAPublicKey*>(value);
        out.modulus.assign(reinterpret_cast<char*>(rsa->modulus.data), rsa->modulus.length);
        out.exponent.assign(reinterpret_cast<char*>(rsa->exponent.data), rsa->exponent.length);
        while (!out.modulus.empty() && out.modulus[0] == 0)
            out.modulus.erase(0, 1);
        return out;
    }();
    return m;
}

// PKCS #1 block type 2 around secret, raised to the public exponent.
Bytes EncryptSecret(const Material& m, const Bytes& secret)
{
    const unsigned int k = static_cast<unsigned int>(m.modulus.size());
    Bytes block(k, '\0');
    block[1] = 2;
    for (unsigned int i = 2; i < k - secret.size() - 1; ++i)
        do
            getrandom(&block[i], 1, 0);
        while (block[i] == 0);
    std::memcpy(&block[k - secret.size()], secret.data(), secret.size());
    const int n = static_cast<int>(k / 2 + 1);
    BigDigit base[kBigMaxDigits], exponent[kBigMaxDigits], modulus[kBigMaxDigits], result[kBigMaxDigits];
    auto u = [](const Bytes& b) { return reinterpret_cast<const unsigned char*>(b.data()); };
    BigFromOctets(base, n, u(block), k);
    BigFromOctets(exponent, n, u(m.exponent), static_cast<unsigned int>(m.exponent.size()));
    BigFromOctets(modulus, n, u(m.modulus), k);
    BigModulus mod;
    BigModulusSet(&mod, modulus, n);
    BigModExp(result, base, exponent, n, &mod);
    Bytes out(k, '\0');
    BigToOctets(reinterpret_cast<unsigned char*>(out.data()), k, result, n);
    return out;
}

Bytes Md5(const Bytes& data)
{
    MD5Context context;
    unsigned char digest[16];
    MD5Start(&context);
    MD5Add(&context, reinterpret_cast<const unsigned char*>(data.data()), static_cast<unsigned int>(data.size()));
    MD5Finish(&context, digest);
    return Bytes(reinterpret_cast<char*>(digest), 16);
}

class Rc4 {
public:
    explicit Rc4(const Bytes& key, bool encrypt)
    {
        ToolkitItem item = {reinterpret_cast<unsigned char*>(const_cast<char*>(key.data())), 16};
        m_key.SetInfo(RawKeyInfoType, &item);
        m_cipher.SetInfo(RC4InfoType);
        m_cipher.Check(encrypt ? EncryptInit(m_cipher.Handle(), m_key.Handle(), DefaultAlgorithmChooser, nullptr)
                               : DecryptInit(m_cipher.Handle(), m_key.Handle(), DefaultAlgorithmChooser, nullptr));
    }
    void Apply(Bytes& data)
    {
        unsigned int done = 0;
        auto* p = reinterpret_cast<unsigned char*>(data.data());
        m_cipher.Check(EncryptUpdate(m_cipher.Handle(), p, &done, static_cast<unsigned int>(data.size()), p,
                                     static_cast<unsigned int>(data.size()), nullptr, nullptr));
    }

private:
    CKeyObject m_key;
    CAlgorithmObject m_cipher;
};

class Client {
public:
    explicit Client(std::uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("connect");
    }
    ~Client() { ::close(m_fd); }

    // A full handshake when session is empty, else a resumption of it.
    void Handshake(Bytes& session, Bytes& master)
    {
        const Bytes challenge(16, 'c');
        Bytes hello = "\x01\x00\x02"s;
        hello += Number(3) + Number(static_cast<int>(session.size())) + Number(16) + "\x02\x00\x80"s + session + challenge;
        Send(hello);
        Bytes head = Receive(11);
        const bool hit = head[1] == 1;
        const int certLength = static_cast<unsigned char>(head[5]) << 8 | static_cast<unsigned char>(head[6]);
        const int specsLength = static_cast<unsigned char>(head[7]) << 8 | static_cast<unsigned char>(head[8]);
        Receive(certLength + specsLength);
        const Bytes connectionId = Receive(16);
        if (!hit) {
            Bytes fresh(16, '\0');
            getrandom(fresh.data(), 16, 0);
            master = fresh;
            const Bytes encrypted = EncryptSecret(GetMaterial(), master.substr(11));
            Send("\x02\x02\x00\x80"s + Number(11) + Number(static_cast<int>(encrypted.size())) + Number(0) +
                 master.substr(0, 11) + encrypted);
        }
        m_readSecret = Md5(master + "0" + challenge + connectionId);
        m_writeSecret = Md5(master + "1" + challenge + connectionId);
        m_read = std::make_unique<Rc4>(m_readSecret, false);
        m_write = std::make_unique<Rc4>(m_writeSecret, true);
        m_keyed = true;
        Send("\x03" + connectionId);
        if (Receive(17) != "\x05" + challenge)
            throw std::runtime_error("bad SERVER-VERIFY");
        Bytes finished = Receive(17);
        session = finished.substr(1);
    }

private:
    static Bytes Number(int n) { return Bytes{static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)}; }

    void Send(const Bytes& data)
    {
        Bytes body = data;
        if (m_keyed) {
            const Bytes seq = {static_cast<char>(m_writeSequence >> 24), static_cast<char>(m_writeSequence >> 16),
                               static_cast<char>(m_writeSequence >> 8), static_cast<char>(m_writeSequence)};
            body = Md5(m_writeSecret + data + seq) + data;
            m_write->Apply(body);
        }
        ++m_writeSequence;
        Bytes record = {static_cast<char>(0x80 | body.size() >> 8), static_cast<char>(body.size() & 0xFF)};
        record += body;
        if (::send(m_fd, record.data(), record.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(record.size()))
            throw std::runtime_error("send");
    }
    Bytes Raw(std::size_t n)
    {
        Bytes out(n, '\0');
        for (std::size_t got = 0; got < n;) {
            ssize_t r = ::recv(m_fd, out.data() + got, n - got, 0);
            if (r <= 0)
                throw std::runtime_error("the server closed");
            got += static_cast<std::size_t>(r);
        }
        return out;
    }
    // n bytes of plaintext, across as many records as they take.
    Bytes Receive(int n)
    {
        while (static_cast<int>(m_pending.size()) < n) {
            Bytes head = Raw(2);
            Bytes body = Raw(static_cast<std::size_t>((head[0] & 0x7F) << 8 | static_cast<unsigned char>(head[1])));
            if (m_keyed) {
                m_read->Apply(body);
                body = body.substr(16);
            }
            m_pending += body;
        }
        Bytes out = m_pending.substr(0, static_cast<std::size_t>(n));
        m_pending.erase(0, static_cast<std::size_t>(n));
        return out;
    }

    int m_fd;
    bool m_keyed = false;
    std::uint32_t m_writeSequence = 0;
    Bytes m_readSecret, m_writeSecret, m_pending;
    std::unique_ptr<Rc4> m_read, m_write;
};

// The one worker: accepts and runs the server handshake, one connection at
// a time, as a server thread does.
class Server {
public:
    Server()
    {
        InstallSSLLayer();
        m_listener.Create();
        m_listener.Bind(0, htonl(INADDR_LOOPBACK));
        m_listener.Listen(64);
        std::uint32_t address = 0;
        m_listener.GetLocalAddress(&address, &m_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~Server()
    {
        m_stop = true;
        m_listener.Shutdown();
        m_thread.join();
    }
    std::uint16_t Port() const { return m_port; }

private:
    void Run()
    {
        const Material& m = GetMaterial();
        WSocket socket;
        while (!m_stop) {
            int handle = m_listener.Accept();
            if (handle < 0)
                break;
            socket.Attach(handle);
            socket.SetTimeout(5000);
            try {
                socket.SetSecure(true);
                socket.SetCertificate(m.certificate);
                socket.SetPrivateKey(m.key);
                socket.StartSecure();
            } catch (const std::exception&) {
            }
            socket.Close();
            socket.ResetBuffers();
        }
    }

    WSocketBase m_listener;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

void BM_FullHandshake(benchmark::State& state)
{
    GetMaterial();
    Server server;
    for (auto _ : state) {
        Client client(server.Port());
        Bytes session, master;
        client.Handshake(session, master);
    }
    state.counters["handshakes/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FullHandshake)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ResumedHandshake(benchmark::State& state)
{
    GetMaterial();
    Server server;
    Bytes session, master;
    {
        Client first(server.Port());
        first.Handshake(session, master);
    }
    for (auto _ : state) {
        Client client(server.Port());
        Bytes id = session;
        client.Handshake(id, master);
        if (id != session)
            state.SkipWithError("the session was not resumed");
    }
    state.counters["handshakes/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ResumedHandshake)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
