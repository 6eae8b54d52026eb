#include "config/registry_names.h"

#include "platform/ascii.h"
#include "platform/registry.h"

#include <algorithm>
#include <cctype>

namespace {

std::vector<const char*> Joined(std::vector<const char*> first, const std::vector<const char*>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<RegistryNameSubkey> Joined(std::vector<RegistryNameSubkey> first, const std::vector<RegistryNameSubkey>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

struct Table {
    RegistryNameKey list;       // value names are data
    RegistryNameKey users, authenticate;
    RegistryNameKey freeTree;   // counters and persistent values: anything
    RegistryNameKey groups;
    RegistryNameKey cgiMapping, cgiExt;
    RegistryNameKey path, paths;
    RegistryNameKey httpServer, servers, http;
    RegistryNameKey room, rooms, chat;
    RegistryNameKey proxy, webRemote;
    RegistryNameKey product;

    Table()
    {
        list.anyValue = true;
        // A user list: one value per user, and the macro that logs on users
        // it does not list.
        authenticate.values = {"Authenticate"};
        users.anyValue = true;
        users.subkeys = {{"Macro", &authenticate}};
        freeTree.anyValue = true;
        freeTree.anySubkey = &freeTree;
        groups.values = {"MemberMacro"};
        groups.anySubkey = &users;
        cgiMapping.values = {"CommandLine", "WorkingDir", "ExecCGI", "CGIProtocol", "WinCGI"};
        cgiExt.anySubkey = &cgiMapping;
        path.values = {"Location"};
        path.subkeys = {{"ACL", &list}, {"CGIExt", &cgiExt}};
        paths.anySubkey = &path;

        // Every server's own part: the HTTP servers, the rooms, the proxy.
        const std::vector<const char*> service = {
            "Port", "Address", "Enabled", "MaxUsers", "SSLPort", "UseSSL", "SSLOnly", "UseFibers",
            "Listeners", "UseDNS", "ConnTimeout", "HeaderTimeout", "LogFile", "UseNTAuthentication",
            "NTDomain", "NTAnonUser", "NTAnonPassword", "PrivKey", "PubKey", "CertReq", "SignedCert",
            "Administrator", "InitMacro"};
        const std::vector<RegistryNameSubkey> serviceKeys = {
            {"ACL", &list}, {"Users", &users}, {"Groups", &groups}, {"Strings", &list}};
        const std::vector<RegistryNameSubkey> lists = {{"Paths", &paths},       {"Redirections", &list},
                                                       {"Icons", &list},        {"Mappings", &list},
                                                       {"CGIExt", &cgiExt}};

        httpServer.values = Joined(service, {"RootDir", "Description", "DirBrowsing", "TraverseChecking",
                                             "DefaultFile", "CGITimeout", "LogMacro", "CCLF", "URLCacheSize",
                                             "URLCacheFlushInterval", "CheckAccept", "KeepAliveTimeout",
                                             "MaxPutSize", "MaxFormSize"});
        httpServer.subkeys = Joined(serviceKeys, lists);
        httpServer.listens = true;
        servers.anySubkey = &httpServer;
        http.values = {"InitMacro"};
        http.subkeys = Joined({{"Servers", &servers},
                               {"Users", &users},
                               {"Guests", &groups, "Groups", "the groups every HTTP server shares"},
                               {"Strings", &list}},
                              lists);

        room.values = Joined(service, {"Lines", "Timeout", "HideRoom", "Decapitate", "Name", "Description"});
        room.subkeys = serviceKeys;
        room.listens = true;
        rooms.anySubkey = &room;
        chat.values = {"InitMacro"};
        chat.subkeys = {{"Rooms", &rooms},
                        {"Users", &users},
                        {"Guests", &groups, "Groups", "the groups every chat room shares"},
                        {"Strings", &list}};

        proxy.values = Joined(service, {"RootDir", "ProxyHost", "ProxyPort", "SecurityProxyHost",
                                        "SecurityProxyPort", "GopherProxyHost", "GopherProxyPort", "FTPProxyHost",
                                        "FTPProxyPort", "MaxCacheSize", "MaxFileAge", "SaveInterval",
                                        "PurgeInterval", "SyncInterval"});
        proxy.subkeys = Joined(serviceKeys, {{"NoCacheList", &list},
                                             {"NoServeList", &list},
                                             {"ServeList", &list},
                                             {"GopherMappings", &list},
                                             {"GopherIcons", &list},
                                             {"FTPExtMappings", &list},
                                             {"FTPIcons", &list}});
        proxy.listens = true;
        // Only the settings sheet's Web Remote page reads it.
        webRemote.values = service;
        webRemote.subkeys = serviceKeys;

        product.values = {"LastMod",         "InitMacro",       "Workers",          "Concurrency", "Compatibility",
                          "SQLQueryTimeout", "SQLLoginTimeout", "SQLMaxConnections"};
        product.subkeys = {{"Strings", &list},         {"Users", &users},         {"Groups", &groups},
                           {"QNS", &list},             {"PersistentValues", &freeTree},
                           {"Counters", &freeTree},    {"HTTP", &http},          {"HTTPProxy", &proxy},
                           {"HTTPConf", &webRemote},   {"ChatRoom", &chat}};
    }
};

const Table& TheTable()
{
    static const Table table;
    return table;
}

std::size_t Distance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known name closest to name, when it is close enough to be the one
// meant (at most half of it differs); empty otherwise.
template <typename Names, typename NameOf>
std::string Nearest(std::string_view name, const Names& names, NameOf nameOf)
{
    std::string best;
    std::size_t bestDistance = 0;
    for (const auto& entry : names) {
        std::string known = nameOf(entry);
        std::size_t distance = Distance(name, known);
        if (distance * 2 <= known.size() && (best.empty() || distance < bestDistance)) {
            best = std::move(known);
            bestDistance = distance;
        }
    }
    return best;
}

void Collect(const RegistryNameKey& key, std::vector<std::string>& names, std::vector<const RegistryNameKey*>& seen)
{
    if (std::find(seen.begin(), seen.end(), &key) != seen.end())
        return;
    seen.push_back(&key);
    names.insert(names.end(), key.values.begin(), key.values.end());
    for (const RegistryNameSubkey& subkey : key.subkeys) {
        names.emplace_back(subkey.name);
        Collect(*subkey.key, names, seen);
    }
    if (key.anySubkey)
        Collect(*key.anySubkey, names, seen);
}

} // namespace

const RegistryNameKey& ProductKeyNames() { return TheTable().product; }

RegistryNameCheck CheckRegistryName(std::string_view relativeKey, std::optional<std::string_view> valueName)
{
    RegistryNameCheck check;
    const RegistryNameKey* key = &ProductKeyNames();
    std::string parent;
    std::vector<std::string_view> names;
    platform::SplitKeyPath(relativeKey, names);
    for (std::string_view name : names) {
        auto fixed = std::find_if(key->subkeys.begin(), key->subkeys.end(), [&](const RegistryNameSubkey& subkey) {
            return platform::EqualsIgnoringCase(name, subkey.name);
        });
        const RegistryNameKey* next = fixed != key->subkeys.end() ? fixed->key : key->anySubkey;
        if (!next) {
            check.unknown = true;
            check.unknownName = name;
            check.parent = parent;
            auto mistaken = std::find_if(key->subkeys.begin(), key->subkeys.end(), [&](const RegistryNameSubkey& subkey) {
                return subkey.mistakenName && platform::EqualsIgnoringCase(name, subkey.mistakenName);
            });
            if (mistaken != key->subkeys.end()) {
                check.nearest = mistaken->name;
                check.hint = mistaken->hint;
            } else {
                check.nearest = Nearest(name, key->subkeys, [](const RegistryNameSubkey& subkey) {
                    return std::string(subkey.name);
                });
            }
            return check;
        }
        parent += (parent.empty() ? "" : "\\") + std::string(name);
        key = next;
    }
    if (!valueName || key->anyValue)
        return check;
    for (const char* known : key->values) {
        if (platform::EqualsIgnoringCase(*valueName, known)) {
            check.readAsListeningPort = key->listens && (platform::EqualsIgnoringCase(known, "Port") ||
                                                         platform::EqualsIgnoringCase(known, "SSLPort"));
            return check;
        }
    }
    check.unknown = true;
    check.unknownName = *valueName;
    check.unknownIsValue = true;
    check.parent = parent;
    check.nearest = Nearest(*valueName, key->values, [](const char* known) { return std::string(known); });
    return check;
}

std::vector<std::string> AllRegistryNames()
{
    std::vector<std::string> names;
    std::vector<const RegistryNameKey*> seen;
    Collect(ProductKeyNames(), names, seen);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}
