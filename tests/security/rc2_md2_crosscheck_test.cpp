// RC2-CBC and MD2 against pycryptodome and nettle on random inputs, with
// effective key bits that differ from the key's own length.

#include "peer_helper.h"

#include "security/cbc_cipher.h"
#include "security/layer_chooser.h"
#include "security/md2.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace {

const char kReference[] = R"(
import sys
from Cryptodome.Cipher import ARC2
from Cryptodome.Hash import MD2

for line in open(sys.argv[1]):
    alg, bits, key, iv, data = line.split()
    h = lambda x: b"" if x == "-" else bytes.fromhex(x)
    key, iv, data = h(key), h(iv), h(data)
    if alg == "md2":
        r = MD2.new(data).digest()
    else:
        c = ARC2.new(key, ARC2.MODE_CBC, iv=iv, effective_keylen=int(bits))
        r = c.encrypt(data) if alg == "rc2" else c.decrypt(data)
    print(r.hex() if r else "-")
)";

bool HavePycryptodome()
{
    return HavePeer(kPython) && RunPeer(kPython, {"-c", "import Cryptodome.Cipher.ARC2, Cryptodome.Hash.MD2"}) == 0;
}

// RC2-CBC without padding over whole blocks, in two updates.
Bytes Rc2Cbc(const Bytes& key, unsigned int bits, const Bytes& iv, const Bytes& data, bool encrypt)
{
    ToolkitAlgorithmObject rc2 = nullptr;
    ToolkitKeyObject k = nullptr;
    CreateAlgorithmObject(&rc2);
    CreateKeyObject(&k);
    ToolkitItem item = {const_cast<unsigned char*>(U(key)), N(key)};
    EXPECT_EQ(SetKeyInfo(k, RawKeyInfoType, &item), 0);
    ToolkitRC2CBCParameters p = {bits, {const_cast<unsigned char*>(U(iv)), 8}};
    EXPECT_EQ(SetAlgorithmInfo(rc2, RC2CBCInfoType, &p), 0);
    EXPECT_EQ(encrypt ? EncryptInit(rc2, k, LayerAlgorithmChooser, nullptr)
                      : DecryptInit(rc2, k, LayerAlgorithmChooser, nullptr),
              0);
    Bytes out(data.size() + 16, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    unsigned int a = 0, b = 0, c = 0, half = N(data) / 2;
    auto update = encrypt ? EncryptUpdate : DecryptUpdate;
    auto final = encrypt ? EncryptFinal : DecryptFinal;
    EXPECT_EQ(update(rc2, o, &a, N(out), U(data), half, nullptr, nullptr), 0);
    EXPECT_EQ(update(rc2, o + a, &b, N(out) - a, U(data) + half, N(data) - half, nullptr, nullptr), 0);
    EXPECT_EQ(final(rc2, o + a + b, &c, N(out) - a - b, nullptr, nullptr), 0);
    out.resize(a + b + c);
    DestroyAlgorithmObject(&rc2);
    DestroyKeyObject(&k);
    return out;
}

Bytes Md2(const Bytes& data)
{
    MD2Context c;
    MD2Start(&c);
    MD2Add(&c, U(data), N(data));
    Bytes digest(16, '\0');
    MD2Finish(&c, reinterpret_cast<unsigned char*>(digest.data()));
    return digest;
}

} // namespace

TEST(Rc2Md2CrossCheck, ThousandRandomInputsAgreeWithPycryptodome)
{
    if (!HavePycryptodome())
        GTEST_SKIP() << "/usr/bin/python3 with pycryptodome (python3-pycryptodome) is not installed";
    std::mt19937 random(1268);
    std::vector<CrossCheckCase> cases;
    int differing = 0;
    for (int i = 0; i < 1000; ++i) {
        // pycryptodome takes keys of 5 to 128 octets.
        Bytes key = RandomBytes(random, 5 + random() % 124), iv = RandomBytes(random, 8);
        // pycryptodome takes 40 to 1024 effective bits.
        unsigned int bits = 40 + random() % 985;
        differing += bits != 8 * key.size();
        Bytes data = RandomBytes(random, 8 * (random() % 40));
        Bytes message = RandomBytes(random, random() % 300);
        std::string common =
            " " + std::to_string(bits) + " " + HexOrDash(key) + " " + HexOrDash(iv) + " " + HexOrDash(data);
        cases.push_back({"rc2" + common, Rc2Cbc(key, bits, iv, data, true)});
        cases.push_back({"rc2back" + common, Rc2Cbc(key, bits, iv, data, false)});
        cases.push_back({"md2 0 - - " + HexOrDash(message), Md2(message)});
    }
    EXPECT_GT(differing, 990);
    ExpectPythonAgrees(kReference, cases);
}

TEST(Rc2Md2CrossCheck, Md2AgreesWithNettle)
{
    if (!HavePeer(kNettleHash))
        GTEST_SKIP() << "nettle-hash is not installed";
    PeerFolder folder;
    std::mt19937 random(2);
    std::vector<std::string> files;
    std::vector<Bytes> inputs;
    for (int i = 0; i < 20; ++i) {
        inputs.push_back(RandomBytes(random, i == 0 ? 0 : random() % 200));
        files.push_back(folder.Path("in" + std::to_string(i)));
        folder.Write("in" + std::to_string(i), inputs.back());
    }
    std::vector<std::string> args{"-a", "md2"};
    args.insert(args.end(), files.begin(), files.end());
    std::string out;
    ASSERT_EQ(RunPeer(kNettleHash, args, &out), 0);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        std::string digest = ToHex(Md2(inputs[i]));
        EXPECT_NE(out.find(digest.substr(0, 16) + " " + digest.substr(16)), std::string::npos) << i;
    }
}
