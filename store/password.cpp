#include "store/password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace hbr {

namespace {

// Every instance on every machine uses this key, so digests stored anywhere stay comparable.
constexpr unsigned char kDigestKey[20] = {0x5c, 0x1e, 0x7a, 0x0b, 0x93, 0xd2, 0x4f,
                                          0x66, 0x81, 0xc0, 0xe2, 0xb7, 0xa4, 0x39,
                                          0x5d, 0xf0, 0x18, 0x26, 0xab, 0x3c};

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Fills `buf` from getrandom(2), retrying interrupted and short reads.
bool ReadOsRandom(unsigned char* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = getrandom(buf + done, len - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

constexpr std::string_view kSaltedPrefix = "$pbkdf2-sha256$";

// The Base64 of PBKDF2-HMAC-SHA256 (32 bytes) over the password; the salt is used as the text
// it is stored as. Empty on failure.
std::string DeriveKey(std::string_view password, std::string_view salt, int iterations) {
    unsigned char key[32];
    const char* data = password.empty() ? "" : password.data();
    if (PKCS5_PBKDF2_HMAC(data, static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(), sizeof key,
                          key) != 1)
        return {};
    return Base64Encode(std::string_view(reinterpret_cast<const char*>(key), sizeof key));
}

struct SaltedParts {
    int iterations = 0;
    std::string_view salt;
    std::string_view hash;
};

// Splits "$pbkdf2-sha256$<iterations>$<salt>$<hash>"; false for anything else.
bool SplitSalted(std::string_view stored, SaltedParts& parts) {
    if (!stored.starts_with(kSaltedPrefix)) return false;
    std::string_view rest = stored.substr(kSaltedPrefix.size());
    const auto d1 = rest.find('$');
    if (d1 == std::string_view::npos || d1 == 0 || d1 > 7) return false;
    int iterations = 0;
    for (char c : rest.substr(0, d1)) {
        if (c < '0' || c > '9') return false;
        iterations = iterations * 10 + (c - '0');
    }
    // A stored row is input too: a huge count would make every login of it a denial of service.
    if (iterations < 1 || iterations > 10 * kPasswordIterations) return false;
    rest = rest.substr(d1 + 1);
    const auto d2 = rest.find('$');
    if (d2 == std::string_view::npos || d2 == 0) return false;
    parts.iterations = iterations;
    parts.salt = rest.substr(0, d2);
    parts.hash = rest.substr(d2 + 1);
    return !parts.hash.empty();
}

bool EqualTexts(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The salt key derivations of unknown or fixed-key rows run with: the same cost as a real one.
const std::string& DummySalt() {
    static const std::string salt = "AAAAAAAAAAAAAAAAAAAAAA==";
    return salt;
}

}  // namespace

std::string PasswordDigest(std::string_view password) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLen = 0;
    // HMAC() wants a valid pointer even for zero bytes of input.
    const auto* data =
        reinterpret_cast<const unsigned char*>(password.empty() ? "" : password.data());
    if (HMAC(EVP_sha1(), kDigestKey, sizeof kDigestKey, data, password.size(), mac, &macLen) ==
            nullptr ||
        macLen != 20) {
        return {};
    }
    return Base64Encode(std::string_view(reinterpret_cast<const char*>(mac), macLen));
}

std::string SaltedPasswordDigest(std::string_view password) {
    unsigned char random[16];
    if (!ReadOsRandom(random, sizeof random) && RAND_bytes(random, sizeof random) != 1) return {};
    const std::string salt =
        Base64Encode(std::string_view(reinterpret_cast<const char*>(random), sizeof random));
    const std::string hash = DeriveKey(password, salt, kPasswordIterations);
    if (hash.empty()) return {};
    return std::string(kSaltedPrefix) + std::to_string(kPasswordIterations) + "$" + salt + "$" +
           hash;
}

bool VerifyPassword(std::string_view entered, std::string_view storedDigest) {
    SaltedParts parts;
    if (SplitSalted(storedDigest, parts)) {
        const std::string hash = DeriveKey(entered, parts.salt, parts.iterations);
        // Without the emptiness test a failed hash ("") would match an empty stored hash.
        return !hash.empty() && EqualTexts(hash, parts.hash);
    }
    // Fixed-key rows, empty and malformed values: the same key derivation is spent, so that a
    // refusal takes as long as for a salted row.
    (void)DeriveKey(entered, DummySalt(), kPasswordIterations);
    const std::string digest = PasswordDigest(entered);
    if (digest.empty()) return false;
    return EqualTexts(digest, storedDigest);
}

bool DigestNeedsUpgrade(std::string_view storedDigest) {
    SaltedParts parts;
    return !SplitSalted(storedDigest, parts) || parts.iterations != kPasswordIterations;
}

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        out.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
        out.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
        out.push_back(kBase64Alphabet[(group >> 6) & 0x3F]);
        out.push_back(kBase64Alphabet[group & 0x3F]);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = uint32_t{p[i]} << 16;
        if (rest == 2) group |= uint32_t{p[i + 1]} << 8;
        out.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
        out.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
        out.push_back(rest == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

std::string NewSessionId() {
    // The session cookie is the only credential after login, so it must not be guessable.
    unsigned char random[16];
    if (!ReadOsRandom(random, sizeof random) && RAND_bytes(random, sizeof random) != 1) {
        throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    id.reserve(2 * sizeof random);
    for (unsigned char b : random) {
        id.push_back(kHex[b >> 4]);
        id.push_back(kHex[b & 0x0F]);
    }
    return id;
}

}  // namespace hbr
