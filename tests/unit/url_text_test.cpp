#include "web/url_text.h"

#include <gtest/gtest.h>

namespace hbr {
namespace {

TEST(CookPath, DecodesEscapesAndResolvesDotSegments) {
    EXPECT_EQ(CookPath("/a%20b/c"), "/a b/c");
    EXPECT_EQ(CookPath("/a/./b/../c"), "/a/c");
    EXPECT_EQ(CookPath("/a/b/.."), "/a/");
    EXPECT_EQ(CookPath("/"), "/");
    EXPECT_EQ(CookPath("/x?y=../../z"), "/x");
    EXPECT_EQ(CookPath("/dir/"), "/dir/");
    EXPECT_EQ(CookPath("http://host:8117/a/b?q"), "/a/b");
}

TEST(CookPath, RefusesWhatCouldLeaveTheRoot) {
    EXPECT_FALSE(CookPath("/../etc/passwd"));
    EXPECT_FALSE(CookPath("/a/../../etc"));
    EXPECT_FALSE(CookPath("/%2e%2e/etc/passwd"));
    EXPECT_FALSE(CookPath("/%2E%2E%2Fetc%2Fpasswd"));
    EXPECT_FALSE(CookPath("/..%2f..%2fetc"));
    EXPECT_FALSE(CookPath("/a%00.html"));
    EXPECT_FALSE(CookPath("/a\\..\\b"));
    EXPECT_FALSE(CookPath("/a%5c..%5cb"));
    EXPECT_FALSE(CookPath("/%c0%ae%c0%ae/etc"));  // overlong "."
    EXPECT_FALSE(CookPath("/%e0%80%ae"));
    EXPECT_FALSE(CookPath("/%zz"));
    EXPECT_FALSE(CookPath("/%4"));
    EXPECT_FALSE(CookPath("relative"));
    EXPECT_FALSE(CookPath(""));
}

TEST(CookPath, KeepsWellFormedUtf8) {
    EXPECT_EQ(CookPath("/%C3%A9t%C3%A9.html"), "/\xC3\xA9t\xC3\xA9.html");
    EXPECT_EQ(CookPath("/%F0%9F%98%80"), "/\xF0\x9F\x98\x80");
}

TEST(UrlTemplate, ReadsHostPortAndPath) {
    auto t = ParseUrlTemplate("http://+:8117/");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->host, "+");
    EXPECT_EQ(t->port, 8117);
    EXPECT_EQ(t->path, "/");
    t = ParseUrlTemplate("http://localhost/hbr");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->port, 80);
    EXPECT_EQ(t->path, "/hbr/");
    t = ParseUrlTemplate("HTTP://[::1]:9000/");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->scheme, "http");
    EXPECT_EQ(t->host, "::1");
    EXPECT_EQ(t->port, 9000);
}

TEST(UrlTemplate, RefusesMalformedTexts) {
    EXPECT_FALSE(ParseUrlTemplate("8117"));
    EXPECT_FALSE(ParseUrlTemplate("http://:8117/"));
    EXPECT_FALSE(ParseUrlTemplate("http://+:99999/"));
    EXPECT_FALSE(ParseUrlTemplate("http://+:0/"));
    EXPECT_FALSE(ParseUrlTemplate("http://+:12a/"));
    EXPECT_FALSE(ParseUrlTemplate("http://[::1/"));
}

}  // namespace
}  // namespace hbr
