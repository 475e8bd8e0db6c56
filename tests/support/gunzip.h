#pragma once
// Reading back what the server compressed, with zlib's own inflater.
#include <string>

namespace hbr {

// The whole text of one gzip member, or a marker text when `in` is not exactly one.
std::string Gunzip(const std::string& in);

}  // namespace hbr
