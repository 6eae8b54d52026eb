#pragma once
// The independent implementations the cross-checks run: openssl,
// /usr/bin/python3 (hashlib, cryptography, pyasn1) and nettle-hash, each
// started as a child process on files in a temporary folder.

#include "toolkit_helper.h"

#include <random>
#include <string>
#include <vector>

inline const char kOpenSSL[] = "/usr/bin/openssl";
inline const char kPython[] = "/usr/bin/python3";
inline const char kNettleHash[] = "/usr/bin/nettle-hash";

class PeerFolder {
public:
    PeerFolder();
    ~PeerFolder();
    PeerFolder(const PeerFolder&) = delete;
    PeerFolder& operator=(const PeerFolder&) = delete;

    std::string Path(const std::string& name) const { return m_path + "/" + name; }
    void Write(const std::string& name, const Bytes& bytes) const;
    Bytes Read(const std::string& name) const;

private:
    std::string m_path;
};

// Whether program exists (and, for python, has the modules the checks use).
bool HavePeer(const char* program);
// Runs program with args (at most 30 s): its exit status; stdout in *out.
int RunPeer(const char* program, const std::vector<std::string>& args, std::string* out = nullptr);

// n octets drawn from random.
Bytes RandomBytes(std::mt19937& random, std::size_t n);
// Hex, or "-" for no octets: how the reference scripts read and print them.
std::string HexOrDash(const Bytes& bytes);

// One line for a python reference script and the octets we made for it.
struct CrossCheckCase {
    std::string line;
    Bytes ours;
};
// Runs script with /usr/bin/python3 over the cases' lines, one answer line
// each (HexOrDash), and fails the test on every case whose answer differs
// (showing the first five).
void ExpectPythonAgrees(const char* script, const std::vector<CrossCheckCase>& cases);
