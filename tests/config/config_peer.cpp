// The second process of the configuration tests, on the hive named by
// VELMORA_REGISTRY:
//   config_peer dump          loads the HTTP and chat configurations and
//                             prints every value as sorted path=value lines
//   config_peer save COUNT    saves the HTTP layouts of both variants in
//                             turn, COUNT saves in all
// Exit 0 on success, 1 when a load or save failed, 2 on bad arguments.

#include "config/last_mod_stamp.h"
#include "configuration_layout_helper.h"
#include "macro/named_strings.h"

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

int Dump()
{
    const platform::RegistryKey& root = platform::RegistryKey::LocalMachine();
    CHTTPGlobalConfig http;
    CChatGlobalConfig chat;
    if (!http.Load(root, kHTTPKeyPath, 1) || !chat.Load(root, kChatKeyPath, 1))
        return 1;
    for (const std::string& line : DumpHTTP(http))
        std::cout << line << "\n";
    for (const std::string& line : DumpChat(chat))
        std::cout << line << "\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

int SaveRepeatedly(int count)
{
    const platform::RegistryKey& root = platform::RegistryKey::LocalMachine();
    platform::RegistryKey product;
    if (root.Create(kProductKeyPath, product) != platform::kErrorSuccess)
        return 1;
    GlobalLastModStamp().Open(root, kProductKeyPath, kLastModValueName);
    for (int save = 0; save < count; ++save) {
        CHTTPGlobalConfig http;
        BuildHTTPLayout(http, save % 2);
        if (!http.Save(root, kHTTPKeyPath))
            return 1;
        GlobalLastModStamp().Touch();
    }
    GlobalLastModStamp().Close();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    InitMacroLibrary();
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "dump" && argc == 2)
        return Dump();
    if (command == "save" && argc == 3)
        return SaveRepeatedly(std::atoi(argv[2]));
    std::cerr << "usage: config_peer dump | save COUNT\n";
    return 2;
}
