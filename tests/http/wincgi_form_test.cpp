// The fields of a WinCGI form: which section each value lands in, how
// repeated names are renamed, where a body stops, and where a huge value
// lies in the content file.

#include "http/wincgi_form.h"

#include <gtest/gtest.h>

namespace {

using Kind = CWinCGIField::Kind;

std::string Repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

std::string Describe(const CWinCGIField& field)
{
    switch (field.kind) {
    case Kind::Literal:
        return "L " + field.key + "=" + field.value;
    case Kind::External:
        return "E " + field.key + " " + std::to_string(field.value.size());
    case Kind::Huge:
        return "H " + field.key + " " + std::to_string(field.offset) + " " + std::to_string(field.length);
    }
    return {};
}

TEST(WinCGIFormTest, FieldsLandInTheirSections)
{
    const std::string quote300(300, 'q');
    const std::string long70k(70000, 'h');
    struct Row {
        std::string body;
        std::vector<std::string> fields;
    };
    const Row rows[] = {
        {"a=1&a=2&b=", {"L a=1", "L a_1=2", "L b="}},
        // Renaming skips a name that is already taken, in any case.
        {"a=1&A_1=x&a=2&A=3", {"L a=1", "L A_1=x", "L a_2=2", "L A_3=3"}},
        {"x=1&&y=2", {"L x=1"}},
        {"w=two+words%21&n", {"L w=two words!", "L n="}},
        // A run of '=' is one separator; a later '=' belongs to the value.
        {"k==v=w", {"L k=v=w"}},
        {"q=%22quoted%22", {"E q 8"}},
        {"t=a%09b", {"E t 3"}},
        {"c=line%0Abreak", {"E c 10"}},
        {"big=" + quote300, {"E big 300"}},
        {"e=" + std::string(254, 'e'), {"L e=" + std::string(254, 'e')}},
        {"e=" + std::string(255, 'e'), {"E e 255"}},
        // The huge value's own bytes: after the name and its '=' run, as
        // sent, whatever its key became.
        {"h=1&h==" + long70k + "&z=9", {"L h=1", "H h_1 7 70000", "L z=9"}},
        {"p=" + std::string(65535, 'p'), {"E p 65535"}},
        {"u=" + std::string(65536, 'A'), {"H u 2 65536"}},
        // Encoded bytes count decoded for the choice, as sent for the length.
        {"m=" + Repeat("%41", 30000), {"E m 30000"}},
        {"v=" + Repeat("%41", 65536), {"H v 2 196608"}},
    };
    for (const Row& row : rows) {
        CWinCGIForm form;
        ASSERT_TRUE(form.Parse(row.body)) << row.body.substr(0, 40);
        std::vector<std::string> got;
        for (const CWinCGIField& field : form.Fields())
            got.push_back(Describe(field));
        EXPECT_EQ(got, row.fields) << row.body.substr(0, 40);
    }
}

TEST(WinCGIFormTest, AManyTimesRepeatedNameIsRenamedInOnePass)
{
    // Searched from _1 for every repeat, this form took minutes.
    std::string body = "a_7=x&" + Repeat("a=1&", 100000);
    CWinCGIForm form;
    ASSERT_TRUE(form.Parse(body));
    ASSERT_EQ(form.Fields().size(), 100001u);
    EXPECT_EQ(form.Fields()[7].key, "a_6");
    EXPECT_EQ(form.Fields()[8].key, "a_8");
    EXPECT_EQ(form.Fields().back().key, "a_100000");
}

TEST(WinCGIFormTest, ANameAProfileCannotHoldRefusesTheForm)
{
    for (const char* body : {"a\r\nb=1", "ok=1&a\nb=2", "ok=1&=2", "[x]=1", ";x=1", "a\rb=1"}) {
        CWinCGIForm form;
        EXPECT_FALSE(form.Parse(body)) << body;
        EXPECT_TRUE(form.Fields().empty()) << body;
    }
    CWinCGIForm form;
    EXPECT_FALSE(form.Parse("ok=1&bad\nname=2"));
    EXPECT_EQ(form.BadName(), "bad\nname");
}

} // namespace
