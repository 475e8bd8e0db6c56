#include "hyperv/providers/wsman/wsman_transport.h"

#include <curl/curl.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <map>

#include "platform/limit_text.h"

namespace hbr::wsman {

namespace {

std::mutex g_presentedMutex;
std::map<std::string, std::string, std::less<>> g_presented;

void NotePresented(const std::string& url, const std::string& sha256) {
    std::lock_guard lock(g_presentedMutex);
    if (g_presented.size() >= 256 && !g_presented.count(url)) g_presented.clear();
    g_presented[url] = sha256;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Sha256Hex(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), md, &len) != 1) return {};
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

// "CORP\ops" → "ops@CORP"; "ops@corp.example" → "ops@CORP.EXAMPLE"; "ops" stays.
std::string KerberosPrincipal(const std::string& user) {
    std::string name = user, realm;
    if (const auto bs = user.find('\\'); bs != std::string::npos) {
        realm = user.substr(0, bs);
        name = user.substr(bs + 1);
    } else if (const auto at = user.rfind('@'); at != std::string::npos) {
        realm = user.substr(at + 1);
        name = user.substr(0, at);
    }
    if (realm.empty()) return name;
    for (char& c : realm) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name + "@" + realm;
}

}  // namespace

TransportLimits ParseTransportLimits(std::string_view text) {
    TransportLimits limits;
    // Only lowered: the defaults are what a real host tolerates.
    ForEachLimit(text, [&](std::string_view name, std::int64_t number) {
        if (name == "connect_timeout_ms" && number < limits.connectTimeout.count())
            limits.connectTimeout = std::chrono::milliseconds(number);
        else if (name == "request_timeout_ms" && number < limits.requestTimeout.count())
            limits.requestTimeout = std::chrono::milliseconds(number);
        else if (name == "max_reply_bytes" &&
                 static_cast<unsigned long long>(number) < limits.maxReplyBytes)
            limits.maxReplyBytes = static_cast<std::size_t>(number);
        else if (name == "max_in_flight" && number < limits.maxInFlight)
            limits.maxInFlight = static_cast<int>(number);
    });
    return limits;
}

const TransportLimits& CurrentTransportLimits() {
    static const TransportLimits limits = [] {
        const char* text = std::getenv("HBR_WSMAN_LIMITS");
        return ParseTransportLimits(text ? text : "");
    }();
    return limits;
}

struct Transport::Handle {
    CURL* curl = nullptr;
    std::string body;
    std::size_t cap = 0;
    bool overCap = false;
    std::string presented;
    const WsmanTarget* target = nullptr;
    curl_slist* headers = nullptr;

    ~Handle() {
        if (curl) curl_easy_cleanup(curl);
        if (headers) curl_slist_free_all(headers);
    }

    static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self) {
        auto* h = static_cast<Handle*>(self);
        const std::size_t n = size * count;
        if (h->body.size() + n > h->cap) {
            h->overCap = true;
            return 0;  // aborts the transfer
        }
        h->body.append(data, n);
        return n;
    }

    // Every handshake passes through here, so the fingerprint the host presented is known even
    // when verification fails; a pinned fingerprint replaces the CA check.
    static int VerifyCertificate(X509_STORE_CTX* store, void* self) {
        auto* h = static_cast<Handle*>(self);
        h->presented = Sha256Hex(X509_STORE_CTX_get0_cert(store));
        switch (h->target->tls) {
            case WsmanTls::Insecure:
                return 1;
            case WsmanTls::Pinned:
                if (!h->presented.empty() && h->presented == h->target->pinSha256) return 1;
                X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_UNTRUSTED);
                return 0;
            case WsmanTls::Verify:
                break;
        }
        return X509_verify_cert(store);
    }

    static CURLcode SslContext(CURL*, void* sslCtx, void* self) {
        auto* h = static_cast<Handle*>(self);
        auto* ctx = static_cast<SSL_CTX*>(sslCtx);
        SSL_CTX_set_cert_verify_callback(ctx, &Handle::VerifyCertificate, h);
        // With a pin libcurl's own checks are off, so the handshake itself must fail on a
        // mismatch: peer verification stays on with the callback above deciding.
        if (h->target->tls == WsmanTls::Pinned) SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        return CURLE_OK;
    }
};

Transport::Transport(WsmanTarget target, std::string user, std::string password,
                     TransportLimits limits)
    : target_(std::move(target)),
      user_(std::move(user)),
      password_(std::move(password)),
      limits_(limits) {
    GlobalInit();
    if (limits_.maxInFlight < 1) limits_.maxInFlight = 1;
}

Transport::~Transport() {
    idle_.clear();
    if (!ccacheName_.empty()) {
        // A memory cache lives as long as the process unless destroyed; this frees the ticket.
        krb5_context kctx = nullptr;
        if (krb5_init_context(&kctx) == 0) {
            krb5_ccache cc = nullptr;
            if (krb5_cc_resolve(kctx, ccacheName_.c_str(), &cc) == 0) krb5_cc_destroy(kctx, cc);
            krb5_free_context(kctx);
        }
    }
}

std::uint64_t Transport::ConnectionsMade() const {
    std::lock_guard lock(countMutex_);
    return connections_;
}

std::unique_ptr<Transport::Handle> Transport::Acquire(HttpReply& reply) {
    std::unique_lock lock(mutex_);
    const bool got = freed_.wait_for(lock, limits_.requestTimeout, [&] {
        return !idle_.empty() || handles_ < limits_.maxInFlight;
    });
    if (!got) {
        reply.hr = kRpcEDisconnected;
        reply.error = "too many requests in flight to this host";
        return nullptr;
    }
    if (!idle_.empty()) {
        auto h = std::move(idle_.back());
        idle_.pop_back();
        return h;
    }
    auto h = std::make_unique<Handle>();
    h->curl = curl_easy_init();
    if (!h->curl) {
        reply.hr = kEOutOfMemory;
        reply.error = "curl_easy_init failed";
        return nullptr;
    }
    ++handles_;
    h->target = &target_;
    h->cap = limits_.maxReplyBytes;
    h->headers = curl_slist_append(h->headers, "Content-Type: application/soap+xml;charset=UTF-8");
    h->headers = curl_slist_append(h->headers, "Expect:");
    CURL* c = h->curl;
    curl_easy_setopt(c, CURLOPT_URL, target_.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(c, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(limits_.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits_.requestTimeout.count()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, h->headers);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "VmHarbor WS-Management client");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Handle::Write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, h.get());
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, &Handle::SslContext);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, h.get());
    // A resumed TLS session skips the certificate check; every connection shows its certificate.
    curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    const bool verify = target_.tls == WsmanTls::Verify;
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    curl_easy_setopt(c, CURLOPT_USERNAME, user_.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password_.c_str());
    return h;
}

void Transport::Return(std::unique_ptr<Handle> handle) {
    {
        std::lock_guard lock(mutex_);
        if (handle)
            idle_.push_back(std::move(handle));
        else
            --handles_;
    }
    freed_.notify_one();
}

bool Transport::PrepareKerberos() {
    std::lock_guard lock(kerberosMutex_);
    if (kerberosTried_) return !kerberosFailed_;
    kerberosTried_ = true;
    kerberosFailed_ = true;
    if (user_.empty()) return false;
    static std::atomic<unsigned> serial{0};
    const std::string principal = KerberosPrincipal(user_);
    OM_uint32 minor = 0;
    gss_buffer_desc nameBuffer{principal.size(), const_cast<char*>(principal.data())};
    gss_name_t name = GSS_C_NO_NAME;
    if (gss_import_name(&minor, &nameBuffer, GSS_C_NT_USER_NAME, &name) != GSS_S_COMPLETE)
        return false;
    gss_buffer_desc passwordBuffer{password_.size(), const_cast<char*>(password_.data())};
    gss_OID_desc krb5Oid = *gss_mech_krb5;
    gss_OID_set_desc mechs{1, &krb5Oid};
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    OM_uint32 major =
        gss_acquire_cred_with_password(&minor, name, &passwordBuffer, GSS_C_INDEFINITE, &mechs,
                                       GSS_C_INITIATE, &cred, nullptr, nullptr);
    gss_release_name(&minor, &name);
    if (major != GSS_S_COMPLETE) return false;
    const std::string ccache = "MEMORY:hbr-wsman-" + std::to_string(++serial);
    gss_key_value_element_desc element{"ccache", ccache.c_str()};
    gss_key_value_set_desc store{1, &element};
    major =
        gss_store_cred_into(&minor, cred, GSS_C_INITIATE, &krb5Oid, 1, 1, &store, nullptr, nullptr);
    gss_release_cred(&minor, &cred);
    if (major != GSS_S_COMPLETE) return false;
    ccacheName_ = ccache;
    kerberosFailed_ = false;
    return true;
}

HttpReply Transport::Perform(Handle& h, std::string_view soap, long authMask) {
    HttpReply reply;
    h.body.clear();
    h.overCap = false;
    h.presented.clear();
    CURL* c = h.curl;
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, authMask);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, soap.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(soap.size()));

    // libcurl's Negotiate takes the thread's default credential cache: point it at the
    // account's own ticket for the length of this call.
    std::string previous;
    bool swapped = false;
    if ((authMask & CURLAUTH_NEGOTIATE) && !ccacheName_.empty()) {
        OM_uint32 minor = 0;
        const char* old = nullptr;
        if (gss_krb5_ccache_name(&minor, ccacheName_.c_str(), &old) == GSS_S_COMPLETE) {
            swapped = true;
            if (old) previous = old;
        }
    }
    const CURLcode rc = curl_easy_perform(c);
    if (swapped) {
        OM_uint32 minor = 0;
        gss_krb5_ccache_name(&minor, previous.empty() ? nullptr : previous.c_str(), nullptr);
    }
    long made = 0;
    curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &made);
    if (made > 0) {
        std::lock_guard lock(countMutex_);
        connections_ += static_cast<std::uint64_t>(made);
    }
    reply.presentedSha256 = h.presented;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    switch (rc) {
        case CURLE_OK:
            break;
        case CURLE_WRITE_ERROR:
            reply.hr = h.overCap ? kEInvalidServerResponse : kRpcEDisconnected;
            reply.error = h.overCap ? "the reply is larger than " +
                                          std::to_string(limits_.maxReplyBytes >> 20) + " MB"
                                    : "the reply could not be received";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            reply.hr = kESecureFailure;
            reply.error = std::string("TLS: ") + curl_easy_strerror(rc);
            if (!h.presented.empty()) {
                reply.error += " (the host presented sha256:" + h.presented + ")";
                NotePresented(target_.url, h.presented);
            }
            break;
        case CURLE_LOGIN_DENIED:
            reply.hr = kEAccessDenied;
            reply.error = curl_easy_strerror(rc);
            break;
        case CURLE_OUT_OF_MEMORY:
            reply.hr = kEOutOfMemory;
            reply.error = curl_easy_strerror(rc);
            break;
        case CURLE_OPERATION_TIMEDOUT: {
            reply.hr = kRpcEDisconnected;
            const auto ms = limits_.requestTimeout.count();
            reply.error = "timeout: no answer within " +
                          (ms % 1000 ? std::to_string(ms) + " ms" : std::to_string(ms / 1000) + " s");
            break;
        }
        default:
            // No connection, a reset or nothing answered: the caller reconnects.
            reply.hr = kRpcEDisconnected;
            reply.error = curl_easy_strerror(rc);
            break;
    }
    if (rc == CURLE_OK) reply.body = std::move(h.body);
    h.body.clear();
    h.body.shrink_to_fit();
    return reply;
}

HttpReply Transport::Post(std::string_view soap) {
    HttpReply reply;
    std::unique_ptr<Handle> h = Acquire(reply);
    if (!h) return reply;
    long auth = CURLAUTH_NTLM;
    if (target_.auth == WsmanAuth::Basic) auth = CURLAUTH_BASIC;
    const bool negotiate = target_.auth == WsmanAuth::Negotiate && PrepareKerberos();
    if (negotiate) auth = CURLAUTH_NEGOTIATE;
    reply = Perform(*h, soap, auth);
    if (negotiate && reply.hr == kSOk && reply.status == 401)
        reply = Perform(*h, soap, CURLAUTH_NTLM);
    // A handle whose transfer failed keeps no half-used connection for the next caller.
    if (reply.hr != kSOk) {
        h.reset();
    }
    Return(std::move(h));
    return reply;
}

std::string PresentedCertificate(std::string_view url) {
    std::lock_guard lock(g_presentedMutex);
    const auto it = g_presented.find(url);
    return it == g_presented.end() ? std::string{} : it->second;
}

}  // namespace hbr::wsman
