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

bool VerifyPassword(std::string_view entered, std::string_view storedDigest) {
    const std::string digest = PasswordDigest(entered);
    // Without this a failed hash ("") would match a user whose stored digest is empty.
    if (digest.empty()) return false;
    // Digests have a fixed length, so a length mismatch says nothing about the password.
    if (digest.size() != storedDigest.size()) return false;
    return CRYPTO_memcmp(digest.data(), storedDigest.data(), digest.size()) == 0;
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
