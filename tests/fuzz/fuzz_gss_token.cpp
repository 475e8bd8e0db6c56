// What integrated authentication does with a client's token before the GSSAPI library sees it,
// and with the name the mechanism then reports. The same bytes are read three ways:
//  - as an Authorization header's base64 text: it decodes to a bounded, non-empty token that
//    encodes and decodes back to itself, or it is refused;
//  - as a decoded NTLM message: the padding of short NEGOTIATE and AUTHENTICATE messages only
//    ever adds an empty version field, every payload field still names the same bytes (a field
//    out of range stays out of range), and padding a padded message changes nothing;
//  - as the displayed name: it becomes "DOMAIN\user" with both parts present and no control
//    characters, which (with its domain) reads back as itself, or it is refused.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/password.h"
#include "web/gss_auth.h"

namespace {

uint32_t Le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

void CheckBase64(std::string_view text) {
    const auto token = hbr::DecodeAuthToken(text);
    if (!token) return;
    if (token->empty() || token->size() > hbr::kMaxAuthTokenBytes) std::abort();
    const auto again = hbr::DecodeAuthToken(hbr::Base64Encode(*token));
    if (!again || *again != *token) std::abort();
}

void CheckNtlm(const std::string& in) {
    const std::string out = hbr::NormaliseNtlmToken(in);
    if (hbr::NormaliseNtlmToken(out) != out) std::abort();
    if (out == in) return;
    if (out.size() != in.size() + 8 || in.size() < 32 || out.compare(0, 12, in, 0, 12) != 0)
        std::abort();
    const uint32_t type = Le32(in, 8);
    if (type == 1) {
        // NEGOTIATE: eight zero bytes after the 32 the client sent.
        if (in.size() != 32 || out != in + std::string(8, '\0')) std::abort();
        return;
    }
    if (type != 3) std::abort();
    // AUTHENTICATE: flags kept, an empty version inserted at 64, the payload moved behind it.
    if (out.compare(60, 4, in, 60, 4) != 0 || out.compare(64, 8, std::string(8, '\0')) != 0 ||
        out.compare(72, std::string::npos, in, 64, std::string::npos) != 0)
        std::abort();
    for (size_t f = 0; f < 6; ++f) {
        const size_t at = 12 + 8 * f;
        if (out.compare(at, 4, in, at, 4) != 0) std::abort();  // length and maximum
        const uint32_t length = Le32(in, at) & 0xffff;
        const uint64_t from = Le32(in, at + 4), to = Le32(out, at + 4);
        if (length == 0) {
            if (to < 72) std::abort();  // an empty field never points into the header
            continue;
        }
        if (to != from + 8) std::abort();
        if (from + length <= in.size() && out.compare(to, length, in, from, length) != 0)
            std::abort();
    }
}

void CheckName(std::string_view name, const hbr::GssAuthSettings& settings) {
    const std::string account = hbr::AccountFromGssName(name, settings);
    if (account.empty()) return;
    for (const char c : account)
        if (static_cast<unsigned char>(c) < 0x20) std::abort();
    const size_t slash = account.find('\\');
    if (!settings.defaultDomain.empty()) {
        // A domain is always known: "DOMAIN\user", both parts present.
        if (slash == std::string::npos || slash == 0 || slash + 1 == account.size() ||
            account.find('\\', slash + 1) != std::string::npos)
            std::abort();
    }
    // An account with its domain reads back as itself. Without a default domain a name typed
    // without one is kept as typed ("\\bob@x" gives "bob@x"), and that text is not re-read.
    if (slash != std::string::npos && hbr::AccountFromGssName(account, settings) != account)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckBase64(bytes);
    CheckNtlm(bytes);
    hbr::GssAuthSettings withDomain;
    withDomain.defaultDomain = "CORP";
    withDomain.realmDomains["CORP.EXAMPLE.COM"] = "CONTOSO";
    CheckName(bytes, withDomain);
    CheckName(bytes, hbr::GssAuthSettings{});
    return 0;
}
