#include "platform/registry_file.h"

#include "platform/registry_fixture.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace platform;

namespace {

const RegistryKey& Hklm()
{
    return RegistryKey::LocalMachine();
}

std::string Export(std::string_view path)
{
    std::string_view rest;
    const RegistryKey* root = SplitRegistryPath(path, &rest);
    RegistryKey key;
    if (!root || root->Open(rest, key) != kErrorSuccess)
        return "(missing)";
    std::string text;
    RegistryTextResult result = ExportRegistryText(key, text);
    return result.Ok() ? text : "(failed: " + result.message + ")";
}

void SetRaw(const RegistryKey& key, std::string_view name, std::uint32_t type, std::string_view bytes)
{
    ASSERT_EQ(key.SetValue(name, type, bytes.data(), bytes.size()), kErrorSuccess) << name;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

class RegistryFileTest : public RegistryFixture {
protected:
    // An exported text imported into a fresh hive exports again as itself.
    void ExpectItRebuildsAFreshHive(const std::string& text, std::string_view path)
    {
        UseHive(HivePath("fresh.db"));
        ASSERT_EQ(Export(path), "(missing)");
        RegistryTextResult result = ImportRegistryText(text);
        ASSERT_TRUE(result.Ok()) << result.line << ": " << result.message;
        EXPECT_EQ(Export(path), text);
    }
};

TEST_F(RegistryFileTest, ExportWritesEveryTypeInItsForm)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Tessaline\\Velmora", key), kErrorSuccess);
    ASSERT_EQ(key.SetString("Path", "C:\\dir \"quoted\""), kErrorSuccess);
    ASSERT_EQ(key.SetString("", "default"), kErrorSuccess);
    ASSERT_EQ(key.SetDword("LastMod", 0x1E), kErrorSuccess);
    SetRaw(key, "Blob", kRegBinary, std::string_view("\x01\x02\xff", 3));
    SetRaw(key, "Empty", kRegBinary, "");
    ASSERT_EQ(key.SetString("Expand", "%T%", kRegExpandSz), kErrorSuccess);
    ASSERT_EQ(key.SetMultiString("List", {"a", "b"}), kErrorSuccess);
    SetRaw(key, "None", kRegNone, std::string_view("\0", 1));
    SetRaw(key, "Q", 11, std::string_view("\x08\0\0\0\0\0\0\0", 8));
    // A REG_SZ that a quoted line could not carry unchanged.
    SetRaw(key, "Two lines", kRegSz, std::string_view("a\nb\0", 4));
    SetRaw(key, "No NUL", kRegSz, "ab");
    SetRaw(key, "Short dword", kRegDword, std::string_view("\x01\x02", 2));
    ASSERT_EQ(key.SetString("na\"me\\", ""), kErrorSuccess);
    RegistryKey child;
    ASSERT_EQ(key.Create("beta", child), kErrorSuccess);
    ASSERT_EQ(key.Create("Alpha\\Inner", child), kErrorSuccess);
    ASSERT_EQ(child.SetDword("n", 0xDEADBEEF), kErrorSuccess);

    const std::string expected =
        "REGEDIT4\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora]\n"
        "\"Path\"=\"C:\\\\dir \\\"quoted\\\"\"\n"
        "@=\"default\"\n"
        "\"LastMod\"=dword:0000001e\n"
        "\"Blob\"=hex:01,02,ff\n"
        "\"Empty\"=hex:\n"
        "\"Expand\"=hex(2):25,54,25,00\n"
        "\"List\"=hex(7):61,00,62,00,00\n"
        "\"None\"=hex(0):00\n"
        "\"Q\"=hex(b):08,00,00,00,00,00,00,00\n"
        "\"Two lines\"=hex(1):61,0a,62,00\n"
        "\"No NUL\"=hex(1):61,62\n"
        "\"Short dword\"=hex(4):01,02\n"
        "\"na\\\"me\\\\\"=\"\"\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\Alpha]\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\Alpha\\Inner]\n"
        "\"n\"=dword:deadbeef\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\beta]\n"
        "\n";
    EXPECT_EQ(Export("hklm\\software\\tessaline\\velmora"), expected);
}

TEST_F(RegistryFileTest, LongHexDataWrapsAndReadsBack)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Wrap", key), kErrorSuccess);
    std::string bytes;
    for (int i = 0; i < 1000; ++i)
        bytes += static_cast<char>(i * 13);
    SetRaw(key, "Certificate", kRegBinary, bytes);
    SetRaw(key, std::string(120, 'L'), kRegMultiSz, bytes.substr(0, 40));
    std::string text = Export("HKLM\\Software\\Wrap");
    std::vector<std::string> lines = Lines(text);
    std::size_t continued = 0;
    for (const std::string& line : lines) {
        if (line.size() > 120) // only the line with the 120-letter name may pass the width
            EXPECT_EQ(line.find(std::string(120, 'L')), 1u) << line;
        else
            EXPECT_LE(line.size(), kRegistryTextLineWidth) << line;
        if (!line.empty() && line.back() == '\\') {
            ++continued;
            EXPECT_EQ(line.substr(line.size() - 2), ",\\");
        }
    }
    EXPECT_GT(continued, 10u);

    ASSERT_EQ(Hklm().DeleteTree("Software\\Wrap"), kErrorSuccess);
    RegistryTextResult result = ImportRegistryText(text);
    ASSERT_TRUE(result.Ok()) << result.line << ": " << result.message;
    ASSERT_EQ(Hklm().Open("Software\\Wrap", key), kErrorSuccess);
    RegistryValue value;
    ASSERT_EQ(key.QueryValue("certificate", value), kErrorSuccess);
    EXPECT_EQ(std::string(value.data.begin(), value.data.end()), bytes);
    EXPECT_EQ(Export("HKLM\\Software\\Wrap"), text);
}

TEST_F(RegistryFileTest, ExportImportExportIsIdentical)
{
    std::mt19937 random(20240611);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const char* names[] = {"Servers", "80:127.0.0.1", "Strings", "users", "Paths", "cgi", "Zeta", "_x", "MIME", "a/b]"};
    std::vector<std::string> keys = {"Software\\Round"};
    for (int i = 0; i < 40; ++i) {
        std::string path = keys[pick(static_cast<int>(keys.size()))] + "\\" + names[pick(10)] + std::to_string(pick(3));
        RegistryKey key;
        ASSERT_EQ(Hklm().Create(path, key), kErrorSuccess);
        keys.push_back(path);
        for (int v = pick(6); v > 0; --v) {
            std::string name = v == 1 ? std::string() : "value " + std::to_string(pick(20)) + "\\\"";
            std::string data;
            for (int b = pick(150); b > 0; --b)
                data += static_cast<char>(pick(256));
            std::uint32_t types[] = {kRegSz, kRegExpandSz, kRegBinary, kRegDword, kRegMultiSz, kRegNone, 11};
            std::uint32_t type = types[pick(7)];
            if (type == kRegSz && pick(2))
                ASSERT_EQ(key.SetString(name, "text \\ with \"quotes\" " + std::to_string(pick(99))), kErrorSuccess);
            else if (type == kRegDword && pick(2))
                ASSERT_EQ(key.SetDword(name, static_cast<std::uint32_t>(random())), kErrorSuccess);
            else
                SetRaw(key, name, type, data);
        }
    }
    std::string first = Export("HKEY_LOCAL_MACHINE\\Software\\Round");
    ASSERT_EQ(first.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Round]\n", 0), 0u);

    ExpectItRebuildsAFreshHive(first, "HKLM\\Software\\Round");
}

TEST_F(RegistryFileTest, ImportTakesDeletionsCommentsAndCrLf)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Old\\Sub", key), kErrorSuccess);
    ASSERT_EQ(Hklm().Create("Software\\Keep", key), kErrorSuccess);
    ASSERT_EQ(key.SetString("drop", "x"), kErrorSuccess);
    ASSERT_EQ(key.SetString("stay", "y"), kErrorSuccess);

    const std::string text =
        "\xEF\xBB\xBFREGEDIT4\r\n"
        "\r\n"
        "; a comment line\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Never\\There]\r\n"
        "\r\n"
        "[HKLM\\Software\\Keep]\r\n"
        "\"drop\"=-\r\n"
        "\"absent\"=-\r\n"
        "  \"n\" = dword:1F\r\n"
        "\"bin\"=hex:0A,0b, \\\r\n"
        "    0c\r\n"
        "@=\"def\"\r\n"
        "[HKEY_CURRENT_USER\\Software\\New]\n"
        "\"t\"=hex(2):41,00\n";
    RegistryTextResult result = ImportRegistryText(text);
    ASSERT_TRUE(result.Ok()) << result.line << ": " << result.message;
    EXPECT_EQ(Hklm().Open("Software\\Old", key), kErrorFileNotFound);
    EXPECT_EQ(Export("HKLM\\Software\\Keep"),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Keep]\n\"stay\"=\"y\"\n\"n\"=dword:0000001f\n"
              "\"bin\"=hex:0a,0b,0c\n@=\"def\"\n\n");
    EXPECT_EQ(Export("HKCU\\Software\\New"), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\New]\n\"t\"=hex(2):41,00\n\n");
}

TEST_F(RegistryFileTest, ImportErrorsNameTheLineAndImportNothing)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Stable", key), kErrorSuccess);
    ASSERT_EQ(key.SetString("v", "before"), kErrorSuccess);
    const std::string before = Export("HKLM\\Software");

    // Each text first changes the hive, then fails on the line given.
    const std::string good = "REGEDIT4\n\n[HKLM\\Software\\Stable]\n\"v\"=\"after\"\n[-HKLM\\Software\\Stable]\n"
                             "[HKLM\\Software\\Added]\n\"a\"=\"1\"\n";
    struct Case {
        std::string tail;
        std::size_t line;
        int code;
    };
    const std::vector<Case> cases = {
        {"\"x\"=\"bad \\escape\"\n", 8, kErrorInvalidParameter},
        {"\"x\"=\"unterminated\n", 8, kErrorInvalidParameter},
        {"\"x\"=\"text\" extra\n", 8, kErrorInvalidParameter},
        {"\"x\"=dword:123456789\n", 8, kErrorInvalidParameter},
        {"\"x\"=dword:xyz\n", 8, kErrorInvalidParameter},
        {"\"x\"=hex:01,zz\n", 8, kErrorInvalidParameter},
        {"\"x\"=hex:01,,02\n", 8, kErrorInvalidParameter},
        {"\"x\"=hex:123\n", 8, kErrorInvalidParameter},
        {"\"x\"=hex(1x):00\n", 8, kErrorInvalidParameter},
        {"\"x\"=hex:01,\\\n", 8, kErrorInvalidParameter},
        {"\"x\"=hex:01,\\\n  02,\\\n  zz\n", 8, kErrorInvalidParameter},
        {"\"x\"=text\n", 8, kErrorInvalidParameter},
        {"x=\"1\"\n", 8, kErrorInvalidParameter},
        {"\"x\" \"1\"\n", 8, kErrorInvalidParameter},
        {"\n; fine\n[HKEY_NOWHERE\\x]\n", 10, kErrorInvalidParameter},
        {"[HKLM\\Software\\x\n", 8, kErrorInvalidParameter},
        {"[-HKLM\\Software\\Added]\n\"x\"=\"1\"\n", 9, kErrorInvalidParameter},
        {"[-HKEY_LOCAL_MACHINE]\n", 8, kErrorAccessDenied},
    };
    for (const Case& c : cases) {
        RegistryTextResult result = ImportRegistryText(good + c.tail);
        EXPECT_EQ(result.code, c.code) << c.tail;
        EXPECT_EQ(result.line, c.line) << c.tail << result.message;
        EXPECT_FALSE(result.message.empty());
        EXPECT_EQ(Export("HKLM\\Software"), before) << c.tail;
    }

    RegistryTextResult header = ImportRegistryText("REGEDIT5\n\n[HKLM\\Software\\X]\n");
    EXPECT_EQ(header.line, 1u);
    EXPECT_EQ(ImportRegistryText("").line, 1u);
    RegistryTextResult orphan = ImportRegistryText("REGEDIT4\n\"x\"=\"1\"\n");
    EXPECT_EQ(orphan.line, 2u);
    EXPECT_EQ(Export("HKLM\\Software"), before);
    // The good part alone does apply.
    RegistryTextResult applied = ImportRegistryText(good);
    ASSERT_TRUE(applied.Ok()) << applied.message;
    EXPECT_EQ(Hklm().Open("Software\\Stable", key), kErrorFileNotFound);
}

TEST_F(RegistryFileTest, NamesWithControlCharactersAreLeftOutOfAnExportAndNamed)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Odd", key), kErrorSuccess);
    ASSERT_EQ(key.SetDword("good", 1), kErrorSuccess);
    ASSERT_EQ(key.SetDword("line\nbreak", 2), kErrorSuccess);
    ASSERT_EQ(key.SetDword("x\r\ny", 3), kErrorSuccess);
    ASSERT_EQ(key.SetDword("tab\there", 4), kErrorSuccess);
    RegistryKey child;
    ASSERT_EQ(key.Create("esc\x1b[31m\\Inner", child), kErrorSuccess);
    ASSERT_EQ(key.Create("sub\rkey", child), kErrorSuccess);
    ASSERT_EQ(key.Create("zeta", child), kErrorSuccess);
    ASSERT_EQ(child.SetString("v", "z"), kErrorSuccess);

    std::string text;
    RegistryTextResult result = ExportRegistryText(key, text);
    ASSERT_TRUE(result.Ok()) << result.message;
    EXPECT_EQ(text, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Odd]\n\"good\"=dword:00000001\n"
                    "\"tab\there\"=dword:00000004\n\n[HKEY_LOCAL_MACHINE\\Software\\Odd\\zeta]\n\"v\"=\"z\"\n\n");
    EXPECT_EQ(result.omitted,
              (std::vector<std::string>{"the value \"line\\x0abreak\" of HKEY_LOCAL_MACHINE\\Software\\Odd",
                                        "the value \"x\\x0d\\x0ay\" of HKEY_LOCAL_MACHINE\\Software\\Odd",
                                        "the key HKEY_LOCAL_MACHINE\\Software\\Odd\\esc\\x1b[31m with its subkeys",
                                        "the key HKEY_LOCAL_MACHINE\\Software\\Odd\\sub\\x0dkey with its subkeys"}));

    // What was written reads back whole.
    ExpectItRebuildsAFreshHive(text, "HKLM\\Software\\Odd");
}

TEST_F(RegistryFileTest, ImportRefusesNamesWithControlCharactersButDeletesThem)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Odd\\esc\x1b[31m", key), kErrorSuccess);
    ASSERT_EQ(key.SetDword("x\x1by", 1), kErrorSuccess);
    const std::string before = Export("HKLM\\Software\\Tessaline");
    struct Case {
        std::string text;
        std::size_t line;
        std::string shown; // how the message names it
    };
    const std::vector<Case> cases = {
        {"[HKLM\\Software\\Tessaline]\n\"v\"=\"1\"\n[HKLM\\Software\\a\rb]\n", 5, "a\\x0db"},
        {"[HKLM\\Software\\Tessaline\\e\x1b]0;title\x07]\n", 3, "e\\x1b]0;title\\x07"},
        {"[HKLM\\Software\\Tessaline]\n\"a\rb\"=dword:1\n", 4, "a\\x0db"},
        {"[HKLM\\Software\\Tessaline]\n\n\"\x1b[2J\"=\"x\"\n", 5, "\\x1b[2J"},
        {"[HKLM\\Software\\Tessaline]\n\"del\x7f\"=hex:01\n", 4, "del\\x7f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        RegistryTextResult result = ImportRegistryText("REGEDIT4\n\n" + c.text);
        EXPECT_EQ(result.code, kErrorInvalidParameter);
        EXPECT_EQ(result.line, c.line);
        EXPECT_NE(result.message.find(c.shown), std::string::npos) << result.message;
        EXPECT_EQ(result.message.find('\x1b'), std::string::npos) << "the message itself is safe to print";
        EXPECT_EQ(Export("HKLM\\Software\\Tessaline"), before);
    }
    // Deleting such names is how they are cleaned up.
    RegistryTextResult deleted = ImportRegistryText("REGEDIT4\n\n[-HKLM\\Software\\Odd\\esc\x1b[31m]\n");
    ASSERT_TRUE(deleted.Ok()) << deleted.line << ": " << deleted.message;
    EXPECT_EQ(Hklm().Open("Software\\Odd\\esc\x1b[31m", key), kErrorFileNotFound);
}
