#pragma once
// Content codings and entity tags of replies: whether a client takes gzip, the gzip bytes of a
// body, a strong tag for a body and whether a client's If-None-Match names it.
#include <string>
#include <string_view>

namespace hbr {

// True when an Accept-Encoding value accepts gzip: "gzip" (or "x-gzip"), or "*" when gzip is
// not listed, with a quality above 0. An absent or empty value accepts no coding but identity.
bool AcceptsGzip(std::string_view acceptEncoding);

// `data` as one gzip member (RFC 1952); false, with `out` empty, when zlib fails.
bool GzipCompress(std::string_view data, std::string& out, int level = 6);

// A strong entity tag of `data`, quoted: a digest of the bytes with `suffix` appended inside
// the quotes (a coded form of the same body needs a tag of its own).
std::string StrongETag(std::string_view data, std::string_view suffix = {});

// True when an If-None-Match value is "*" or lists `etag` (weak comparison, so a W/ tag of
// the same opaque text also matches). Malformed members match nothing.
bool IfNoneMatchHits(std::string_view ifNoneMatch, std::string_view etag);

}  // namespace hbr
