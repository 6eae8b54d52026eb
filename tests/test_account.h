#pragma once
// The script that makes and removes the PAM test account (root only), in
// the source tree these tests were built from.

#include <string>

inline std::string TestAccountScript()
{
    return std::string(VELMORA_SOURCE_DIR) + "/tools/test-account.sh";
}
