#include "configuration_layout_helper.h"

#include "config/last_mod_stamp.h"
#include "macro/macro.h"
#include "macro/macro_context.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace {

using Lines = std::vector<std::string>;

// The texts and numbers of a settings record, by registry value name.
template <class S>
struct Fields {
    std::vector<std::pair<const char*, std::string S::*>> texts;
    std::vector<std::pair<const char*, std::uint32_t S::*>> numbers;
};

const Fields<CServiceSettings> kService = {
    {{"LogFile", &CServiceSettings::logFile}, {"InitMacro", &CServiceSettings::initMacro},
     {"NTDomain", &CServiceSettings::ntDomain}, {"NTAnonUser", &CServiceSettings::ntAnonUser},
     {"NTAnonPassword", &CServiceSettings::ntAnonPassword}, {"PrivKey", &CServiceSettings::privKey},
     {"PubKey", &CServiceSettings::pubKey}, {"CertReq", &CServiceSettings::certReq},
     {"SignedCert", &CServiceSettings::signedCert}, {"Administrator", &CServiceSettings::administrator}},
    {{"Port", &CServiceSettings::port}, {"Address", &CServiceSettings::address},
     {"Enabled", &CServiceSettings::enabled}, {"UseDNS", &CServiceSettings::useDNS},
     {"MaxUsers", &CServiceSettings::maxUsers}, {"ConnTimeout", &CServiceSettings::connTimeout},
     {"HeaderTimeout", &CServiceSettings::headerTimeout},
     {"UseFibers", &CServiceSettings::useFibers}, {"Listeners", &CServiceSettings::listeners},
     {"UseNTAuthentication", &CServiceSettings::useNTAuthentication}, {"UseSSL", &CServiceSettings::useSSL},
     {"SSLOnly", &CServiceSettings::sslOnly}, {"SSLPort", &CServiceSettings::sslPort}}};

const Fields<CHTTPSettings> kHTTP = {
    {{"RootDir", &CHTTPSettings::rootDir}, {"Description", &CHTTPSettings::description},
     {"DefaultFile", &CHTTPSettings::defaultFile}, {"LogMacro", &CHTTPSettings::logMacro}},
    {{"DirBrowsing", &CHTTPSettings::dirBrowsing}, {"TraverseChecking", &CHTTPSettings::traverseChecking},
     {"CGITimeout", &CHTTPSettings::cgiTimeout}, {"CCLF", &CHTTPSettings::cclf},
     {"URLCacheSize", &CHTTPSettings::urlCacheSize}, {"URLCacheFlushInterval", &CHTTPSettings::urlCacheFlushInterval},
     {"CheckAccept", &CHTTPSettings::checkAccept}, {"KeepAliveTimeout", &CHTTPSettings::keepAliveTimeout}}};

const Fields<CChatRoomSettings> kRoom = {
    {{"Name", &CChatRoomSettings::name}, {"Description", &CChatRoomSettings::description}},
    {{"Lines", &CChatRoomSettings::lines}, {"Timeout", &CChatRoomSettings::timeout},
     {"HideRoom", &CChatRoomSettings::hideRoom}, {"Decapitate", &CChatRoomSettings::decapitate}}};

// Texts "<name>:<tag>", numbers seed, seed + 1, ...
template <class S>
std::shared_ptr<S> Filled(const S& from, const Fields<S>& fields, const std::string& tag, std::uint32_t seed)
{
    auto s = std::make_shared<S>(from);
    for (const auto& [name, member] : fields.texts)
        (*s).*member = std::string(name) + ":" + tag;
    for (const auto& [name, member] : fields.numbers)
        (*s).*member = seed++;
    return s;
}

// A map filled in memory has never loaded; stamped as loaded now, its next
// use does not reload it from a key it does not have (which would empty it).
template <class Map, class... Entries>
Map& Fill(Map& map, Entries&&... entries)
{
    (map.SetAt(entries.first, entries.second), ...);
    map.SetLoadTick(GlobalLastModStamp().LoadTick());
    return map;
}

CUserMap Members(const std::string& a, const std::string& b)
{
    CUserMap members;
    Fill(members, std::pair{a, ""}, std::pair{b, ""});
    return members;
}

CCGIMapping Mapping(const std::string& command, std::uint32_t protocol, std::uint32_t exec)
{
    CCGIMapping mapping;
    mapping.CommandLine = command;
    mapping.WorkingDir = "/srv/" + command.substr(0, 3);
    mapping.CGIProtocol = protocol;
    mapping.ExecCGI = exec;
    return mapping;
}

CVirtualPath Path(const std::string& location, const std::string& acl, const std::string& extension)
{
    CVirtualPath path;
    path.Location = location;
    path.ACL.AddLine(acl);
    Fill(path.CGIExt, std::pair{extension, Mapping(extension + " %s", kCGIProtocolCGI, 1)});
    return path;
}

void SetStrings(CMacroScope* scope, const std::string& name, const std::string& text)
{
    if (auto* context = dynamic_cast<CMacroContext*>(scope))
        context->SetStringMacro(name, text);
}

void FillServer(CHTTPServerConfig& server, std::uint32_t port, std::uint32_t address, const std::string& tag)
{
    auto s = Filled(*server.GetSettings(), kService, tag, port);
    s->port = port;
    s->address = address;
    s->enabled = address == 0 ? 1 : 0;
    s->privKey = "UHJpdmF0ZQ=="; // key texts must decode
    s->signedCert = "Q2VydGlmaWNhdGU=";
    server.SetSettings(s);
    server.SetHTTPSettings(Filled(*server.GetHTTPSettings(), kHTTP, tag, port + 100));

    server.GetAccessList().AddLine("Allow-user: GET,alice-" + tag + ",*");
    server.GetAccessList().AddLine("Reject-group: PUT,staff,10.*");
    server.GetUsers().SetAuthenticateMacro("%equal(%password%,open-" + tag + ")");
    Fill(server.GetUsers(), std::pair{"alice-" + tag, "secret-" + tag}, std::pair{"bob", "builder"});
    server.GetGroups().SetMemberMacro("%equal(%group%,all-" + tag + ")");
    Fill(server.GetGroups(), std::pair{"staff", Members("alice-" + tag, "bob")});
    SetStrings(server.GetStrings(), "http-badurl", "<p>" + tag + " has no such page</p>");
    SetStrings(server.GetStrings(), "srv-note", tag);
    Fill(server.GetPaths(), std::pair{"docs", Path("/srv/" + tag + "/docs", "Allow-user: *,*,*", "pl")});
    Fill(server.GetRedirections(), std::pair{"/old-" + tag, "/new-" + tag});
    Fill(server.GetIcons(), std::pair{"folder", "/icons/" + tag + "/folder.gif"});
    Fill(server.GetCGIExt(), std::pair{"py", Mapping("python3 %s", kCGIProtocolCGI, 0)},
         std::pair{"so", Mapping("/srv/" + tag + "/ext.so", kCGIProtocolISAPI, 1)});
    Fill(server.GetMappings(), std::pair{"kav", "text/x-kav"}, std::pair{tag, "application/x-" + tag});
}

void Add(Lines& lines, const std::string& path, const std::string& value)
{
    std::string line = path + "=";
    for (char c : value)
        line += c == '\n' ? std::string("\\n") : std::string(1, c);
    lines.push_back(std::move(line));
}

template <class S>
void DumpFields(Lines& lines, const std::string& at, const S& s, const Fields<S>& fields)
{
    for (const auto& [name, member] : fields.texts)
        Add(lines, at + name, s.*member);
    for (const auto& [name, member] : fields.numbers)
        Add(lines, at + name, std::to_string(s.*member));
}

void DumpACL(Lines& lines, const std::string& at, const CAccessList& acl)
{
    for (std::size_t index = 0; index < acl.GetLines().size(); ++index)
        Add(lines, at + "\\" + std::to_string(index), acl.GetLines()[index]);
}

template <class Map>
void DumpTexts(Lines& lines, const std::string& at, Map& map)
{
    for (const auto& [name, text] : map.GetEntries())
        Add(lines, at + "\\" + name, text);
}

void DumpUsers(Lines& lines, const std::string& at, CUserMap& users)
{
    DumpTexts(lines, at, users);
    Add(lines, at + "\\Macro\\Authenticate", users.GetAuthenticateMacro());
}

void DumpGroups(Lines& lines, const std::string& at, CGroupMap& groups)
{
    for (auto& [name, members] : groups.GetEntries())
        DumpUsers(lines, at + "\\" + name, members);
    Add(lines, at + "\\MemberMacro", groups.GetMemberMacro());
}

void DumpStrings(Lines& lines, const std::string& at, CMacroScope* scope)
{
    auto* context = dynamic_cast<CMacroContext*>(scope);
    if (!context)
        return Add(lines, at, "(no scope)");
    std::string name, text;
    int count = context->GetMacros().GetCount(); // bounds the walk
    for (CMacroContext::Position p = context->GetStartPosition(); p != CMacroContext::kNoPosition && count-- > 0;) {
        context->GetNextMacro(p, name, text);
        Add(lines, at + "\\" + name, text);
    }
}

void DumpCGI(Lines& lines, const std::string& at, const CCGIMappingMap& map)
{
    for (const auto& [extension, m] : map.CopyOfEntries()) {
        std::string key = at + "\\" + extension + "\\";
        Add(lines, key + "CommandLine", m.CommandLine);
        Add(lines, key + "WorkingDir", m.WorkingDir);
        Add(lines, key + "CGIProtocol", std::to_string(m.CGIProtocol));
        Add(lines, key + "ExecCGI", std::to_string(m.ExecCGI));
    }
}

void DumpPaths(Lines& lines, const std::string& at, CVirtualPathMap& paths)
{
    for (const auto& [name, path] : paths.GetEntries()) {
        Add(lines, at + "\\" + name + "\\Location", path.Location);
        DumpACL(lines, at + "\\" + name + "\\ACL", path.ACL);
        DumpCGI(lines, at + "\\" + name + "\\CGIExt", path.CGIExt);
    }
}

void DumpService(Lines& lines, const std::string& at, CServiceConfig& config)
{
    DumpFields(lines, at, *config.GetSettings(), kService);
    DumpACL(lines, at + "ACL", config.GetAccessList());
    DumpUsers(lines, at + "Users", config.GetUsers());
    DumpGroups(lines, at + "Groups", config.GetGroups());
    DumpStrings(lines, at + "Strings", config.GetStrings());
}

} // namespace

ServerPorts VariantPorts(int variant)
{
    return variant == 0 ? ServerPorts{80, 8080} : ServerPorts{90, 9090};
}

void BuildHTTPLayout(CHTTPGlobalConfig& global, int variant)
{
    ServerPorts ports = VariantPorts(variant);
    std::string tag = std::to_string(variant);
    global.GetServers().RemoveAll();
    FillServer(global.GetServers().AddTail(), ports.plain, 0, "plain" + std::to_string(ports.plain));
    FillServer(global.GetServers().AddTail(), ports.loopback, kLoopbackAddress, "local" + std::to_string(ports.loopback));
    global.GetUsers().SetAuthenticateMacro("%equal(%username%,root)");
    Fill(global.GetUsers(), std::pair{"carol", "c-" + tag});
    Fill(global.GetGuests(), std::pair{"editors", Members("carol", "erin")});
    SetStrings(global.GetStrings(), "http-badurl", "<p>global 404</p>");
    Fill(global.GetPaths(), std::pair{"shared", Path("/srv/shared", "Reject-user: *,*,192.168.*", "sh")});
    Fill(global.GetRedirections(), std::pair{"/moved", "http://elsewhere.example/"});
    Fill(global.GetIcons(), std::pair{"new", "/icons/new.gif"});
    Fill(global.GetCGIExt(), std::pair{"cgi", Mapping("cgi %s", kCGIProtocolCGI, 1)},
         std::pair{"wcg", Mapping("wcg %s", kCGIProtocolWinCGI, 1)});
    Fill(global.GetMappings(), std::pair{"html", "text/html"});
    global.SetInitMacro("%set(site," + tag + ")");
}

void BuildChatLayout(CChatGlobalConfig& chat)
{
    chat.GetRooms().RemoveAll();
    CChatRoomConfig& room = chat.GetRooms().AddTail();
    auto s = Filled(*room.GetSettings(), kService, "lobby", 8000);
    s->privKey.clear();
    s->signedCert.clear();
    room.SetSettings(s);
    auto r = Filled(*room.GetRoomSettings(), kRoom, "lobby", 1);
    r->name = "Lobby";
    room.SetRoomSettings(r);
    room.GetAccessList().AddLine("Allow-user: *,*,127.*");
    Fill(room.GetUsers(), std::pair{"moderator", "m"});
    SetStrings(room.GetStrings(), "room-exit", "<p>bye from the lobby</p>");
    Fill(chat.GetUsers(), std::pair{"dave", "d"});
    Fill(chat.GetGuests(), std::pair{"regulars", Members("dave", "frank")});
    SetStrings(chat.GetStrings(), "chat-dlg-line", "<p>%u-name%: %text%</p>");
    chat.SetInitMacro("%set(chat,1)");
}

std::vector<std::string> DumpHTTP(CHTTPGlobalConfig& global)
{
    Lines lines;
    for (CHTTPServerConfig& server : global.GetServers()) {
        std::string at = "HTTP\\Servers\\" + server.GetKeyName() + "\\";
        DumpService(lines, at, server);
        DumpFields(lines, at, *server.GetHTTPSettings(), kHTTP);
        DumpPaths(lines, at + "Paths", server.GetPaths());
        DumpTexts(lines, at + "Redirections", server.GetRedirections());
        DumpTexts(lines, at + "Icons", server.GetIcons());
        DumpCGI(lines, at + "CGIExt", server.GetCGIExt());
        DumpTexts(lines, at + "Mappings", server.GetMappings());
    }
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
    Lines lines;
    for (CChatRoomConfig& room : chat.GetRooms()) {
        std::string at = "ChatRoom\\Rooms\\" + ChatRoomKeyName(room.GetRoomSettings()->name) + "\\";
        DumpService(lines, at, room);
        DumpFields(lines, at, *room.GetRoomSettings(), kRoom);
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
    Lines keys;
    for (CHTTPServerConfig& server : global.GetServers()) {
        std::string base = "HTTP\\Servers\\" + server.GetKeyName();
        keys.push_back(base);
        for (const char* list :
             {"ACL", "Users", "Users\\Macro", "Groups", "Strings", "Paths", "Redirections", "Icons", "CGIExt", "Mappings"})
            keys.push_back(base + "\\" + list);
        for (const auto& [name, members] : server.GetGroups().GetEntries())
            keys.push_back(base + "\\Groups\\" + name);
        for (const auto& [name, path] : server.GetPaths().GetEntries()) {
            for (const char* sub : {"", "\\ACL", "\\CGIExt"})
                keys.push_back(base + "\\Paths\\" + name + sub);
            for (const auto& [extension, mapping] : path.CGIExt.CopyOfEntries())
                keys.push_back(base + "\\Paths\\" + name + "\\CGIExt\\" + extension);
        }
        for (const auto& [extension, mapping] : server.GetCGIExt().CopyOfEntries())
            keys.push_back(base + "\\CGIExt\\" + extension);
    }
    return keys;
}

std::vector<std::string> SubkeyNames(const platform::RegistryKey& key)
{
    Lines names;
    std::string name;
    for (std::uint32_t index = 0; key.EnumKey(index, name) == platform::kErrorSuccess; ++index)
        names.push_back(name);
    return names;
}

std::string StringText(CMacroScope* scope, const char* name)
{
    auto* context = dynamic_cast<CMacroContext*>(scope);
    CMacro* macro = context ? context->FindMacro(name) : nullptr;
    std::string text = "(none)";
    if (macro) {
        text.clear();
        macro->GetText(text);
    }
    return text;
}
