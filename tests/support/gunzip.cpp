#include "support/gunzip.h"

#include <zlib.h>

namespace hbr {

std::string Gunzip(const std::string& in) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return "(inflateInit2 failed)";
    std::string out;
    char buffer[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END && z.avail_in == 0 ? out : "(not one whole gzip member)";
}

}  // namespace hbr
