// The client state's encoding and the text helpers of posting, as tables.

#include "chat/chat_line.h"
#include "chat/chat_room.h"
#include "chat/client_state.h"

#include <gtest/gtest.h>

namespace {

CChatClientState AnnToBob()
{
    CChatClientState state;
    state.name = "Ann Lee";
    state.to = "bob@10.0.0.2";
    state.realtime = 1;
    state.showtime = 1;
    state.numlines = 20;
    return state;
}

TEST(ChatClientStateTest, FormatFullAndPartial)
{
    struct Case {
        CChatClientState state;
        int partial;
        const char* text;
    };
    CChatClientState odd;
    odd.name = "a&b=c";
    odd.lockout = "x@1.2.3.4,";
    odd.pict = "http://p/x.gif";
    odd.showpict = odd.showsource = 1;
    odd.numlines = 0;
    const Case cases[] = {
        {AnnToBob(), 0, "name=Ann+Lee&to=bob%4010%2E0%2E0%2E2&realtime=on&showtime=on&numlines=20&"},
        {AnnToBob(), 1, "name=Ann+Lee&to=bob%4010%2E0%2E0%2E2&"},
        {CChatClientState{}, 0, "numlines=6&"},
        {CChatClientState{}, 1, ""},
        {odd, 0, "name=a%26b%3Dc&pict=http%3A%2F%2Fp%2Fx%2Egif&lockout=x%401%2E2%2E3%2E4%2C&showpict=on&showsource=on&numlines=0&"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.state.Format(c.partial), c.text);
}

TEST(ChatClientStateTest, ParseFormAppliesOnlyTheKnownFieldsPresent)
{
    struct Case {
        const char* text;
        std::string name, to, textField, pict;
        int numlines, realtime, showpict;
    };
    // Each case starts from a state named "Old" with realtime set.
    const Case cases[] = {
        {"name=Ann&&showpict=on&numlines=abc", "Ann", "", "", "", 0, 1, 1},
        {"Name=Ann", "Old", "", "", "", 6, 1, 0},
        {"realtime=", "Old", "", "", "", 6, 0, 0},
        {"text=hello\r\n", "Old", "", "hello", "", 6, 1, 0},
        {"a=b=c", "Old", "", "", "", 6, 1, 0},
        {"pict=x=y", "Old", "", "", "x", 6, 1, 0},
        {"to=a%40b%2C&name=A+B&numlines=12x", "A B", "a@b,", "", "", 12, 1, 0},
        {"numlines=99999999999999", "Old", "", "", "", 2147483647, 1, 0},
        {"==name=Eve&url", "Eve", "", "", "", 6, 1, 0},
    };
    for (const Case& c : cases) {
        CChatClientState state;
        state.name = "Old";
        state.realtime = 1;
        state.ParseForm(c.text);
        EXPECT_EQ(state.name, c.name) << c.text;
        EXPECT_EQ(state.to, c.to) << c.text;
        EXPECT_EQ(state.text, c.textField) << c.text;
        EXPECT_EQ(state.pict, c.pict) << c.text;
        EXPECT_EQ(state.numlines, c.numlines) << c.text;
        EXPECT_EQ(state.realtime, c.realtime) << c.text;
        EXPECT_EQ(state.showpict, c.showpict) << c.text;
    }
    // What Format writes, ParseForm reads back.
    CChatClientState back;
    back.ParseForm(AnnToBob().Format(0));
    EXPECT_EQ(back.Format(0), AnnToBob().Format(0));
}

TEST(ChatTextTest, CommaLists)
{
    struct Case {
        const char* item;
        const char* list;
        int in;
        const char* without;
    };
    const Case cases[] = {
        {"b@1", "a@1,b@1,", 1, "a@1,"},
        {"b@1", ",,b@1,,c@2", 1, "c@2,"},
        {"b@", "b@1,", 0, "b@1,"},
        {"", "a,b", 0, "a,b,"},
        {"a", "", 0, ""},
        {"A", "a", 0, "a,"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsInCommaList(c.item, c.list), c.in) << c.item << " in " << c.list;
        std::string out = "stale";
        RemoveFromCommaList(out, c.item, c.list);
        EXPECT_EQ(out, c.without) << c.item << " from " << c.list;
    }
}

TEST(ChatTextTest, ImagesAreDisabledAndShoutingIsLowered)
{
    const std::pair<const char*, const char*> images[] = {
        {"look <IMG SRC=x.gif> here", "look &lt;IMG SRC=x.gif> here"},
        {"<b>bold</b>", "<b>bold</b>"},
        {"< img src=x>", "&lt; img src=x>"},
        {"<imgx>", "<imgx>"},
        {"a < b", "a &lt; b"},
    };
    for (const auto& [text, escaped] : images)
        EXPECT_EQ(EscapeIMGTags(text), escaped) << text;

    const std::pair<const char*, const char*> shouts[] = {
        {"HELLO EVERYBODY OUT THERE", "hello everybody out there"},
        {"Hello Everybody", "Hello Everybody"},
        {"<B>HI</B> THERE", "<B>HI</B> THERE"},
        {"<B>HI</B> THERE EVERYONE", "<B>hi</B> there everyone"},
        {"ABCDEFGHIJ", "ABCDEFGHIJ"},
        {"ABCDEFghijklmn", "abcdefghijklmn"},
        {"ABCDEfghijklm", "ABCDEfghijklm"},
    };
    for (const auto& [text, lowered] : shouts) {
        std::string copy = text;
        DecapitateText(copy);
        EXPECT_EQ(copy, lowered) << text;
    }
}

TEST(ChatTextTest, PrivateLinesReachTheirPartiesWhateverTheirNames)
{
    // Names with the characters that cleaning changes: the viewer's key
    // must be cleaned as the line's key was.
    for (const char* name : {"bob", "a&b", "say \"hi\"", "x>y", "<u>u</u>", "a,b", "<script>"}) {
        CChatLine line;
        line.name = CleanPosterName("ann & co");
        line.ip = "10.0.0.1";
        line.key = MakeUserKey(line.name, line.ip);
        CChatClientState bob;
        bob.name = name;
        bob.ip = "10.0.0.2";
        line.to = ViewerKey(bob) + ",";
        CChatClientState ann;
        ann.name = "ann & co";
        ann.ip = "10.0.0.1";
        CChatClientState other = bob;
        other.ip = "10.0.0.3";
        CChatClientState anonymous;
        anonymous.ip = "10.0.0.2";
        EXPECT_EQ(line.IsVisibleTo(bob), 1) << name;
        EXPECT_EQ(line.IsVisibleTo(ann), 1) << name << ": the poster sees what he sent";
        EXPECT_EQ(line.IsVisibleTo(other), 0) << name;
        EXPECT_EQ(line.IsVisibleTo(anonymous), 0) << name;
        line.to.clear();
        EXPECT_EQ(line.IsVisibleTo(anonymous), 1) << "a public line";
    }
    EXPECT_EQ(CleanPosterName("a,b"), "a b");
    EXPECT_EQ(CleanPosterName("<script>x"), "&lt;script&gt;x");
}

TEST(ChatTextTest, LogLinesKeepControlCharactersFromSplittingThem)
{
    const std::pair<const char*, const char*> cases[] = {
        {"said \"hi\"", "said \"hi\""},
        {"two\nlines\r\n", "two\\x0Alines\\x0D\\x0A"},
        {"tab\there", "tab\\x09here"},
        {"back\\slash", "back\\\\slash"},
        {"del\x7f", "del\\x7F"},
    };
    for (const auto& [line, escaped] : cases)
        EXPECT_EQ(EscapeLogLine(line), escaped);
}

} // namespace
