// Clickable maps answered to curl: every shape, the default, a map built by
// macros from the click, a local URL served again, and a map that leads
// back to itself.

#include "e2e_server.h"

using namespace e2e;

namespace {

class MapTest : public E2ETest {};

TEST_F(MapTest, ClicksAnswerTheDesignedRedirectsAndPages)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/shapes.map", "# every shape\n"
                                      "rect http://example.invalid/rect 0,0 10,10\n"
                                      "circle http://example.invalid/circle 50,50 60,50\n"
                                      "poly (100,0) (200,0) (150,100) http://example.invalid/poly\n"
                                      "point http://example.invalid/point 500,500\n"
                                      "default http://example.invalid/default\n");
    WriteFile(m_root + "/nodefault.map", "; nothing but a rectangle\nrectangle /local.txt 0 0 5 5\n");
    WriteFile(m_root + "/local.txt", "served locally");
    WriteFile(m_root + "/expand.MAP", "%EXPAND%rect http://example.invalid/at-%map-x%-%map-y% 0,0 99,99\n");
    WriteFile(m_root + "/loop.map", "default /loop.map?1,1\n");
    StartServers();

    struct Row {
        const char* path;
        const char* status;
        const char* location; // empty: none
        const char* body;     // a text the body holds; empty: not checked
    } rows[] = {
        {"/shapes.map?10,10", "302", "http://example.invalid/rect", ""},
        {"/shapes.map?55,50", "302", "http://example.invalid/circle", ""},
        {"/shapes.map?150,10", "302", "http://example.invalid/poly", ""},
        // Outside every shape, past the point: the default, which came after it.
        {"/shapes.map?900,900", "302", "http://example.invalid/default", ""},
        {"/nodefault.map?1,1", "200", "", "served locally"},
        {"/nodefault.map?6,6", "404", "", ""},
        {"/expand.MAP?12,34", "302", "http://example.invalid/at-12-34", ""},
        {"/loop.map?1,1", "500", "", ""},
        {"/missing.map?1,1", "404", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        RunResult reply = Curl({"-o", m_dir / "body.out", "-w", "%{http_code} %{redirect_url}", URL(port, row.path)});
        std::string expected = std::string(row.status) + " " + row.location;
        EXPECT_EQ(reply.output, expected);
        if (*row.body) {
            EXPECT_NE(ReadFile(m_dir / "body.out").find(row.body), std::string::npos);
        }
    }
    RunResult head = Curl({"-o", "/dev/null", "-w", "%{http_code}", "-X", "POST", URL(port, "/shapes.map?1,1")});
    EXPECT_NE(head.output, "302") << "only GET clicks";
}

} // namespace
