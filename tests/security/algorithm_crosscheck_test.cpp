// MD5, RC4, DES, base64 and the random generator against independent
// implementations, on random inputs.

#include "peer_helper.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace {

// One line in, one hex line out: "alg key iv data" ('-' for empty).
const char kReference[] = R"(
import sys, hashlib, base64, warnings
warnings.simplefilter("ignore")
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

def advance(state):
    s = bytearray(state)
    for i in range(15, -1, -1):
        before = s[i]
        s[i] = (s[i] + 1) & 255
        if before != 0:
            break
    return bytes(s)

def generator(seeds, counts):
    state, block, left, out = bytes(16), bytes(16), 0, b""
    for seed in seeds:
        total = int.from_bytes(state, "big") + int.from_bytes(hashlib.md5(seed).digest(), "big")
        state = (total % 2**128).to_bytes(16, "big")
    for n in counts:
        while n > left:
            out += block[16 - left:]
            n -= left
            block = hashlib.md5(state).digest()
            state = advance(state)
            left = 16
        out += block[16 - left:16 - left + n]
        left -= n
    return out

def h(x):
    return b"" if x == "-" else bytes.fromhex(x)

for line in open(sys.argv[1]):
    alg, key, iv, data = line.split()
    if alg != "rng":
        key, iv, data = h(key), h(iv), h(data)
    if alg == "md5":
        r = hashlib.md5(data).digest()
    elif alg == "rc4":
        r = Cipher(algorithms.ARC4(key), None).encryptor().update(data)
    elif alg == "desecb":
        r = Cipher(algorithms.TripleDES(key), modes.ECB()).encryptor().update(data)
    elif alg == "desecbback":
        r = Cipher(algorithms.TripleDES(key), modes.ECB()).decryptor().update(data)
    elif alg == "descbc":
        r = Cipher(algorithms.TripleDES(key), modes.CBC(iv)).encryptor().update(data)
    elif alg == "b64":
        r = base64.b64encode(data)
    elif alg == "rng":
        seeds = [bytes.fromhex(s) for s in line.split()[1].split(",")]
        counts = [int(c) for c in line.split()[2].split(",")]
        r = generator(seeds, counts)
    print(r.hex() if r else "-")
)";

} // namespace

TEST(AlgorithmCrossCheck, ThousandRandomInputsEachAgreeWithPython)
{
    if (!HavePeer(kPython))
        GTEST_SKIP() << "/usr/bin/python3 with cryptography and pyasn1 is not installed";
    std::mt19937 random(20261209);
    std::vector<CrossCheckCase> cases;
    for (int i = 0; i < 1000; ++i) {
        std::size_t size = random() % 300;
        Bytes data = RandomBytes(random, size);
        // The key lengths python's RC4 takes.
        static const std::size_t kKeyLengths[] = {5, 7, 8, 10, 16, 20, 24, 32};
        Bytes key = RandomBytes(random, kKeyLengths[random() % 8]);
        Bytes desKey = RandomBytes(random, 8), iv = RandomBytes(random, 8);
        Bytes blocks = data.substr(0, size / 8 * 8);
        cases.push_back({"md5 - - " + HexOrDash(data), Md5(data)});
        cases.push_back({"rc4 " + HexOrDash(key) + " - " + HexOrDash(data), Rc4(key, data)});
        cases.push_back({"desecb " + HexOrDash(desKey) + " - " + HexOrDash(blocks), DesEcb(desKey, blocks, true)});
        cases.push_back({"desecbback " + HexOrDash(desKey) + " - " + HexOrDash(blocks), DesEcb(desKey, blocks, false)});
        cases.push_back({"descbc " + HexOrDash(desKey) + " " + HexOrDash(iv) + " " + HexOrDash(blocks),
                         DesCbcEncrypt(desKey, iv, blocks)});
        cases.push_back({"b64 - - " + HexOrDash(data), Base64Encode(data)});
    }
    // The generator: seeds fed in turn, output asked in uneven pieces.
    for (int i = 0; i < 200; ++i) {
        Bytes a = RandomBytes(random, random() % 40), b = RandomBytes(random, 1 + random() % 40);
        unsigned c1 = random() % 40, c2 = random() % 70, c3 = 1 + random() % 17;
        std::ostringstream line;
        line << "rng " << ToHex(a) << "," << ToHex(b) << " " << c1 << "," << c2 << "," << c3 << " -";
        cases.push_back({line.str(), RandomStream({a, b}, {c1, c2, c3})});
    }
    // Long enough for the state's last byte to pass through 0, where the
    // increment moves on to the byte before it.
    cases.push_back({"rng 616263,00 4100,17,1 -", RandomStream({"abc", Bytes(1, '\0')}, {4100, 17, 1})});
    ExpectPythonAgrees(kReference, cases);
}

TEST(AlgorithmCrossCheck, OpenSSLAndNettleAgreeOnSamples)
{
    if (!HavePeer(kOpenSSL) || !HavePeer(kNettleHash))
        GTEST_SKIP() << "openssl or nettle-hash is not installed";
    PeerFolder folder;
    std::mt19937 random(7);
    std::vector<std::string> files;
    std::vector<Bytes> inputs;
    for (int i = 0; i < 12; ++i) {
        Bytes data = RandomBytes(random, (random() % 40) * 8 + (i == 0 ? 0 : 8));
        inputs.push_back(data);
        files.push_back(folder.Path("in" + std::to_string(i)));
        folder.Write("in" + std::to_string(i), data);
    }
    std::string nettle;
    ASSERT_EQ(RunPeer(kNettleHash, [&] {
                  std::vector<std::string> args{"-a", "md5"};
                  args.insert(args.end(), files.begin(), files.end());
                  return args;
              }(), &nettle), 0);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const Bytes& data = inputs[i];
        std::string digest = ToHex(Md5(data));
        EXPECT_NE(nettle.find(digest.substr(0, 16) + " " + digest.substr(16)), std::string::npos) << i;

        std::string out;
        ASSERT_EQ(RunPeer(kOpenSSL, {"dgst", "-md5", "-binary", files[i]}, &out), 0);
        EXPECT_EQ(out, Md5(data)) << "md5 " << i;
        // openssl's RC4 takes 16-byte keys.
        Bytes key = RandomBytes(random, 16), desKey = RandomBytes(random, 8), iv = RandomBytes(random, 8);
        const std::vector<std::string> legacy{"-provider", "legacy", "-provider", "default", "-in", files[i]};
        auto enc = [&](std::vector<std::string> args) {
            std::string result;
            args.insert(args.begin(), "enc");
            args.insert(args.end(), legacy.begin(), legacy.end());
            EXPECT_EQ(RunPeer(kOpenSSL, args, &result), 0);
            return result;
        };
        EXPECT_EQ(enc({"-rc4", "-K", ToHex(key), "-nosalt"}), Rc4(key, data)) << "rc4 " << i;
        EXPECT_EQ(enc({"-des-ecb", "-K", ToHex(desKey), "-nopad"}), DesEcb(desKey, data, true)) << "des " << i;
        EXPECT_EQ(enc({"-des-cbc", "-K", ToHex(desKey), "-iv", ToHex(iv), "-nopad"}), DesCbcEncrypt(desKey, iv, data))
            << "des-cbc " << i;
        out.clear();
        ASSERT_EQ(RunPeer(kOpenSSL, {"base64", "-A", "-in", files[i]}, &out), 0);
        EXPECT_EQ(out, Base64Encode(data)) << "base64 " << i;
        int status = -1;
        EXPECT_EQ(Base64Decode(out, &status), data);
        EXPECT_EQ(status, 0);
    }
}
