#include "config/service_config.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "platform/registry.h"
#include "resources/string_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct ExpectedText {
    const char* name;
    const char* text;
};

// The default texts as published, with the mended typos and escapes.
const ExpectedText kExpectedHttpTexts[] = {
    {"http-redirect", R"~(<html><head><title>302 Moved</title></head>
<body><h1>302 Moved</h1>The desired URL is located at <a href="%newurl%">%newurl%</a></body></html>)~"},
    {"http-kaverror", R"~(<html><head><title>KAV Error</title></head><body><h1>KAV Error</h1>An uncaught KAV exception has been caught by the server:<p><code>%type% %number%: %message%</code></body></html>)~"},
    {"http-dir", R"~(<html><head><title>Index of %html-quote(%client-url%)</title></head><body>
<h2>Index of %html-quote(%client-url%)</h2>
%expand(%include(%fqppath(~index~.dir))<dl>)
%dir(%client-urlpath%*,
'%if(%isdir%,
'%if(%not(%equal(%fname%,.)),
'%if(%equal(%fname%,..),
 '<DT><b><A HREF="%fname%/">Go to parent directory</A></b>,
'<DT><img src="%mimeicon(**)"><b><A HREF="%url-path-encode(%fname%)/">%html-quote(%fname%)/</A></b>
%if(%altfname%,'<b><A HREF="%altfname%/">[%altfname%/]</A></b>)
)
),
'<DT><img src="%mimeicon(%mimetype(%ext(%fname%)))"><A HREF="%url-path-encode(%fname%)">%html-quote(%fname%)</A> 
%if(%altfname%,'<A HREF="%altfname%">[%altfname%]</A>)
%if(%gt(%fctime%,%isub(%time%,604800)),
'<img src="%mimeicon(new)">,
'%if(%gt(%fmtime%,%isub(%time%,604800)),'<img src="%mimeicon(updated)">
)
)
<DD><i>%getdescription(%pathname%)</i>
<DD>%mimetype(%ext(%fname%)) - %fmtltime(%fmtime%,m/d/yy - h:mma) - %fmt(%fsize%,0,%null%) bytes
),sht)
</dl></body></html>)~"},
    {"http-noauth", R"~(<HTML><HEAD><TITLE>401 Not Authorized</TITLE></HEAD><BODY><H1>401 Not Authorized</H1>You are not authorized to view this document or directory.  You may need to (re)configure your browser with your username and password.</BODY></HTML>)~"},
    {"http-badurl", R"~(<HTML><HEAD><TITLE>404 URL Not Found</TITLE></HEAD><BODY><H1>404 URL Not Found</H1>The specified URL cannot be located on this server.</BODY></HTML>)~"},
    {"http-badtype", R"~(<HTML><HEAD><TITLE>400 Document Type Not Supported</TITLE></HEAD><BODY><H1>400 Document Type Not Supported</H1>Your browser does not support documents of this type.</BODY></HTML>)~"},
    {"http-badcommand", R"~(<HTML><HEAD><TITLE>Invalid HTTP Method</TITLE></HEAD><BODY>The requested HTTP method is not supported.</BODY></HTML>)~"},
    {"http-badmap", R"~(<HTML><HEAD><TITLE>Map Not Found</TITLE></HEAD><BODY><H1>Map Not Found</H1>The .MAP file required to process the clickable image cannot be found.</BODY></HTML>)~"},
    {"http-getonly", R"~(<HTML><HEAD><TITLE>HTTP 0.9 Error</TITLE></HEAD><BODY><H1>HTTP 0.9 Error</H1>Your browser issued an HTTP 0.9-style request and specified a command other than GET. Use: cmd url HTTP/1.0 for HTTP 1.0 commands.</BODY></HTML>)~"},
    {"http-servererror", R"~(<HTML><HEAD><TITLE>Server Error</TITLE></HEAD><BODY><H1>Server Error</H1>An unexpected internal error has occurred on the server.  Please notify the server's administrator.</BODY></HTML>)~"},
    {"http-cgierror", R"~(<HTML><HEAD><TITLE>CGI Error</TITLE></HEAD><BODY><H1>CGI Error</H1>A CGI error occurred while fetching the desired document..</BODY></HTML>)~"},
    {"http-created", R"~(<HTML><HEAD><TITLE>201 Created</TITLE></HEAD><BODY><H1>201 Created</H1>The document <b>%client-url%</b> has been created.</BODY></HTML>)~"},
    {"http-cantput", R"~(<HTML><HEAD><TITLE>PUT Failed</TITLE></HEAD><BODY><H1>PUT Failed</H1>The document <b>%client-url%</b> could not be created or modified.  It may be in use.  Please try again.</BODY></HTML>)~"},
    {"cl-fmt", R"~(%client-host% - %if(%client-authname%,%client-authname%,-) [%time("dd/mmm/yyyy:HH:nn:ss") +0000] "%client-method% %client-url% %client-http%" %client-status% %client-transfersize%)~"},
    {"ccl-fmt", R"~(%cl-fmt% "%header(Referer)" "%header(User-agent)")~"},
};
const ExpectedText kExpectedProxyOnlyTexts[] = {
    {"http-noreply", R"~(<HTML><HEAD><TITLE>Proxy Error</TITLE></HEAD><BODY><H1>Proxy Error</H1>The document could not be fetched from the original server.</BODY></HTML>)~"},
    {"http-censored", R"~(<HTML><HEAD><TITLE>403 Access Not Allowed</TITLE></HEAD><BODY><H1>403 Access Not Allowed</H1>The HTTP proxy has been configured to deny access to this document.</BODY></HTML>)~"},
    {"http-ftpmsg", R"~(<HTML><HEAD><TITLE>FTP Proxy Error</TITLE></HEAD><BODY><H1>FTP Proxy Error</H1>Error accessing ftp server:<p><PRE>%ftpmsg%</PRE></BODY></HTML>)~"},
    {"http-gophermsg", R"~(<HTML><HEAD><TITLE>Gopher Proxy Error</TITLE></HEAD><BODY><H1>Gopher Proxy Error</H1>Error accessing gopher server:<p><PRE>%gophermsg%</PRE></BODY></HTML>)~"},
    {"http-ftptimeout", R"~(<HTML><HEAD><TITLE>FTP Proxy Error</TITLE></HEAD><BODY><H1>FTP Proxy Error</H1>Timeout waiting for ftp server to reply.</BODY></HTML>)~"},
    {"http-ftperror", R"~(<HTML><HEAD><TITLE>FTP Proxy Error</TITLE></HEAD><BODY><H1>FTP Proxy Error</H1>Error accessing ftp server.</BODY></HTML>)~"},
    {"http-gophertimeout", R"~(<HTML><HEAD><TITLE>Gopher Proxy Error</TITLE></HEAD><BODY><H1>Gopher Proxy Error</H1>Timeout waiting for gopher server to reply.</BODY></HTML>)~"},
    {"http-gophererror", R"~(<HTML><HEAD><TITLE>Gopher Proxy Error</TITLE></HEAD><BODY><H1>Gopher Proxy Error</H1>Error accessing gopher server.</BODY></HTML>)~"},
};

std::string TextOf(CMacroContext& scope, const char* name)
{
    std::string text;
    CMacro* macro = scope.GetMacros().Lookup(name);
    if (macro)
        macro->GetText(text);
    return text;
}

class NamedStringsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-strings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        platform::CloseRegistryDatabase();
        ::setenv("VELMORA_REGISTRY", (m_dir + "/registry.db").c_str(), 1);
        ASSERT_EQ(platform::RegistryKey::LocalMachine().Create(kListPath, m_list), platform::kErrorSuccess);
    }
    void TearDown() override
    {
        m_list.Close();
        platform::CloseRegistryDatabase();
        ::unsetenv("VELMORA_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    platform::RegistryKey StringsKey()
    {
        platform::RegistryKey key;
        EXPECT_EQ(m_list.Create("Strings", key), platform::kErrorSuccess);
        return key;
    }

    static constexpr const char* kListPath = "Software\\Tessaline\\Velmora\\HTTP";
    std::string m_dir;
    platform::RegistryKey m_list;
};

} // namespace

TEST(StringTable, HttpDefaultsAreThePublishedTexts)
{
    CMacroContext scope;
    scope.LoadStrings(kHttpDefaultStrings, 0);
    EXPECT_EQ(scope.GetMacros().GetCount(), static_cast<int>(std::size(kExpectedHttpTexts)));
    for (const ExpectedText& expected : kExpectedHttpTexts)
        EXPECT_EQ(TextOf(scope, expected.name), expected.text) << expected.name;
}

TEST(StringTable, ProxyDefaultsAreThePublishedTexts)
{
    std::map<std::string, std::string> expected;
    for (const ExpectedText& text : kExpectedHttpTexts)
        expected[text.name] = text.text;
    for (const ExpectedText& text : kExpectedProxyOnlyTexts)
        expected[text.name] = text.text;
    CMacroContext scope;
    scope.LoadStrings(kProxyDefaultStrings, 0);
    EXPECT_EQ(scope.GetMacros().GetCount(), 16);
    for (const DefaultStringRow* row = kProxyDefaultStrings; row->name; ++row) {
        ASSERT_TRUE(expected.count(row->name)) << row->name;
        EXPECT_EQ(TextOf(scope, row->name), expected[row->name]) << row->name;
    }
}

TEST(StringTable, EveryRowResolvesWithinTheEntryLimit)
{
    for (const DefaultStringRow* table : {kHttpDefaultStrings, kProxyDefaultStrings, kChatDefaultStrings, kGlobalDefaultStrings}) {
        int rows = 0;
        for (const DefaultStringRow* row = table; row->name; ++row, ++rows) {
            std::string joined;
            for (std::uint32_t i = 0; i < row->count; ++i) {
                const char* piece = LoadStringById(row->firstId + i);
                ASSERT_NE(piece, nullptr) << row->name << " piece " << i;
                EXPECT_LE(std::string(piece).size(), kMaxStringEntryLength) << row->name;
                joined += piece;
            }
            EXPECT_EQ(LoadDefaultText(*row), joined) << row->name;
            EXPECT_NE(LoadStringById(row->descriptionId), nullptr) << row->name;
        }
        EXPECT_GT(rows, 0);
    }
    EXPECT_EQ(LoadStringById(99999), nullptr);
    DefaultStringRow missing{"missing", 99990, 2, 0};
    EXPECT_EQ(LoadDefaultText(missing), "");
}

TEST(StringTable, ReasonPhrasesAndSharedEntries)
{
    const std::pair<unsigned, const char*> reasons[] = {
        {200, "OK"}, {302, "Moved"}, {303, "See Other"}, {401, "Authentication required"}, {404, "URL not found"}, {504, "Gateway timeout"},
    };
    for (const auto& [status, text] : reasons)
        EXPECT_STREQ(LoadStringById(status), text) << status;
    EXPECT_EQ(LoadStringById(418), nullptr);

    CMacroContext chat;
    chat.LoadStrings(kChatDefaultStrings, 0);
    EXPECT_EQ(chat.GetMacros().GetCount(), 33);
    EXPECT_EQ(TextOf(chat, "chat-dlg-realtime-form"), TextOf(chat, "chat-dlg-realtime-anon-form"));
    std::string form = TextOf(chat, "chat-dlg-form");
    std::string anon = TextOf(chat, "chat-dlg-anon-form");
    std::size_t shared = std::string(LoadStringById(1088)).size() + std::string(LoadStringById(1089)).size();
    EXPECT_EQ(form.substr(0, shared), anon.substr(0, shared));
    EXPECT_NE(form, anon);
    EXPECT_NE(TextOf(chat, "room-join-form").find("%copyright%"), std::string::npos);
}

TEST(NamedStrings, LoadStringsKeepAndReadOnly)
{
    CMacroContext scope;
    scope.SetStringMacro("Mine", "kept");
    scope.LoadStrings(kGlobalDefaultStrings, 1);
    EXPECT_EQ(TextOf(scope, "mine"), "kept");
    EXPECT_NE(TextOf(scope, "copyright").find("Velmora"), std::string::npos);
    scope.LoadStrings(kGlobalDefaultStrings, 0);
    EXPECT_EQ(scope.GetMacros().GetCount(), 1);

    scope.SetReadOnly(true);
    EXPECT_EQ(scope.LoadStrings(kHttpDefaultStrings, 0), 1);
    EXPECT_EQ(scope.GetMacros().GetCount(), 1);
}

TEST_F(NamedStringsTest, RegistryValueOverridesDefaultWhateverItsCase)
{
    platform::RegistryKey strings = StringsKey();
    strings.SetString("HTTP-BadURL", "gone: %client-url%");
    strings.SetString("Extra-Page", "extra");
    CMacroContext scope;
    scope.LoadStrings(kHttpDefaultStrings, 0);
    EXPECT_EQ(scope.LoadFromRegistry(m_list, "Strings", 1), 1);
    EXPECT_EQ(TextOf(scope, "http-badurl"), "gone: %client-url%");
    EXPECT_EQ(TextOf(scope, "extra-page"), "extra");
    EXPECT_EQ(TextOf(scope, "http-noauth"), kExpectedHttpTexts[3].text);
    EXPECT_EQ(scope.GetMacros().GetCount(), 16);
}

TEST_F(NamedStringsTest, OversizedValuesDoNotStopTheLoad)
{
    platform::RegistryKey strings = StringsKey();
    std::string longName(200, 'n');
    std::string longText(20000, 'x');
    strings.SetString("first", "1");
    strings.SetString(longName, "long name");
    strings.SetString("big", longText);
    strings.SetString("after", "still here");
    CMacroContext scope;
    ASSERT_EQ(scope.LoadFromRegistry(m_list, "Strings", 0), 1);
    EXPECT_EQ(scope.GetMacros().GetCount(), 4);
    EXPECT_EQ(TextOf(scope, longName.c_str()), "long name");
    EXPECT_EQ(TextOf(scope, "big"), longText);
    EXPECT_EQ(TextOf(scope, "after"), "still here");
}

TEST_F(NamedStringsTest, MissingKeyKeepsOrEmpties)
{
    CMacroContext scope;
    scope.LoadStrings(kHttpDefaultStrings, 0);
    EXPECT_EQ(scope.LoadFromRegistry(m_list, "NoSuchKey", 1), 0);
    EXPECT_EQ(scope.GetMacros().GetCount(), 15);
    EXPECT_EQ(scope.LoadFromRegistry(m_list, "NoSuchKey", 0), 0);
    EXPECT_TRUE(scope.GetMacros().IsEmpty());
}

TEST_F(NamedStringsTest, SaveWritesEveryEntryInMapOrder)
{
    StringsKey().SetString("stale", "removed by the save");
    CMacroContext scope;
    scope.LoadStrings(kHttpDefaultStrings, 0);
    scope.SetStringMacro("HTTP-Dir", "edited listing");
    ASSERT_EQ(scope.SaveToRegistry(m_list, "Strings"), 1);

    std::vector<std::pair<std::string, std::string>> mapOrder;
    for (CMacroMap::Entry entry : scope.GetMacros()) {
        std::string text;
        entry.macro->GetText(text);
        mapOrder.emplace_back(std::string(entry.key), text);
    }
    platform::RegistryKey strings = StringsKey();
    std::vector<std::pair<std::string, std::string>> saved;
    std::string name;
    platform::RegistryValue value;
    for (std::uint32_t i = 0; strings.EnumValue(i, name, value) == platform::kErrorSuccess; ++i) {
        EXPECT_EQ(value.type, platform::kRegSz);
        ASSERT_FALSE(value.data.empty());
        EXPECT_EQ(value.data.back(), 0) << "written with its NUL";
        saved.emplace_back(name, std::string(value.data.begin(), value.data.end() - 1));
    }
    EXPECT_EQ(saved, mapOrder);
    EXPECT_EQ(saved.size(), 15u);

    CMacroContext reloaded;
    reloaded.LoadFromRegistry(m_list, "Strings", 0);
    EXPECT_EQ(TextOf(reloaded, "http-dir"), "edited listing");
}

TEST(NamedStrings, EditingByPosition)
{
    CMacroContext scope;
    EXPECT_EQ(scope.GetStartPosition(), CMacroContext::kNoPosition);
    scope.LoadStrings(kHttpDefaultStrings, 0);
    std::vector<std::string> names;
    std::string name, text;
    for (CMacroContext::Position at = scope.GetStartPosition(); at != CMacroContext::kNoPosition && names.size() < 100;) {
        scope.GetNextMacro(at, name, text);
        EXPECT_EQ(text, TextOf(scope, name.c_str()));
        names.push_back(name);
    }
    ASSERT_EQ(names.size(), 15u);
    EXPECT_EQ(scope.GetMacroAt(3, name, text), 1);
    EXPECT_EQ(name, names[2]);
    EXPECT_EQ(scope.GetMacroAt(16, name, text), 0);
    EXPECT_TRUE(scope.RemoveMacro(3));
    EXPECT_EQ(scope.GetMacros().Lookup(names[2]), nullptr);
    EXPECT_FALSE(scope.RemoveMacro(15));

    scope.SetReadOnly(true);
    scope.SetStringMacro("New-One", "t");
    EXPECT_EQ(TextOf(scope, "new-one"), "t");
}

TEST(NamedStrings, CopyAndFactory)
{
    CMacroContext parent;
    CMacroContext source(&parent);
    source.SetStringMacro("a", "%b%");
    source.GetMacros().InsertHead("Value", new CValueMacro("v"));
    source.SetReadOnly(true);
    CMacroContext copy;
    copy.SetStringMacro("old", "x");
    copy.CopyStringsFrom(source);
    EXPECT_EQ(copy.GetParentScope(), &parent);
    EXPECT_TRUE(copy.IsReadOnly());
    EXPECT_EQ(TextOf(copy, "a"), "%b%");
    EXPECT_NE(copy.GetMacros().Lookup("value"), nullptr);
    EXPECT_EQ(copy.GetMacros().Lookup("old"), nullptr);

    SetMacroScopeFactory(nullptr);
    EXPECT_EQ(CreateMacroScope(), nullptr);
    InitMacroLibrary();
    std::unique_ptr<CMacroScope> made = CreateMacroScope();
    ASSERT_NE(made, nullptr);
    EXPECT_NE(dynamic_cast<CMacroContext*>(made.get()), nullptr);
}

TEST_F(NamedStringsTest, ServiceConfigKeepsItsStringsThroughTheFactory)
{
    InitMacroLibrary();
    StringsKey().SetString("Server-Page", "first");
    CServiceConfig config;
    ASSERT_EQ(config.Open(m_list, "", 1), 1);
    auto* strings = dynamic_cast<CMacroContext*>(config.GetStrings());
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(TextOf(*strings, "server-page"), "first");

    StringsKey().SetString("Server-Page", "second");
    config.Load(1, 1);
    EXPECT_EQ(TextOf(*strings, "server-page"), "first") << "strings wait for a restart";

    CServiceConfig copy(config);
    auto* copied = dynamic_cast<CMacroContext*>(copy.GetStrings());
    ASSERT_NE(copied, nullptr);
    EXPECT_NE(copied, strings);
    EXPECT_EQ(TextOf(*copied, "server-page"), "first");

    EXPECT_EQ(config.SaveToKey(m_list, "Saved"), 0);
    CMacroContext saved;
    EXPECT_EQ(saved.LoadFromRegistry(m_list, "Saved\\Strings", 0), 1);
    EXPECT_EQ(TextOf(saved, "server-page"), "first");
}
