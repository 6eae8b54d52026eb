#include "proxy/url_parts.h"

#include <gtest/gtest.h>

namespace {

TEST(UrlPartsTest, ParseAndFormat)
{
    struct Case {
        const char* text;
        bool ok;
        const char* scheme;
        const char* host;
        int port;
        const char* path;
        const char* formatted;
    } cases[] = {
        {"HTTP://Host:8080/a/b?q=1", true, "http", "Host", 8080, "/a/b?q=1", "http://Host:8080/a/b?q=1"},
        {"http://host/x", true, "http", "host", 80, "/x", "http://host/x"},
        {"http://host:80/x", true, "http", "host", 80, "/x", "http://host/x"},
        {"ftp://host:21/pub/", true, "ftp", "host", 21, "/pub/", "ftp://host/pub/"},
        {"gopher://host", true, "gopher", "host", 70, "/", "gopher://host/"},
        {"http://host", true, "http", "host", 80, "/", "http://host/"},
        {"ftp://host:2121", true, "ftp", "host", 2121, "/", "ftp://host:2121/"},
        {"news://host:119/x", true, "news", "host", 119, "/x", "news://host/x"},
        {"host:443", true, "host", "", 80, "443", "host:443"},
        {"/just/a/path", true, "", "", 80, "/just/a/path", "/just/a/path"},
        {"http://host:0/", false, "", "", 0, "", ""},
        {"http://host:65536/", false, "", "", 0, "", ""},
        {"http://host:99999999999/", false, "", "", 0, "", ""},
        {"http://host:-1/", false, "", "", 0, "", ""},
        {"http://host:/", false, "", "", 0, "", ""},
        {"http://host:65535", true, "http", "host", 65535, "/", "http://host:65535/"},
    };
    for (const Case& c : cases) {
        CUrlParts url;
        ASSERT_EQ(url.Parse(c.text), c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_EQ(url.scheme, c.scheme) << c.text;
        EXPECT_EQ(url.host, c.host) << c.text;
        EXPECT_EQ(url.port, c.port) << c.text;
        EXPECT_EQ(url.path, c.path) << c.text;
        EXPECT_EQ(url.Format(), c.formatted) << c.text;
    }
}

TEST(UrlPartsTest, KeyFoldsSchemeAndHostButNeverThePath)
{
    CUrlParts a, b, c;
    ASSERT_TRUE(a.Parse("HTTP://HOST:80/Dir/Page?Q=A"));
    ASSERT_TRUE(b.Parse("http://host/Dir/Page?Q=A"));
    ASSERT_TRUE(c.Parse("http://host/dir/page?q=a"));
    EXPECT_EQ(a.Key(), "http://host/Dir/Page?Q=A");
    EXPECT_EQ(a.Key(), b.Key());
    EXPECT_NE(b.Key(), c.Key());
}

} // namespace
