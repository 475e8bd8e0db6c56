#include "web/gss_auth.h"

#include <grp.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>
#include <gssapi/gssapi_ntlmssp.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "platform/hbr_exception.h"
#include "platform/winbind_groups.h"
#include "store/password.h"

namespace hbr {
namespace {

gss_OID_desc kNtlmsspOid = {GSS_NTLMSSP_OID_LENGTH, const_cast<char*>(GSS_NTLMSSP_OID_STRING)};

std::string GssMessage(OM_uint32 status, int type, const gss_OID mech) {
    std::string text;
    OM_uint32 context = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc buffer = GSS_C_EMPTY_BUFFER;
        if (gss_display_status(&minor, status, type, mech, &context, &buffer) != GSS_S_COMPLETE)
            break;
        if (!text.empty()) text += "; ";
        text.append(static_cast<const char*>(buffer.value), buffer.length);
        gss_release_buffer(&minor, &buffer);
    } while (context != 0);
    return text;
}

// Owns what GSSAPI hands out; released on every path.
struct Name {
    gss_name_t name = GSS_C_NO_NAME;
    ~Name() {
        OM_uint32 minor = 0;
        if (name != GSS_C_NO_NAME) gss_release_name(&minor, &name);
    }
};
struct Buffer {
    gss_buffer_desc buffer = GSS_C_EMPTY_BUFFER;
    ~Buffer() {
        OM_uint32 minor = 0;
        gss_release_buffer(&minor, &buffer);
    }
};

// The context of one connection's handshake, kept between the challenge and the next message.
class GssContext : public ConnectionAuthState {
  public:
    ~GssContext() override {
        OM_uint32 minor = 0;
        if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    }
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    std::string scheme;  // "NTLM" or "Negotiate", as the client named it
};

// Acceptor credentials for the scheme the client chose: raw NTLMSSP messages under "NTLM",
// SPNEGO (or the bare mechanisms a client may send) under "Negotiate".
bool AcquireAcceptor(bool ntlmOnly, gss_cred_id_t& cred, std::string& error) {
    OM_uint32 minor = 0;
    gss_OID_set_desc ntlm = {1, &kNtlmsspOid};
    const OM_uint32 major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE,
                                             ntlmOnly ? &ntlm : GSS_C_NO_OID_SET, GSS_C_ACCEPT,
                                             &cred, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        error = GssMessage(major, GSS_C_GSS_CODE, GSS_C_NO_OID) + " (" +
                GssMessage(minor, GSS_C_MECH_CODE, ntlmOnly ? &kNtlmsspOid : GSS_C_NO_OID) + ")";
        return false;
    }
    return true;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.empty() || text.size() > (kMaxAuthTokenBytes / 3 + 1) * 4) return std::nullopt;
    std::string out(text.size() / 4 * 3 + 3, '\0');
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    if (!ctx) return std::nullopt;
    EVP_DecodeInit(ctx);
    int n = 0, tail = 0;
    const int ok = EVP_DecodeUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                                    reinterpret_cast<const unsigned char*>(text.data()),
                                    static_cast<int>(text.size()));
    const int fin =
        ok < 0 ? -1 : EVP_DecodeFinal(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &tail);
    EVP_ENCODE_CTX_free(ctx);
    if (ok < 0 || fin < 0) return std::nullopt;
    out.resize(static_cast<size_t>(n + tail));
    if (out.empty() || out.size() > kMaxAuthTokenBytes) return std::nullopt;
    return out;
}

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

uint32_t ReadLe32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

// The mechanism keeps the NEGOTIATE message it was given, and a client that signs the
// exchange (the MIC) signed the message it sent, without the padding added for the library.
// The context is exported, the kept message shortened back to what the client sent and the
// context imported again. Everything about the exported form is checked first: a library whose
// form differs makes this refuse the handshake, never guess.
bool RestoreClientNegotiate(gss_ctx_id_t& context, const std::string& padded, size_t original) {
    OM_uint32 minor = 0;
    Buffer exported;
    if (gss_export_sec_context(&minor, &context, &exported.buffer) != GSS_S_COMPLETE) return false;
    auto* bytes = static_cast<unsigned char*>(exported.buffer.value);
    const size_t size = exported.buffer.length;
    // The mechanism glue puts the mechanism's OID (32-bit big-endian length, then the OID)
    // before the mechanism's own token.
    if (size < 4) return false;
    const size_t oidLength = static_cast<size_t>(bytes[0]) << 24 |
                             static_cast<size_t>(bytes[1]) << 16 |
                             static_cast<size_t>(bytes[2]) << 8 | bytes[3];
    if (oidLength != kNtlmsspOid.length || size < 4 + oidLength ||
        std::memcmp(bytes + 4, kNtlmsspOid.elements, oidLength) != 0)
        return false;
    unsigned char* mech = bytes + 4 + oidLength;
    const size_t mechSize = size - 4 - oidLength;
    // gss-ntlmssp's export forms 4 and 5 (1.2): version, role, stage, request flags, then
    // (offset, length) pairs of the workstation and the NEGOTIATE message, relative to the data
    // area that follows the fixed 180-byte header.
    constexpr size_t kHeader = 180, kNegotiateField = 13;
    const int version = mech[0] | mech[1] << 8;
    if (mechSize < kHeader || (version != 4 && version != 5)) return false;
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(mech[at]) | static_cast<uint32_t>(mech[at + 1]) << 8 |
               static_cast<uint32_t>(mech[at + 2]) << 16 |
               static_cast<uint32_t>(mech[at + 3]) << 24;
    };
    const uint32_t at = le32(kNegotiateField), length = le32(kNegotiateField + 4);
    if (length != padded.size() || kHeader + static_cast<size_t>(at) + length > mechSize ||
        std::memcmp(mech + kHeader + at, padded.data(), length) != 0)
        return false;
    const auto shorter = static_cast<uint32_t>(original);
    for (size_t b = 0; b < 4; ++b)
        mech[kNegotiateField + 4 + b] = static_cast<unsigned char>(shorter >> (8 * b));
    return gss_import_sec_context(&minor, &exported.buffer, &context) == GSS_S_COMPLETE;
}

}  // namespace

std::optional<std::string> DecodeAuthToken(std::string_view base64) {
    return DecodeBase64(base64);
}

GssAuthSettings GssAuthSettingsFromEnvironment(AuthScheme scheme) {
    GssAuthSettings s;
    s.scheme = scheme;
    if (const char* d = std::getenv("NETBIOS_DOMAIN_NAME")) s.defaultDomain = d;
    if (const char* r = std::getenv("HBR_KRB5_REALMS")) {
        std::string_view list = r;
        while (!list.empty()) {
            const size_t comma = list.find(',');
            const std::string_view item = list.substr(0, comma);
            const size_t eq = item.find('=');
            if (eq != std::string_view::npos && eq > 0 && eq + 1 < item.size())
                s.realmDomains[Upper(std::string(item.substr(0, eq)))] =
                    std::string(item.substr(eq + 1));
            if (comma == std::string_view::npos) break;
            list.remove_prefix(comma + 1);
        }
    }
    return s;
}

std::string AccountFromGssName(std::string_view displayed, const GssAuthSettings& settings) {
    while (!displayed.empty() && displayed.back() == '\0') displayed.remove_suffix(1);
    if (displayed.empty() || displayed.find('\0') != std::string_view::npos) return {};
    for (const char c : displayed)
        if (static_cast<unsigned char>(c) < 0x20) return {};
    const size_t slash = displayed.find('\\');
    if (slash != std::string_view::npos) {
        const auto domain = displayed.substr(0, slash);
        const auto user = displayed.substr(slash + 1);
        if (user.empty() || user.find('\\') != std::string_view::npos) return {};
        if (domain.empty()) {
            if (settings.defaultDomain.empty()) return std::string(user);
            return settings.defaultDomain + "\\" + std::string(user);
        }
        return std::string(displayed);
    }
    const size_t at = displayed.rfind('@');
    if (at != std::string_view::npos) {
        const auto user = displayed.substr(0, at);
        const std::string realm = Upper(std::string(displayed.substr(at + 1)));
        if (user.empty() || realm.empty()) return {};
        // A Kerberos principal with an instance ("user/admin") is not a Windows account.
        if (user.find('/') != std::string_view::npos) return {};
        const auto it = settings.realmDomains.find(realm);
        const std::string domain =
            it != settings.realmDomains.end() ? it->second : realm.substr(0, realm.find('.'));
        // A realm starting with a dot has no first label to stand for the domain.
        if (domain.empty()) return {};
        return domain + "\\" + std::string(user);
    }
    if (settings.defaultDomain.empty()) return std::string(displayed);
    return settings.defaultDomain + "\\" + std::string(displayed);
}

namespace {

// The token's group SIDs gss-ntlmssp took from the domain controller (through winbind); empty
// for a login checked against a user file, and for Kerberos.
std::vector<std::string> TokenSidsOf(gss_name_t name) {
    OM_uint32 minor = 0;
    std::string attribute(kNtlmSidsAttribute);
    gss_buffer_desc attr{attribute.size(), attribute.data()};
    Buffer value;
    Buffer shown;
    int authenticated = 0;
    int complete = 0;
    int more = -1;
    if (GSS_ERROR(gss_get_name_attribute(&minor, name, &attr, &authenticated, &complete,
                                         &value.buffer, &shown.buffer, &more)) ||
        !authenticated) {
        return {};
    }
    return ParseSidList(std::string_view(static_cast<const char*>(value.buffer.value), value.buffer.length));
}

}  // namespace

std::vector<std::string> LocalGroupsOf(const std::string& user, const std::string& domain) {
    std::vector<std::string> groups;
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found) return groups;
    int count = 64;
    std::vector<gid_t> ids(static_cast<size_t>(count));
    if (getgrouplist(user.c_str(), pw.pw_gid, ids.data(), &count) < 0) {
        ids.resize(static_cast<size_t>(count));
        if (getgrouplist(user.c_str(), pw.pw_gid, ids.data(), &count) < 0) return groups;
    }
    ids.resize(static_cast<size_t>(count));
    std::vector<char> gbuf(16384);
    for (const gid_t id : ids) {
        group gr{};
        group* g = nullptr;
        if (getgrgid_r(id, &gr, gbuf.data(), gbuf.size(), &g) == 0 && g && g->gr_name)
            groups.push_back(domain.empty() ? std::string(g->gr_name) : domain + "\\" + g->gr_name);
    }
    return groups;
}

std::string NormaliseNtlmToken(std::string token) {
    static constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
    if (token.size() < 12 || std::memcmp(token.data(), kSignature, 8) != 0) return token;
    const uint32_t type = ReadLe32(token, 8);
    // NEGOTIATE: signature, type 1, flags, then the domain and workstation fields; the version
    // field that follows is optional (it only means something with NTLMSSP_NEGOTIATE_VERSION),
    // and clients that leave it out send exactly 32 bytes.
    if (type == 1 && token.size() == 32) {
        // Domain and workstation must carry no payload in a 32-byte message.
        if ((ReadLe32(token, 16) & 0xffff) == 0 && (ReadLe32(token, 24) & 0xffff) == 0)
            token.append(8, '\0');
        return token;
    }
    // AUTHENTICATE: six payload fields (length, maximum, offset) and the flags end at byte 64;
    // a client that sends neither version nor MIC starts its payload right there, and an empty
    // field may point at offset 0. The library expects the version field to be present, so
    // insert an empty one and move every offset behind it.
    if (type == 3 && token.size() >= 64) {
        constexpr size_t kFields = 6, kHeader = 64, kWithVersion = 72;
        uint32_t first = UINT32_MAX;
        for (size_t i = 0; i < kFields; ++i) {
            const size_t at = 12 + 8 * i;
            const uint32_t length = ReadLe32(token, at) & 0xffff;
            const uint32_t offset = ReadLe32(token, at + 4);
            if (length != 0) first = std::min(first, offset);
            // Moved by 8, this offset would wrap round into the header: such a message is left
            // as sent, for the library to refuse.
            if (offset > UINT32_MAX - 8) return token;
        }
        if (first != kHeader) return token;
        for (size_t i = 0; i < kFields; ++i) {
            const size_t at = 12 + 8 * i;
            const uint32_t length = ReadLe32(token, at) & 0xffff;
            uint32_t offset = ReadLe32(token, at + 4);
            offset = length == 0 && offset < kHeader ? kWithVersion : offset + 8;
            for (int b = 0; b < 4; ++b)
                token[at + 4 + static_cast<size_t>(b)] = static_cast<char>(offset >> (8 * b));
        }
        token.insert(kHeader, kWithVersion - kHeader, '\0');
    }
    return token;
}

GssIntegratedAuth::GssIntegratedAuth(GssAuthSettings settings) : settings_(std::move(settings)) {}

GssIntegratedAuth::~GssIntegratedAuth() {
    OM_uint32 minor = 0;
    for (auto* cred : {&ntlmCred_, &anyCred_})
        if (*cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, cred);
}

void GssIntegratedAuth::CheckAvailable() {
    // Acquired once: every handshake of the process accepts with the same credentials.
    std::string error;
    if (!AcquireAcceptor(true, ntlmCred_, error))
        throw CHbrException(
            "Integrated authentication: the NTLM mechanism (gss-ntlmssp) is not "
            "usable: " +
            error);
    if (settings_.scheme == AuthScheme::Negotiate) {
        if (const char* kt = std::getenv("KRB5_KTNAME"); kt && *kt) {
            std::string path = kt;
            if (path.starts_with("FILE:")) path = path.substr(5);
            if (path.find(':') == std::string::npos && access(path.c_str(), R_OK) != 0)
                throw CHbrException("Integrated authentication: the keytab " + path +
                                    " (KRB5_KTNAME) cannot be read");
        }
        if (!AcquireAcceptor(false, anyCred_, error))
            throw CHbrException("Integrated authentication: no Negotiate credentials: " + error);
    }
}

bool GssIntegratedAuth::Handshake(HttpRequest& request) {
    const std::string header = request.HeaderValue("authorization");
    if (header.empty()) return true;
    const size_t space = header.find(' ');
    if (space == std::string::npos) return true;
    const std::string scheme = header.substr(0, space);
    const bool ntlm = strcasecmp(scheme.c_str(), "NTLM") == 0;
    const bool negotiate = strcasecmp(scheme.c_str(), "Negotiate") == 0;
    if (!ntlm && !(negotiate && settings_.scheme == AuthScheme::Negotiate)) return true;

    auto& slot = request.Connection()->authState;
    auto* ctx = dynamic_cast<GssContext*>(slot.get());
    std::string_view b64 = header;
    b64.remove_prefix(space + 1);
    while (!b64.empty() && b64.front() == ' ') b64.remove_prefix(1);
    while (!b64.empty() && b64.back() == ' ') b64.remove_suffix(1);
    auto token = DecodeBase64(b64);
    if (!token) {
        slot.reset();
        return true;  // unauthenticated: the router asks again
    }
    // A message of another scheme than the one the context began with starts over.
    if (!ctx || ctx->scheme != scheme) {
        slot = std::make_unique<GssContext>();
        ctx = static_cast<GssContext*>(slot.get());
        ctx->scheme = scheme;
    }
    gss_cred_id_t cred = ntlm ? ntlmCred_ : anyCred_;
    if (cred == GSS_C_NO_CREDENTIAL) {
        slot.reset();
        return true;
    }
    const size_t sent = token->size();
    *token = NormaliseNtlmToken(std::move(*token));
    const bool padded = token->size() != sent && ReadLe32(*token, 8) == 1;

    OM_uint32 minor = 0;
    gss_buffer_desc input{token->size(), token->data()};
    Name source;
    Buffer output;
    const OM_uint32 major =
        gss_accept_sec_context(&minor, &ctx->context, cred, &input, GSS_C_NO_CHANNEL_BINDINGS,
                               &source.name, nullptr, &output.buffer, nullptr, nullptr, nullptr);
    const std::string reply(static_cast<const char*>(output.buffer.value), output.buffer.length);
    if (major == GSS_S_CONTINUE_NEEDED) {
        if (padded && !RestoreClientNegotiate(ctx->context, *token, sent)) {
            slot.reset();
            return true;
        }
        request.SetStatus(401, "Unauthorized");
        request.SetHeader(kHeaderContentType, "text/html");
        request.SetHeader(kHeaderWwwAuthenticate, scheme + " " + Base64Encode(reply));
        request.Send(std::string_view("<HTML><BODY>401 Unauthorized.</BODY></HTML>"));
        return false;
    }
    if (GSS_ERROR(major)) {
        slot.reset();
        return true;
    }
    Buffer shown;
    gss_OID nameType = GSS_C_NO_OID;
    const OM_uint32 dmajor = gss_display_name(&minor, source.name, &shown.buffer, &nameType);
    slot.reset();  // the handshake is over; the session cookie carries the login from here
    if (GSS_ERROR(dmajor)) return true;
    const std::string displayed(static_cast<const char*>(shown.buffer.value), shown.buffer.length);
    std::string account = AccountFromGssName(displayed, settings_);
    if (account.empty()) return true;
    const size_t slash = account.find('\\');
    const std::string domain =
        slash == std::string::npos ? std::string() : account.substr(0, slash);
    const std::string user = slash == std::string::npos ? account : account.substr(slash + 1);
    // The domain's own answer wins; without winbind the local account of that name answers.
    auto groups = GroupsOfSids(TokenSidsOf(source.name));
    if (groups.empty()) groups = LocalGroupsOf(user, domain);
    // Kerberos' mutual authentication token rides on the final reply.
    if (!reply.empty()) request.AddHeader("WWW-Authenticate", scheme + " " + Base64Encode(reply));
    request.SetAuthenticated(std::move(account), std::move(groups));
    return true;
}

int GssIntegratedAuth::Status(const HttpRequest& request) {
    return request.AuthStatus();
}

bool GssIntegratedAuth::UserInfo(const HttpRequest& request, std::string& account,
                                 std::vector<std::string>& groups) {
    if (request.AuthStatus() != 0) return false;
    account = request.AuthAccount();
    groups = request.AuthGroups();
    return !account.empty();
}

void GssIntegratedAuth::SendChallenge(HttpRequest& request) {
    if (settings_.scheme == AuthScheme::Negotiate) request.AddHeader("WWW-Authenticate", "NTLM");
    request.SetStatus(401, "Unauthorized");
    request.SetHeader(kHeaderContentType, "text/html");
    request.SetHeader(kHeaderWwwAuthenticate,
                      settings_.scheme == AuthScheme::Negotiate ? "Negotiate" : "NTLM");
    request.Send(std::string_view("<HTML><BODY>401 Unauthorized.</BODY></HTML>"));
}

}  // namespace hbr
