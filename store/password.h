#pragma once
// Password digests, the Base64 encoder beside them, and session identifiers.
#include <string>
#include <string_view>

namespace hbr {

// The fixed-key form: Base64 of HMAC-SHA1 over the password bytes with the program's key, 28
// characters, the last one "=". A new database's administrator row and resetpwd-instance store
// it, and older databases hold it; anything else stores SaltedPasswordDigest. The empty text if
// hashing failed.
std::string PasswordDigest(std::string_view password);

// The form every password set through the console is stored in: PBKDF2-HMAC-SHA256 with a
// random 16-byte salt, written "$pbkdf2-sha256$<iterations>$<Base64 salt>$<Base64 hash>". The
// "$" cannot occur in the fixed-key form, so the two are never mistaken for each other. The
// empty text if hashing failed.
std::string SaltedPasswordDigest(std::string_view password);

// The iteration count of new salted digests (about 50 ms of work on the reference machine).
inline constexpr int kPasswordIterations = 100000;

// True when `entered` matches `storedDigest` in either form. Comparisons take the same time
// wherever the texts differ, and a fixed-key or malformed stored value costs the same key
// derivation as a salted one, so the time of a refusal does not tell which form (or whether a
// user) was there. A failed digest never verifies, not even against an empty stored value.
bool VerifyPassword(std::string_view entered, std::string_view storedDigest);

// True for a stored value that is not a salted digest of the current iteration count: it is
// replaced at the user's next successful login.
bool DigestNeedsUpgrade(std::string_view storedDigest);

// Standard Base64 (RFC 4648 section 4) with "=" padding and no line breaks.
std::string Base64Encode(std::string_view bytes);

// 128 bits from the operating system's random source as 32 lower-case hexadecimal digits.
// Throws std::system_error only if no random source can be read at all.
std::string NewSessionId();

}  // namespace hbr
