#include "peer_helper.h"

#include "config/child_process_helper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

PeerFolder::PeerFolder()
{
    char name[] = "/tmp/velmora-toolkit-XXXXXX";
    if (char* made = mkdtemp(name))
        m_path = made;
}

PeerFolder::~PeerFolder()
{
    if (!m_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

void PeerFolder::Write(const std::string& name, const Bytes& bytes) const
{
    std::ofstream(Path(name), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Bytes PeerFolder::Read(const std::string& name) const
{
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool HavePeer(const char* program)
{
    if (access(program, X_OK) != 0)
        return false;
    if (std::string(program) == kPython)
        return RunPeer(kPython, {"-c", "import cryptography, pyasn1, hashlib"}) == 0;
    return true;
}

int RunPeer(const char* program, const std::vector<std::string>& args, std::string* out)
{
    std::string ignored;
    return RunProgram(program, args, out ? *out : ignored, 30000);
}

Bytes RandomBytes(std::mt19937& random, std::size_t n)
{
    Bytes b(n, '\0');
    for (char& c : b)
        c = static_cast<char>(random());
    return b;
}

std::string HexOrDash(const Bytes& bytes)
{
    return bytes.empty() ? "-" : ToHex(bytes);
}

void ExpectPythonAgrees(const char* script, const std::vector<CrossCheckCase>& cases)
{
    PeerFolder folder;
    std::string input;
    for (const CrossCheckCase& c : cases)
        input += c.line + "\n";
    folder.Write("cases.txt", input);
    folder.Write("reference.py", script);
    std::string out;
    ASSERT_EQ(RunPeer(kPython, {folder.Path("reference.py"), folder.Path("cases.txt")}, &out), 0);
    std::istringstream lines(out);
    std::string expected;
    int mismatches = 0;
    for (const CrossCheckCase& c : cases) {
        ASSERT_TRUE(std::getline(lines, expected)) << "python answered fewer lines";
        if (HexOrDash(c.ours) != expected && ++mismatches <= 5)
            ADD_FAILURE() << c.line.substr(0, 80) << "...\n ours   " << HexOrDash(c.ours) << "\n theirs " << expected;
    }
    EXPECT_EQ(mismatches, 0);
}
