// Map texts and click points: every shape in both layouts and short forms,
// the order rules, the polygon's winding rule and its edges, and numbers
// far past 32 bits.

#include "http/cgi_reply.h"
#include "http/clickable_map.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct MapCase {
    const char* name;
    const char* map;
    const char* query;
    const char* url;
};

const char* kShapes = "# comment\n"
                      "; another\n"
                      "/ and another\n"
                      "rect /r1 0,0 10,10\n"
                      "rectangle (20,0) (30,10) /r2\n"
                      "circle /c1 50,50 60,50\n"
                      "circ 50 150 10 /c2\n"
                      "polygon /p1 100,0 200,0 150,100\n"
                      "poly (300,0) (400,0) (400,100) (300,100) /p2\r\n"
                      "point /near 1000,1000\n"
                      "point 1000 1010 /far";

class ClickableMapTest : public ::testing::TestWithParam<MapCase> {};

TEST_P(ClickableMapTest, ChoosesTheDesignedURL)
{
    const MapCase& c = GetParam();
    EXPECT_EQ(ChooseMapURL(c.map, ParseClickPoint(c.query)), c.url) << c.map << " @ " << c.query;
}

const MapCase kCases[] = {
    {"RectEdgeIncluded", kShapes, "10,10", "/r1"},
    {"RectPastEdge", "rect /r1 0,0 10,10", "11,10", ""},
    {"RectNumbersFirst", kShapes, "30,10", "/r2"},
    {"RectCornersNotReordered", "rect /x 10,10 0,0", "5,5", ""},
    {"CircleInside", kShapes, "55,50", "/c1"},
    {"CircleEdgeExcluded", "circle /c1 50,50 60,50", "60,50", ""},
    {"CircleRadiusForm", kShapes, "50,159", "/c2"},
    {"PolygonInside", kShapes, "150,50", "/p1"},
    {"PolygonVertex", kShapes, "100,0", "/p1"},
    {"PolygonSlopedEdge", "poly /t 0,0 100,0 0,100", "50,50", "/t"},
    {"PolygonJustOutside", "poly /t 0,0 100,0 0,100", "51,50", ""},
    {"PolygonNumbersFirst", kShapes, "350,50", "/p2"},
    // A star drawn in one stroke: its centre is wound twice, so non-zero
    // winding holds it where even-odd would not.
    {"StarCentreByWinding", "poly /star 50,0 79,90 2,35 98,35 21,90", "50,45", "/star"},
    {"TwoPointPolygonHoldsNothing", "poly /line 0,0 10,10\ndefault /d", "5,5", "/d"},
    {"NearestPoint", kShapes, "990,990", "/near"},
    {"NearestPointLater", kShapes, "1000,1011", "/far"},
    {"EqualDistanceFirstWins", "point /a 0,10\npoint /b 10,0", "0,0", "/a"},
    {"DefaultThenRect", "default /d\nrect /r 0,0 10,10", "5,5", "/r"},
    {"RectThenDefault", "rect /r 0,0 10,10\ndefault /d", "5,5", "/r"},
    {"PointThenDefault", "point /p 5,5\ndef /d", "5,5", "/d"},
    {"OnlyComments", "# a\n; b\n/ c\n", "1,1", ""},
    {"UnknownShapeSkipped", "oval /o 0 0 100 100\ndefault /d", "5,5", "/d"},
    {"NoQueryClicksAtOrigin", "rect /o 0,0 0,0", "", "/o"},
    {"QuerySeparators", "rect /q 7,8 7,8", " ,7 ,, 8", "/q"},
    {"LastLineWithoutEnd", "rect /a 0,0 1,1\rrect /b 5,5 6,6", "5,6", "/b"},
    {"MissingNumbersReadZero", "rect /z", "0,0", "/z"},
    // Far past 32 bits: the squares would overflow an int.
    {"HugeCircleNoOverflow", "circle /big 0 0 99999999999", "70000,70000", "/big"},
    {"HugePointsNoOverflow", "point /a 99999999999,0\npoint /b 0,0", "99999999999,99999999999", "/a"},
    {"AbsoluteURL", "default http://example.invalid/x", "1,1", "http://example.invalid/x"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ClickableMapTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PolygonHoldsTest, EdgesAndVerticesCountAsInside)
{
    const CMapPoint square[] = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    struct Row {
        CMapPoint point;
        bool inside;
    } rows[] = {
        {{0, 0}, true},  {{10, 10}, true}, {{5, 0}, true},  {{10, 5}, true},
        {{5, 10}, true}, {{0, 5}, true},   {{5, 5}, true},  {{11, 5}, false},
        {{5, 11}, false}, {{-1, 0}, false}, {{10, 11}, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(PolygonHolds(square, 4, row.point), row.inside) << row.point.x << "," << row.point.y;
}

struct ReplyCase {
    const char* name;
    std::string output;
    CCGIReply::State state;
    const char* status;
    const char* location;
    std::string extra;
};

class CGIReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(CGIReplyTest, ParsesAsDesigned)
{
    const ReplyCase& c = GetParam();
    // Fed byte by byte, so no line relies on arriving in one piece.
    CCGIReply reply;
    std::size_t used = 0;
    while (used < c.output.size() && !reply.IsFinished())
        used += reply.Feed(std::string_view(c.output).substr(used, 1));
    reply.End();
    EXPECT_EQ(reply.GetState(), c.state);
    EXPECT_EQ(reply.StatusText(), c.status);
    EXPECT_EQ(reply.Location(), c.location);
    EXPECT_EQ(reply.ExtraHeaders(), c.extra);
    if (c.state == CCGIReply::State::Done && c.output.find("BODY") != std::string::npos) {
        EXPECT_EQ(c.output.substr(used), "BODY") << "no byte of the body is taken as a header";
    }
}

const ReplyCase kReplies[] = {
    {"Plain", "Content-type: text/plain\r\n\r\nBODY", CCGIReply::State::Done, "200 OK", "", "Content-type: text/plain\r\n"},
    {"Status", "status: 404 Not found\nX: 1\n\nBODY", CCGIReply::State::Done, "404 Not found", "", "X: 1\r\n"},
    {"Location", "Location: /next\n\nBODY", CCGIReply::State::Done, "200 OK", "/next", ""},
    {"URIBrackets", "URI: <http://h/u> x\n\nBODY", CCGIReply::State::Done, "200 OK", "http://h/u", ""},
    {"RawLine", "http/1.0 201 Made\nX: 1\n\n", CCGIReply::State::Raw, "200 OK", "", ""},
    {"NothingAtAll", "", CCGIReply::State::Invalid, "200 OK", "", ""},
    {"BlankFirst", "\nBODY", CCGIReply::State::Invalid, "200 OK", "", ""},
    {"NotAHeader", "hello world\n\nBODY", CCGIReply::State::Invalid, "200 OK", "", ""},
    {"StatusNotANumber", "Status: ok\n\nBODY", CCGIReply::State::Invalid, "200 OK", "", ""},
    {"StatusTooShort", "Status: 20\n\nBODY", CCGIReply::State::Invalid, "200 OK", "", ""},
    {"HeadersWithoutBlankLine", "X: 1\n", CCGIReply::State::Done, "200 OK", "", "X: 1\r\n"},
    {"LongLineCutRestDropped", "X: " + std::string(600, 'a') + "\nY: 2\n\nBODY", CCGIReply::State::Done, "200 OK", "",
     "X: " + std::string(508, 'a') + "\r\nY: 2\r\n"},
    {"HeaderBlockBounded", "A: 1\n" + std::string(70000, 'Z'), CCGIReply::State::Invalid, "200 OK", "", "A: 1\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, CGIReplyTest, ::testing::ValuesIn(kReplies),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
