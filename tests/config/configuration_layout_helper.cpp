#include "configuration_layout_helper.h"

#include "config/last_mod_stamp.h"
#include "macro/macro_context.h"

#include <algorithm>
#include <memory>

namespace {

// A map filled in memory has never loaded; stamped as loaded now, its next
// use does not reload it from a key it does not have (which would empty it).
template <class Map>
void MarkLoaded(Map& map)
{
    map.SetLoadTick(GlobalLastModStamp().LoadTick());
}

void SetStrings(CMacroScope* scope, const std::vector<std::pair<std::string, std::string>>& strings)
{
    auto* context = dynamic_cast<CMacroContext*>(scope);
    if (!context)
        return;
    for (const auto& [name, text] : strings)
        context->SetStringMacro(name, text);
}

CUserMap Members(const std::vector<std::string>& names)
{
    CUserMap members;
    for (const std::string& name : names)
        members.SetAt(name, "");
    MarkLoaded(members);
    return members;
}

CCGIMapping Mapping(const std::string& command, const std::string& dir, std::uint32_t protocol, std::uint32_t exec)
{
    CCGIMapping mapping;
    mapping.CommandLine = command;
    mapping.WorkingDir = dir;
    mapping.CGIProtocol = protocol;
    mapping.ExecCGI = exec;
    return mapping;
}

void FillServer(CHTTPServerConfig& server, std::uint32_t port, std::uint32_t address, const std::string& tag)
{
    auto s = std::make_shared<CServiceSettings>(*server.GetSettings());
    s->logFile = "/var/log/velmora/" + tag + ".log";
    s->port = port;
    s->address = address;
    s->enabled = address == 0 ? 1 : 0;
    s->useDNS = 1;
    s->maxUsers = port % 50;
    s->connTimeout = 120;
    s->useFibers = 1;
    s->listeners = 16;
    s->initMacro = "%set(server," + tag + ")";
    s->useNTAuthentication = 1;
    s->ntDomain = "WORKGROUP";
    s->ntAnonUser = "anon-" + tag;
    s->ntAnonPassword = "pw-" + tag;
    s->useSSL = 1;
    s->sslOnly = 0;
    s->sslPort = port + 443;
    s->privKey = "UHJpdmF0ZQ==";
    s->pubKey = "public " + tag;
    s->certReq = "request " + tag;
    s->signedCert = "Q2VydGlmaWNhdGU=";
    s->administrator = "admin@" + tag + ".example";
    server.SetSettings(std::move(s));

    auto h = std::make_shared<CHTTPSettings>();
    h->rootDir = "/srv/" + tag + "/www";
    h->description = "Server " + tag;
    h->dirBrowsing = 1;
    h->traverseChecking = 1;
    h->defaultFile = "index.kav";
    h->cgiTimeout = 30;
    h->logMacro = "%ccl-fmt%";
    h->cclf = 1;
    h->urlCacheSize = 256;
    h->urlCacheFlushInterval = 30;
    h->checkAccept = 0;
    h->keepAliveTimeout = 15;
    server.SetHTTPSettings(std::move(h));

    server.GetAccessList().AddLine("Allow-user: GET,alice-" + tag + ",*");
    server.GetAccessList().AddLine("Reject-group: PUT,staff,10.*");
    server.GetUsers().SetAt("alice-" + tag, "secret-" + tag);
    server.GetUsers().SetAt("bob", "builder");
    server.GetUsers().SetAuthenticateMacro("%equal(%password%,open-" + tag + ")");
    MarkLoaded(server.GetUsers());
    server.GetGroups().SetAt("staff", Members({"alice-" + tag, "bob"}));
    server.GetGroups().SetMemberMacro("%equal(%group%,all-" + tag + ")");
    MarkLoaded(server.GetGroups());
    SetStrings(server.GetStrings(), {{"http-badurl", "<p>" + tag + " has no such page</p>"}, {"srv-note", tag}});

    CVirtualPath docs;
    docs.Location = "/srv/" + tag + "/docs";
    docs.ACL.AddLine("Allow-user: *,*,*");
    docs.CGIExt.SetAt("pl", Mapping("/usr/bin/perl %s", "/srv/" + tag + "/cgi", kCGIProtocolCGI, 1));
    MarkLoaded(docs.CGIExt);
    server.GetPaths().SetAt("docs", docs);
    MarkLoaded(server.GetPaths());
    server.GetRedirections().SetAt("/old-" + tag, "/new-" + tag);
    MarkLoaded(server.GetRedirections());
    server.GetIcons().SetAt("folder", "/icons/" + tag + "/folder.gif");
    MarkLoaded(server.GetIcons());
    server.GetCGIExt().SetAt("py", Mapping("/usr/bin/python3 %s", "/srv/" + tag, kCGIProtocolCGI, 0));
    server.GetCGIExt().SetAt("so", Mapping("/srv/" + tag + "/ext.so", "", kCGIProtocolISAPI, 1));
    MarkLoaded(server.GetCGIExt());
    server.GetMappings().SetAt("kav", "text/x-kav");
    server.GetMappings().SetAt(tag, "application/x-" + tag);
    MarkLoaded(server.GetMappings());
}

// One line per value: line breaks inside texts are written as \n.
void Add(std::vector<std::string>& lines, const std::string& path, const std::string& value)
{
    std::string line = path + "=";
    for (char c : value) {
        if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
    lines.push_back(std::move(line));
}

void Add(std::vector<std::string>& lines, const std::string& path, std::uint32_t value)
{
    Add(lines, path, std::to_string(value));
}

void DumpLines(std::vector<std::string>& lines, const std::string& path, const std::vector<std::string>& acl)
{
    for (std::size_t index = 0; index < acl.size(); ++index)
        Add(lines, path + "\\" + std::to_string(index), acl[index]);
}

void DumpUsers(std::vector<std::string>& lines, const std::string& path, CUserMap& users)
{
    for (const auto& [name, password] : users.GetEntries())
        Add(lines, path + "\\" + name, password);
    Add(lines, path + "\\Macro\\Authenticate", users.GetAuthenticateMacro());
}

void DumpGroups(std::vector<std::string>& lines, const std::string& path, CGroupMap& groups)
{
    for (auto& [name, members] : groups.GetEntries())
        DumpUsers(lines, path + "\\" + name, members);
    Add(lines, path + "\\MemberMacro", groups.GetMemberMacro());
}

void DumpStrings(std::vector<std::string>& lines, const std::string& path, CMacroScope* scope)
{
    auto* context = dynamic_cast<CMacroContext*>(scope);
    if (!context) {
        Add(lines, path, "(no scope)");
        return;
    }
    std::string name, text;
    int count = 0;
    for (CMacroContext::Position at = context->GetStartPosition(); at != CMacroContext::kNoPosition;) {
        context->GetNextMacro(at, name, text);
        Add(lines, path + "\\" + name, text);
        if (++count > context->GetMacros().GetCount())
            break;
    }
}

void DumpCGI(std::vector<std::string>& lines, const std::string& path, const CCGIMappingMap& map)
{
    for (const auto& [extension, mapping] : map.CopyOfEntries()) {
        std::string at = path + "\\" + extension + "\\";
        Add(lines, at + "CommandLine", mapping.CommandLine);
        Add(lines, at + "WorkingDir", mapping.WorkingDir);
        Add(lines, at + "CGIProtocol", mapping.CGIProtocol);
        Add(lines, at + "ExecCGI", mapping.ExecCGI);
    }
}

void DumpTexts(std::vector<std::string>& lines, const std::string& path, CRegStringMap& map)
{
    for (const auto& [name, text] : map.GetEntries())
        Add(lines, path + "\\" + name, text);
}

void DumpPaths(std::vector<std::string>& lines, const std::string& path, CVirtualPathMap& paths)
{
    for (const auto& [name, entry] : paths.GetEntries()) {
        std::string at = path + "\\" + name;
        Add(lines, at + "\\Location", entry.Location);
        DumpLines(lines, at + "\\ACL", entry.ACL.GetLines());
        DumpCGI(lines, at + "\\CGIExt", entry.CGIExt);
    }
}

void DumpService(std::vector<std::string>& lines, const std::string& at, CServiceConfig& config)
{
    auto s = config.GetSettings();
    Add(lines, at + "LogFile", s->logFile);
    Add(lines, at + "Port", s->port);
    Add(lines, at + "Address", s->address);
    Add(lines, at + "Enabled", s->enabled);
    Add(lines, at + "UseDNS", s->useDNS);
    Add(lines, at + "MaxUsers", s->maxUsers);
    Add(lines, at + "ConnTimeout", s->connTimeout);
    Add(lines, at + "UseFibers", s->useFibers);
    Add(lines, at + "Listeners", s->listeners);
    Add(lines, at + "InitMacro", s->initMacro);
    Add(lines, at + "UseNTAuthentication", s->useNTAuthentication);
    Add(lines, at + "NTDomain", s->ntDomain);
    Add(lines, at + "NTAnonUser", s->ntAnonUser);
    Add(lines, at + "NTAnonPassword", s->ntAnonPassword);
    Add(lines, at + "UseSSL", s->useSSL);
    Add(lines, at + "SSLOnly", s->sslOnly);
    Add(lines, at + "SSLPort", s->sslPort);
    Add(lines, at + "PrivKey", s->privKey);
    Add(lines, at + "PubKey", s->pubKey);
    Add(lines, at + "CertReq", s->certReq);
    Add(lines, at + "SignedCert", s->signedCert);
    Add(lines, at + "Administrator", s->administrator);
    DumpLines(lines, at + "ACL", config.GetAccessList().GetLines());
    DumpUsers(lines, at + "Users", config.GetUsers());
    DumpGroups(lines, at + "Groups", config.GetGroups());
    DumpStrings(lines, at + "Strings", config.GetStrings());
}

void DumpServer(std::vector<std::string>& lines, CHTTPServerConfig& server)
{
    std::string at = "HTTP\\Servers\\" + server.GetKeyName() + "\\";
    DumpService(lines, at, server);
    auto h = server.GetHTTPSettings();
    Add(lines, at + "RootDir", h->rootDir);
    Add(lines, at + "Description", h->description);
    Add(lines, at + "DirBrowsing", h->dirBrowsing);
    Add(lines, at + "TraverseChecking", h->traverseChecking);
    Add(lines, at + "DefaultFile", h->defaultFile);
    Add(lines, at + "CGITimeout", h->cgiTimeout);
    Add(lines, at + "LogMacro", h->logMacro);
    Add(lines, at + "CCLF", h->cclf);
    Add(lines, at + "URLCacheSize", h->urlCacheSize);
    Add(lines, at + "URLCacheFlushInterval", h->urlCacheFlushInterval);
    Add(lines, at + "CheckAccept", h->checkAccept);
    Add(lines, at + "KeepAliveTimeout", h->keepAliveTimeout);
    DumpPaths(lines, at + "Paths", server.GetPaths());
    DumpTexts(lines, at + "Redirections", server.GetRedirections());
    DumpTexts(lines, at + "Icons", server.GetIcons());
    DumpCGI(lines, at + "CGIExt", server.GetCGIExt());
    DumpTexts(lines, at + "Mappings", server.GetMappings());
}

} // namespace

ServerPorts VariantPorts(int variant)
{
    return variant == 0 ? ServerPorts{80, 8080} : ServerPorts{90, 9090};
}

void BuildHTTPLayout(CHTTPGlobalConfig& global, int variant)
{
    ServerPorts ports = VariantPorts(variant);
    global.GetServers().RemoveAll();
    FillServer(global.GetServers().AddTail(), ports.plain, 0, "plain" + std::to_string(ports.plain));
    FillServer(global.GetServers().AddTail(), ports.loopback, kLoopbackAddress, "local" + std::to_string(ports.loopback));

    global.GetUsers().SetAt("carol", "c-" + std::to_string(variant));
    global.GetUsers().SetAuthenticateMacro("%equal(%username%,root)");
    MarkLoaded(global.GetUsers());
    global.GetGuests().SetAt("editors", Members({"carol"}));
    MarkLoaded(global.GetGuests());
    SetStrings(global.GetStrings(), {{"http-badurl", "<p>global 404</p>"}, {"site-name", "Velmora test"}});
    CVirtualPath shared;
    shared.Location = "/srv/shared";
    shared.ACL.AddLine("Reject-user: *,*,192.168.*");
    shared.CGIExt.SetAt("sh", Mapping("/bin/sh %s", "/srv/shared", kCGIProtocolCGI, 1));
    MarkLoaded(shared.CGIExt);
    global.GetPaths().SetAt("shared", shared);
    MarkLoaded(global.GetPaths());
    global.GetRedirections().SetAt("/moved", "http://elsewhere.example/");
    MarkLoaded(global.GetRedirections());
    global.GetIcons().SetAt("new", "/icons/new.gif");
    MarkLoaded(global.GetIcons());
    global.GetCGIExt().SetAt("cgi", Mapping("%s", "", kCGIProtocolCGI, 1));
    global.GetCGIExt().SetAt("wcg", Mapping("%s", "/tmp", kCGIProtocolWinCGI, 1));
    MarkLoaded(global.GetCGIExt());
    global.GetMappings().SetAt("html", "text/html");
    MarkLoaded(global.GetMappings());
    global.SetInitMacro("%set(site," + std::to_string(variant) + ")");
}

void BuildChatLayout(CChatGlobalConfig& chat)
{
    chat.GetRooms().RemoveAll();
    CChatRoomConfig& room = chat.GetRooms().AddTail();
    auto s = std::make_shared<CServiceSettings>(*room.GetSettings());
    s->port = 8000;
    s->maxUsers = 15;
    s->logFile = "/var/log/velmora/lobby.log";
    room.SetSettings(std::move(s));
    auto r = std::make_shared<CChatRoomSettings>();
    r->name = "Lobby";
    r->description = "Where everyone meets";
    r->lines = 100;
    r->timeout = 600;
    r->hideRoom = 1;
    r->decapitate = 1;
    room.SetRoomSettings(std::move(r));
    room.GetAccessList().AddLine("Allow-user: *,*,127.*");
    room.GetUsers().SetAt("moderator", "m");
    MarkLoaded(room.GetUsers());
    SetStrings(room.GetStrings(), {{"room-exit", "<p>bye from the lobby</p>"}});

    chat.GetUsers().SetAt("dave", "d");
    MarkLoaded(chat.GetUsers());
    chat.GetGuests().SetAt("regulars", Members({"dave"}));
    MarkLoaded(chat.GetGuests());
    SetStrings(chat.GetStrings(), {{"chat-dlg-line", "<p>%u-name%: %text%</p>"}});
    chat.SetInitMacro("%set(chat,1)");
}

std::vector<std::string> DumpHTTP(CHTTPGlobalConfig& global)
{
    std::vector<std::string> lines;
    for (CHTTPServerConfig& server : global.GetServers())
        DumpServer(lines, server);
    DumpUsers(lines, "HTTP\\Users", global.GetUsers());
    DumpGroups(lines, "HTTP\\Guests", global.GetGuests());
    DumpStrings(lines, "HTTP\\Strings", global.GetStrings());
    DumpPaths(lines, "HTTP\\Paths", global.GetPaths());
    DumpTexts(lines, "HTTP\\Redirections", global.GetRedirections());
    DumpTexts(lines, "HTTP\\Icons", global.GetIcons());
    DumpCGI(lines, "HTTP\\CGIExt", global.GetCGIExt());
    DumpTexts(lines, "HTTP\\Mappings", global.GetMappings());
    Add(lines, "HTTP\\InitMacro", global.GetInitMacro());
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> DumpChat(CChatGlobalConfig& chat)
{
    std::vector<std::string> lines;
    for (CChatRoomConfig& room : chat.GetRooms()) {
        auto r = room.GetRoomSettings();
        std::string at = "ChatRoom\\Rooms\\" + ChatRoomKeyName(r->name) + "\\";
        DumpService(lines, at, room);
        Add(lines, at + "Name", r->name);
        Add(lines, at + "Description", r->description);
        Add(lines, at + "Lines", r->lines);
        Add(lines, at + "Timeout", r->timeout);
        Add(lines, at + "HideRoom", r->hideRoom);
        Add(lines, at + "Decapitate", r->decapitate);
    }
    DumpUsers(lines, "ChatRoom\\Users", chat.GetUsers());
    DumpGroups(lines, "ChatRoom\\Guests", chat.GetGuests());
    DumpStrings(lines, "ChatRoom\\Strings", chat.GetStrings());
    Add(lines, "ChatRoom\\InitMacro", chat.GetInitMacro());
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> ServerKeyPaths(CHTTPGlobalConfig& global)
{
    std::vector<std::string> keys;
    for (CHTTPServerConfig& server : global.GetServers()) {
        std::string base = std::string("HTTP\\Servers\\") + server.GetKeyName();
        keys.push_back(base);
        for (const char* list : {"ACL", "Users", "Users\\Macro", "Groups", "Strings", "Paths", "Redirections", "Icons",
                                 "CGIExt", "Mappings"})
            keys.push_back(base + "\\" + list);
        for (const auto& [name, members] : server.GetGroups().GetEntries())
            keys.push_back(base + "\\Groups\\" + name);
        for (const auto& [name, path] : server.GetPaths().GetEntries()) {
            std::string at = base + "\\Paths\\" + name;
            keys.push_back(at);
            keys.push_back(at + "\\ACL");
            keys.push_back(at + "\\CGIExt");
            for (const auto& [extension, mapping] : path.CGIExt.CopyOfEntries())
                keys.push_back(at + "\\CGIExt\\" + extension);
        }
        for (const auto& [extension, mapping] : server.GetCGIExt().CopyOfEntries())
            keys.push_back(base + "\\CGIExt\\" + extension);
    }
    return keys;
}
