// The toolkit's speed beside OpenSSL's in the same run: RSA-1024 private
// operations per second, MD5 and RC4 throughput on 8 KiB buffers, and
// RSA-1024 key generations per second. OpenSSL's figures come from `openssl
// speed` and `openssl genrsa` run as child processes; nothing of OpenSSL is
// linked. Usage: toolkit [seconds per measure, default 2]

#include "security/layer_chooser.h"
#include "security/rsa_key_generation.h"
#include "security/toolkit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned int kBuffer = 8192;

std::string Run(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        std::size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
            out.append(chunk, got);
        pclose(pipe);
    }
    return out;
}

// The last figure on the line that starts with name (openssl speed's table).
double SpeedFigure(const std::string& output, const std::string& name, int column)
{
    std::istringstream lines(output);
    std::string line;
    double figure = 0;
    while (std::getline(lines, line)) {
        if (line.rfind(name, 0) != 0)
            continue;
        std::istringstream words(line.substr(name.size()));
        std::vector<std::string> fields;
        for (std::string w; words >> w;)
            fields.push_back(w);
        if (column < 0)
            column += static_cast<int>(fields.size());
        if (column >= 0 && column < static_cast<int>(fields.size()))
            figure = std::atof(fields[static_cast<std::size_t>(column)].c_str());
    }
    return figure;
}

template <class Step>
double PerSecond(double seconds, Step step)
{
    long count = 0;
    auto start = Clock::now();
    auto until = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        step();
        ++count;
    }
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const std::string secs = std::to_string(static_cast<int>(seconds < 1 ? 1 : seconds));
    std::vector<unsigned char> buffer(kBuffer, 0x5a), out(kBuffer);

    // RSA-1024 with a key openssl makes for this run.
    char folder[] = "/tmp/velmora-bench-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string pem = std::string(folder) + "/key.pem", der = std::string(folder) + "/key.der";
    Run("openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + pem +
        " && openssl pkcs8 -topk8 -nocrypt -in " + pem + " -outform DER -out " + der);
    std::ifstream in(der, std::ios::binary);
    std::string keyBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Run("rm -rf " + std::string(folder));
    ToolkitKeyObject key = nullptr;
    CreateKeyObject(&key);
    ToolkitItem item = {reinterpret_cast<unsigned char*>(keyBytes.data()), static_cast<unsigned int>(keyBytes.size())};
    if (keyBytes.empty() || SetKeyInfo(key, PrivateKeyEncodedInfoType, &item) != 0) {
        std::fprintf(stderr, "could not make an RSA key with openssl\n");
        return 1;
    }
    ToolkitAlgorithmObject rsa = nullptr;
    CreateAlgorithmObject(&rsa);
    SetAlgorithmInfo(rsa, RSAPrivateDecryptInfoType, nullptr);
    double rsaOurs = PerSecond(seconds, [&] {
        unsigned int a = 0, b = 0;
        EncryptInit(rsa, key, DefaultAlgorithmChooser, nullptr);
        EncryptUpdate(rsa, out.data(), &a, 128, buffer.data(), 36, nullptr, nullptr);
        EncryptFinal(rsa, out.data() + a, &b, 128, nullptr, nullptr);
    });

    ToolkitAlgorithmObject md5 = nullptr;
    CreateAlgorithmObject(&md5);
    SetAlgorithmInfo(md5, MD5InfoType, nullptr);
    DigestInit(md5, nullptr, DefaultAlgorithmChooser, nullptr);
    double md5Ours = PerSecond(seconds, [&] { DigestUpdate(md5, buffer.data(), kBuffer, nullptr); }) * kBuffer;

    ToolkitKeyObject rc4Key = nullptr;
    CreateKeyObject(&rc4Key);
    ToolkitItem rc4Bytes = {buffer.data(), 16};
    SetKeyInfo(rc4Key, RawKeyInfoType, &rc4Bytes);
    ToolkitAlgorithmObject rc4 = nullptr;
    CreateAlgorithmObject(&rc4);
    SetAlgorithmInfo(rc4, RC4InfoType, nullptr);
    EncryptInit(rc4, rc4Key, DefaultAlgorithmChooser, nullptr);
    double rc4Ours = PerSecond(seconds, [&] {
        unsigned int n = 0;
        EncryptUpdate(rc4, out.data(), &n, kBuffer, buffer.data(), kBuffer, nullptr, nullptr);
    }) * kBuffer;

    // openssl speed: rsa rows give sign/s in the third figure; digest and
    // cipher rows give thousands of bytes per second.
    std::string rsaSpeed = Run("openssl speed -seconds " + secs + " rsa1024 2>/dev/null");
    std::string md5Speed = Run("openssl speed -seconds " + secs + " -bytes 8192 md5 2>/dev/null");
    std::string rc4Speed =
        Run("openssl speed -seconds " + secs + " -bytes 8192 -provider legacy -provider default rc4 2>/dev/null");
    double rsaTheirs = SpeedFigure(rsaSpeed, "rsa 1024 bits", 2);
    double md5Theirs = SpeedFigure(md5Speed, "md5", -1) * 1000;
    double rc4Theirs = SpeedFigure(rc4Speed, "rc4", -1) * 1000;

    // Key generation: ours with e = 65537 and e = 3 from a generator seeded
    // once; openssl genrsa as one process per key, whose start-up cost (an
    // `openssl version` run) is also shown taken out.
    ToolkitAlgorithmObject random = nullptr;
    CreateAlgorithmObject(&random);
    SetAlgorithmInfo(random, RandomInfoType, nullptr);
    RandomInit(random, LayerAlgorithmChooser, nullptr);
    const auto now = Clock::now().time_since_epoch().count();
    RandomUpdate(random, reinterpret_cast<const unsigned char*>(&now), sizeof now, nullptr);
    auto generations = [&](unsigned char* exponent, unsigned int length) {
        ToolkitAlgorithmObject generator = nullptr;
        CreateAlgorithmObject(&generator);
        ToolkitRSAKeyGenerationParameters parameters = {1024, {exponent, length}};
        SetAlgorithmInfo(generator, RSAKeyGenerationInfoType, &parameters);
        GenerateInit(generator, LayerAlgorithmChooser, nullptr);
        double rate = PerSecond(3 * seconds, [&] {
            ToolkitKeyObject publicKey = nullptr, privateKey = nullptr;
            CreateKeyObject(&publicKey);
            CreateKeyObject(&privateKey);
            if (GenerateKeyPair(generator, publicKey, privateKey, random, nullptr))
                std::fprintf(stderr, "key generation failed\n");
            DestroyKeyObject(&publicKey);
            DestroyKeyObject(&privateKey);
        });
        DestroyAlgorithmObject(&generator);
        return rate;
    };
    unsigned char f4[] = {1, 0, 1}, three[] = {3};
    double generateOurs = generations(f4, 3), generateOursThree = generations(three, 1);
    double generateTheirs = PerSecond(3 * seconds, [] { Run("openssl genrsa 1024 2>/dev/null"); });
    double generateTheirsThree = PerSecond(3 * seconds, [] { Run("openssl genrsa -3 1024 2>/dev/null"); });
    double startUp = 1 / PerSecond(seconds, [] { Run("openssl version"); });
    auto withoutStart = [&](double rate) { return 1 / (1 / rate - startUp > 1e-6 ? 1 / rate - startUp : 1e-6); };
    DestroyAlgorithmObject(&random);

    std::printf("%-28s %14s %14s\n", "measure", "ours", "openssl");
    std::printf("%-28s %14.0f %14.0f\n", "RSA-1024 private ops/s", rsaOurs, rsaTheirs);
    std::printf("%-28s %14.1f %14.1f\n", "MD5 MB/s (8 KiB updates)", md5Ours / 1e6, md5Theirs / 1e6);
    std::printf("%-28s %14.1f %14.1f\n", "RC4 MB/s (8 KiB updates)", rc4Ours / 1e6, rc4Theirs / 1e6);
    std::printf("%-28s %14.2f %14.2f\n", "RSA-1024 keygen/s e=65537", generateOurs, generateTheirs);
    std::printf("%-28s %14s %14.2f\n", "  openssl start-up taken out", "", withoutStart(generateTheirs));
    std::printf("%-28s %14.2f %14.2f\n", "RSA-1024 keygen/s e=3", generateOursThree, generateTheirsThree);
    std::printf("%-28s %14s %14.2f\n", "  openssl start-up taken out", "", withoutStart(generateTheirsThree));

    DestroyAlgorithmObject(&rsa);
    DestroyAlgorithmObject(&md5);
    DestroyAlgorithmObject(&rc4);
    DestroyKeyObject(&key);
    DestroyKeyObject(&rc4Key);
    return 0;
}
