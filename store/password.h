#pragma once
// Password digests, the Base64 encoder beside them, and session identifiers.
#include <string>
#include <string_view>

namespace hbr {

// Base64 of HMAC-SHA1 over the password bytes with the program's fixed key: 28 characters, the
// last one "=". The empty text if hashing failed.
std::string PasswordDigest(std::string_view password);

// True when the digest of `entered` equals `storedDigest` byte for byte. The comparison takes
// the same time wherever the texts differ. A failed digest never verifies, not even against an
// empty stored value.
bool VerifyPassword(std::string_view entered, std::string_view storedDigest);

// Standard Base64 (RFC 4648 section 4) with "=" padding and no line breaks.
std::string Base64Encode(std::string_view bytes);

// 128 bits from the operating system's random source as 32 lower-case hexadecimal digits.
// Throws std::system_error only if no random source can be read at all.
std::string NewSessionId();

}  // namespace hbr
