// Content codings and entity tags: which Accept-Encoding values take gzip, that the gzip bytes
// decompress to the input, and how If-None-Match values are matched.
#include "web/content_coding.h"

#include <gtest/gtest.h>

#include <string>

#include "support/gunzip.h"

namespace hbr {
namespace {

TEST(AcceptEncoding, GzipListedWithPositiveQuality) {
    EXPECT_TRUE(AcceptsGzip("gzip"));
    EXPECT_TRUE(AcceptsGzip("gzip, deflate, br, zstd"));
    EXPECT_TRUE(AcceptsGzip("deflate,GZIP"));
    EXPECT_TRUE(AcceptsGzip("x-gzip"));
    EXPECT_TRUE(AcceptsGzip("br;q=1.0, gzip;q=0.8, *;q=0.1"));
    EXPECT_TRUE(AcceptsGzip("gzip ; q=0.001"));
    EXPECT_TRUE(AcceptsGzip("gzip;Q=1"));
}

TEST(AcceptEncoding, ZeroQualityAbsentOrMalformedMeansNo) {
    EXPECT_FALSE(AcceptsGzip(""));
    EXPECT_FALSE(AcceptsGzip("identity"));
    EXPECT_FALSE(AcceptsGzip("deflate, br"));
    EXPECT_FALSE(AcceptsGzip("gzip;q=0"));
    EXPECT_FALSE(AcceptsGzip("gzip;q=0.0"));
    EXPECT_FALSE(AcceptsGzip("gzip; q=0.000"));
    EXPECT_FALSE(AcceptsGzip("gzipx"));
    EXPECT_FALSE(AcceptsGzip("xgzip;q=1"));
    EXPECT_FALSE(AcceptsGzip("gzip;q=2"));
    EXPECT_FALSE(AcceptsGzip("gzip;q=0.5x"));
    EXPECT_FALSE(AcceptsGzip("gzip;q=1.5"));
    EXPECT_FALSE(AcceptsGzip("gzip;q="));
    EXPECT_FALSE(AcceptsGzip(",,;"));
}

TEST(AcceptEncoding, StarCoversGzipOnlyWhenGzipIsNotListed) {
    EXPECT_TRUE(AcceptsGzip("*"));
    EXPECT_TRUE(AcceptsGzip("br, *;q=0.5"));
    EXPECT_FALSE(AcceptsGzip("*;q=0"));
    EXPECT_FALSE(AcceptsGzip("gzip;q=0, *"));
    EXPECT_TRUE(AcceptsGzip("gzip;q=0.5, *;q=0"));
}

TEST(Gzip, RoundTripsBytesOfEverySize) {
    for (const std::string& text :
         {std::string(), std::string("{}"), std::string(1, '\0') + "\xff\x80 binary",
          std::string(300000, 'a')}) {
        std::string packed;
        ASSERT_TRUE(GzipCompress(text, packed));
        ASSERT_GE(packed.size(), 18u);  // header and trailer at least
        EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);
        EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8b);
        EXPECT_TRUE(Gunzip(packed) == text) << text.size() << " bytes";
    }
    std::string json;
    for (int i = 0; i < 5000; ++i)
        json += R"({"id":")" + std::to_string(100000 + i) + R"(","name":"vm-)" + std::to_string(i) +
                R"(","state":"2"},)";
    std::string packed;
    ASSERT_TRUE(GzipCompress(json, packed));
    EXPECT_LT(packed.size() * 5, json.size());
    EXPECT_TRUE(Gunzip(packed) == json);
}

TEST(ETag, StrongQuotedAndDistinct) {
    const std::string a = StrongETag("{\"vms\":[]}");
    EXPECT_EQ(a, StrongETag("{\"vms\":[]}"));
    EXPECT_EQ(a.size(), 34u);
    EXPECT_EQ(a.front(), '"');
    EXPECT_EQ(a.back(), '"');
    EXPECT_NE(a, StrongETag("{\"vms\":[ ]}"));
    const std::string gz = StrongETag("{\"vms\":[]}", "-gzip");
    EXPECT_NE(a, gz);
    EXPECT_EQ(gz.substr(0, 33), a.substr(0, 33));
    EXPECT_TRUE(gz.ends_with("-gzip\""));
}

TEST(IfNoneMatch, ListsWildcardAndWeakTags) {
    const std::string tag = "\"abc\"";
    EXPECT_TRUE(IfNoneMatchHits("\"abc\"", tag));
    EXPECT_TRUE(IfNoneMatchHits("\"x\", \"abc\"", tag));
    EXPECT_TRUE(IfNoneMatchHits("\"x\",\"abc\" ", tag));
    EXPECT_TRUE(IfNoneMatchHits("W/\"abc\"", tag));
    EXPECT_TRUE(IfNoneMatchHits(" * ", tag));
    EXPECT_TRUE(IfNoneMatchHits("\"a,b\", \"abc\"", tag));  // a comma inside a tag is its own
    EXPECT_FALSE(IfNoneMatchHits("", tag));
    EXPECT_FALSE(IfNoneMatchHits("abc", tag));
    EXPECT_FALSE(IfNoneMatchHits("\"abcd\"", tag));
    EXPECT_FALSE(IfNoneMatchHits("\"ab\"", tag));
    EXPECT_FALSE(IfNoneMatchHits("\"abc", tag));
    EXPECT_FALSE(IfNoneMatchHits("w/\"abc\"", tag));
    EXPECT_FALSE(IfNoneMatchHits("\"x\", junk, \"abc\"", tag));
    EXPECT_FALSE(IfNoneMatchHits("\"abc-gzip\"", tag));
}

}  // namespace
}  // namespace hbr
