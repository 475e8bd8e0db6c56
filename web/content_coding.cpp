#include "web/content_coding.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>

namespace hbr {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimSpace(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool IEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A qvalue ("0", "0.5", "1", "1.000"): its value in thousandths, or -1 when malformed.
int QValue(std::string_view q) {
    if (q.empty() || (q[0] != '0' && q[0] != '1')) return -1;
    int value = (q[0] - '0') * 1000;
    if (q.size() == 1) return value;
    if (q[1] != '.' || q.size() > 5) return -1;
    int scale = 100;
    for (size_t i = 2; i < q.size(); ++i, scale /= 10) {
        if (q[i] < '0' || q[i] > '9') return -1;
        value += (q[i] - '0') * scale;
    }
    return value > 1000 ? -1 : value;
}

}  // namespace

bool AcceptsGzip(std::string_view value) {
    int gzip = -1;  // quality of gzip when listed
    int any = -1;   // quality of "*" when listed
    while (!value.empty()) {
        const size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        const size_t semi = item.find(';');
        const std::string_view coding = TrimSpace(item.substr(0, semi));
        if (coding.empty()) continue;
        int quality = 1000;
        std::string_view params =
            semi == std::string_view::npos ? std::string_view() : item.substr(semi + 1);
        while (!params.empty()) {
            const size_t next = params.find(';');
            const std::string_view param = TrimSpace(params.substr(0, next));
            params = next == std::string_view::npos ? std::string_view() : params.substr(next + 1);
            const size_t eq = param.find('=');
            if (eq == std::string_view::npos) continue;
            if (IEqual(TrimSpace(param.substr(0, eq)), "q"))
                quality = QValue(TrimSpace(param.substr(eq + 1)));
        }
        // A malformed quality is taken as a refusal: identity is always safe to send.
        if (quality < 0) quality = 0;
        if (IEqual(coding, "gzip") || IEqual(coding, "x-gzip"))
            gzip = std::max(gzip, quality);
        else if (coding == "*")
            any = std::max(any, quality);
    }
    if (gzip >= 0) return gzip > 0;
    return any > 0;
}

bool GzipCompress(std::string_view data, std::string& out, int level) {
    out.clear();
    // zlib counts in 32 bits; no reply comes near that, and identity is always a way out.
    if (data.size() >= UINT_MAX) return false;
    z_stream z{};
    // 15 window bits plus 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    // The bound holds for one call that is given all input and finishes.
    out.resize(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(std::min<size_t>(out.size(), UINT_MAX));
    const int rc = deflate(&z, Z_FINISH);
    const size_t written = z.total_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) {
        out.clear();
        return false;
    }
    out.resize(written);
    return true;
}

std::string StrongETag(std::string_view data, std::string_view suffix) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::string tag = "\"";
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        length = 0;
    static const char kHex[] = "0123456789abcdef";
    // 128 bits of the digest are plenty to tell replies apart.
    for (unsigned int i = 0; i < std::min(length, 16u); ++i) {
        tag += kHex[digest[i] >> 4];
        tag += kHex[digest[i] & 15];
    }
    tag += suffix;
    tag += '"';
    return tag;
}

bool IfNoneMatchHits(std::string_view value, std::string_view etag) {
    if (TrimSpace(value) == "*") return true;
    size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && (IsSpace(value[i]) || value[i] == ',')) ++i;
        if (i >= value.size()) break;
        if (value.compare(i, 2, "W/") == 0) i += 2;
        if (i >= value.size() || value[i] != '"') return false;
        const size_t close = value.find('"', i + 1);
        if (close == std::string_view::npos) return false;
        // Weak comparison: the opaque texts, quotes included, are equal.
        const std::string_view opaque = value.substr(i, close + 1 - i);
        std::string_view mine = etag;
        if (mine.starts_with("W/")) mine.remove_prefix(2);
        if (opaque == mine) return true;
        i = close + 1;
    }
    return false;
}

}  // namespace hbr
