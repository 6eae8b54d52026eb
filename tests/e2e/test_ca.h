#pragma once
// A certificate authority of a test's own: openssl checks the request
// dir/req.der (DER) and signs it with a CA it makes in dir, writing
// dir/ca.pem and the certificate dir/signed.pem.

#include <string>
#include <vector>

namespace e2e {

inline std::vector<std::vector<std::string>> SignRequestSteps(const std::string& openssl, const std::string& dir)
{
    return {
        {openssl, "req", "-inform", "DER", "-in", dir + "/req.der", "-verify", "-noout"},
        {openssl, "req", "-inform", "DER", "-in", dir + "/req.der", "-out", dir + "/req.pem"},
        {openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir + "/ca.key", "-out",
         dir + "/ca.pem", "-days", "1", "-subj", "/CN=Test CA"},
        {openssl, "x509", "-req", "-in", dir + "/req.pem", "-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key",
         "-CAcreateserial", "-days", "1", "-out", dir + "/signed.pem"},
    };
}

} // namespace e2e
