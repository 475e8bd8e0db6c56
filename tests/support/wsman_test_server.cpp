#include "support/wsman_test_server.h"

#include <gssapi/gssapi.h>
#include <openssl/evp.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <sys/socket.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "hyperv/provider_factory.h"
#include "hyperv/providers/sim/sim_host.h"
#include "hyperv/wmi/wmi_provider.h"
#include "store/password.h"
#include "support/test_certificate.h"
#include "support/wsman_ntlm_acceptor.h"
#include "support/wsman_test_soap.h"

namespace hbr {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

bool Base64Decode(std::string_view in, std::string& out) {
    if (in.empty() || in.size() % 4 != 0 || in.size() > 8192) return false;
    std::string buf(in.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(buf.data()),
                            reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size()));
    if (n < 0) return false;
    std::size_t len = static_cast<std::size_t>(n);
    if (in.back() == '=') --len;
    if (in.size() >= 2 && in[in.size() - 2] == '=') --len;
    buf.resize(len);
    out = std::move(buf);
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

// One Kerberos (SPNEGO) handshake with the default acceptor credentials (the keytab of
// KRB5_KTNAME): true with the client's principal; `out` is the token for the reply.
bool AcceptKerberos(const std::string& token, std::string& out, std::string& principal) {
#if defined(__SANITIZE_ADDRESS__)
    // SPNEGO's acceptor has gss-ntlmssp make a credential it never frees entirely: the leak
    // checker looks away during these library calls, as for the NTLM acceptor.
    struct Quiet {
        Quiet() { __lsan_disable(); }
        ~Quiet() { __lsan_enable(); }
    } quiet;
#endif
    OM_uint32 minor = 0;
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    gss_buffer_desc input{token.size(), const_cast<char*>(token.data())};
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    gss_name_t source = GSS_C_NO_NAME;
    const OM_uint32 major =
        gss_accept_sec_context(&minor, &ctx, GSS_C_NO_CREDENTIAL, &input, GSS_C_NO_CHANNEL_BINDINGS,
                               &source, nullptr, &output, nullptr, nullptr, nullptr);
    out.assign(static_cast<const char*>(output.value), output.length);
    gss_release_buffer(&minor, &output);
    bool ok = false;
    // A Kerberos handshake is one round; anything that needs more is not one.
    if (major == GSS_S_COMPLETE) {
        gss_buffer_desc shown = GSS_C_EMPTY_BUFFER;
        if (!GSS_ERROR(gss_display_name(&minor, source, &shown, nullptr))) {
            principal.assign(static_cast<const char*>(shown.value), shown.length);
            ok = !principal.empty();
        }
        gss_release_buffer(&minor, &shown);
    }
    if (source != GSS_C_NO_NAME) gss_release_name(&minor, &source);
    if (ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
    return ok;
}

}  // namespace

class WsmanTestServer::Impl {
  public:
    explicit Impl(WsmanTestServerOptions options)
        : options_(std::move(options)),
          service_(CreateWmiLocator(options_.simHost),
                   wsmantest::SoapLimits{options_.maxEnvelopeSize, options_.maxOperationsPerUser,
                                         options_.enumerationExpiry}),
          ctx_(ssl::context::tls_server),
          acceptor_(io_) {
        const test::TestCertificate cert = test::MakeLoopbackCertificate();
        fingerprint_ = cert.sha256;
        pem_ = cert.certPem;
        ctx_.use_certificate_chain(asio::buffer(cert.certPem));
        ctx_.use_private_key(asio::buffer(cert.keyPem), ssl::context::pem);
        ctx_.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                         ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                         ssl::context::no_tlsv1_1);
        if (options_.ntlm) {
            ntlm_ = std::make_unique<wsmantest::NtlmAcceptor>(options_.ntlmDomain, options_.user,
                                                              options_.password);
        }

        tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
        acceptor_.open(ep.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(ep);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        acceptThread_ = std::thread([this] { AcceptLoop(); });
    }

    ~Impl() { Stop(); }

    void Stop() {
        {
            std::lock_guard lock(mu_);
            if (stopped_) return;
            stopped_ = true;
            hookGeneration_++;
        }
        cv_.notify_all();
        ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
        if (acceptThread_.joinable()) acceptThread_.join();
        std::list<Connection> conns;
        {
            std::lock_guard lock(mu_);
            // Only sockets still open: a closed one's number may already belong to another.
            for (auto& c : connections_)
                if (c.state->fd >= 0) ::shutdown(c.state->fd, SHUT_RDWR);
            conns.splice(conns.end(), connections_);
        }
        cv_.notify_all();
        for (auto& c : conns)
            if (c.thread.joinable()) c.thread.join();
        beast::error_code ec;
        acceptor_.close(ec);
    }

    WsmanTestServerOptions options_;
    wsmantest::SoapService service_;
    std::string fingerprint_;
    std::string pem_;
    std::uint16_t port_ = 0;

    std::mutex mu_;
    std::condition_variable cv_;
    WsmanHook hook_ = WsmanHook::None;
    int hookCount_ = 0;
    std::uint64_t hookGeneration_ = 0;
    std::size_t hugeBodySize_ = 32 * 1024 * 1024;
    std::map<std::string, std::uint64_t> actionCounts_;
    std::uint64_t unauthorized_ = 0;
    std::atomic<std::uint64_t> bytesIn_{0}, bytesOut_{0};
    std::uint64_t kerberosLogins_ = 0;
    std::uint64_t ntlmLogins_ = 0;
    std::string lastKerberosPrincipal_;

  private:
    // What Stop needs of a connection; fd becomes -1 (under mu_) before the socket closes.
    struct ConnectionState {
        int fd = -1;
        std::atomic<bool> done{false};
    };
    struct Connection {
        std::thread thread;
        std::shared_ptr<ConnectionState> state;
    };
    struct ForgetSocket {
        Impl& impl;
        ConnectionState& state;
        ~ForgetSocket() {
            std::lock_guard lock(impl.mu_);
            state.fd = -1;
        }
    };

    void AcceptLoop() {
        for (;;) {
            beast::error_code ec;
            tcp::socket sock(io_);
            acceptor_.accept(sock, ec);
            std::lock_guard lock(mu_);
            if (stopped_) return;
            if (ec) continue;
            // Reap connections that have ended.
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (it->state->done) {
                    it->thread.join();
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
            Connection c;
            c.state = std::make_shared<ConnectionState>();
            c.state->fd = sock.native_handle();
            auto state = c.state;
            c.thread = std::thread([this, s = std::move(sock), state]() mutable {
                Serve(std::move(s), *state);
                state->done = true;
            });
            connections_.push_back(std::move(c));
        }
    }

    // The hook for this request, counted down.
    WsmanHook TakeHook() {
        std::lock_guard lock(mu_);
        if (hook_ == WsmanHook::None || hookCount_ == 0) return WsmanHook::None;
        WsmanHook h = hook_;
        if (hookCount_ > 0 && --hookCount_ == 0) hook_ = WsmanHook::None;
        return h;
    }

    // Who sent the request: empty when not authenticated. `challenge` is set for an NTLM step
    // that needs another round trip.
    std::string Authenticate(const http::request<http::string_body>& req,
                             wsmantest::NtlmAcceptor::Context& ntlmContext, std::string& ntlmUser,
                             std::string& challenge) {
        auto it = req.find(http::field::authorization);
        if (it == req.end()) return ntlmUser;
        std::string_view value = it->value();
        if (options_.basic && StartsWithNoCase(value, "Basic ")) {
            std::string decoded;
            if (!Base64Decode(value.substr(6), decoded)) return {};
            auto colon = decoded.find(':');
            if (colon == std::string::npos) return {};
            std::string user = decoded.substr(0, colon), password = decoded.substr(colon + 1);
            bool userOk = user == options_.user ||
                          (IEquals(user.substr(0, user.find('\\')), options_.ntlmDomain) &&
                           user.find('\\') != std::string::npos &&
                           user.substr(user.find('\\') + 1) == options_.user);
            if (userOk && password == options_.password) return options_.user;
            return {};
        }
        if (options_.kerberos && StartsWithNoCase(value, "Negotiate ")) {
            std::string token;
            if (!Base64Decode(value.substr(10), token)) return {};
            if (token.rfind("NTLMSSP", 0) != 0) {
                std::string out, principal;
                if (!AcceptKerberos(token, out, principal)) return {};
                if (!out.empty()) challenge = "Negotiate " + Base64Encode(out);
                std::lock_guard lock(mu_);
                ++kerberosLogins_;
                lastKerberosPrincipal_ = principal;
                return principal;
            }
        }
        if (ntlm_ && (StartsWithNoCase(value, "Negotiate ") || StartsWithNoCase(value, "NTLM "))) {
            const std::size_t skip = value.find(' ') + 1;
            std::string token;
            if (!Base64Decode(value.substr(skip), token)) return {};
            std::string user;
            std::string out;
            auto step = ntlm_->Step(ntlmContext, token, out, user);
            if (!out.empty()) challenge = std::string(value.substr(0, skip)) + Base64Encode(out);
            if (step == wsmantest::NtlmAcceptor::Result::Done) {
                ntlmUser = user;  // NTLM authenticates the connection, not one request
                std::lock_guard lock(mu_);
                ++ntlmLogins_;
                return user;
            }
            return {};
        }
        return {};
    }

    void Unauthorized(http::response<http::string_body>& res, const std::string& challenge) {
        res.result(http::status::unauthorized);
        if (!challenge.empty()) {
            res.insert(http::field::www_authenticate, challenge);
        } else {
            if (options_.ntlm || options_.kerberos) {
                res.insert(http::field::www_authenticate, "Negotiate");
            }
            if (options_.ntlm) {
                res.insert(http::field::www_authenticate, "NTLM");
            }
            if (options_.basic) res.insert(http::field::www_authenticate, "Basic realm=\"WSMAN\"");
        }
        res.body().clear();
        std::lock_guard lock(mu_);
        ++unauthorized_;
    }

    void Serve(tcp::socket sock, ConnectionState& state) {
        ssl::stream<tcp::socket> stream(std::move(sock), ctx_);
        ForgetSocket forget{*this, state};  // runs before the stream closes the socket
        beast::error_code ec;
        stream.handshake(ssl::stream_base::server, ec);
        if (ec) return;
        beast::flat_buffer buffer;
        wsmantest::NtlmAcceptor::Context ntlmContext;
        std::string ntlmUser;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.header_limit(64 * 1024);
            parser.body_limit(std::max<std::size_t>(options_.maxEnvelopeSize, 1024 * 1024));
            bytesIn_ += http::read(stream, buffer, parser, ec);
            if (ec) break;
            http::request<http::string_body> req = parser.release();
            http::response<http::string_body> res;
            res.version(11);
            res.set(http::field::server, "Microsoft-HTTPAPI/2.0");
            bool keepAlive = req.keep_alive();

            const WsmanHook hook = TakeHook();
            if (hook == WsmanHook::NeverReply) {
                std::unique_lock lock(mu_);
                const auto generation = hookGeneration_;
                cv_.wait(lock, [&] { return stopped_ || hookGeneration_ != generation; });
                break;
            }
            if (hook == WsmanHook::MalformedXml) {
                res.result(http::status::ok);
                res.set(http::field::content_type, "application/soap+xml;charset=UTF-8");
                res.body() =
                    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                    "<s:Body><unclosed attr='1></s:Body>";
            } else if (hook == WsmanHook::HugeBody) {
                std::size_t size;
                {
                    std::lock_guard lock(mu_);
                    size = hugeBodySize_;
                }
                res.result(http::status::ok);
                res.set(http::field::content_type, "application/soap+xml;charset=UTF-8");
                std::string head =
                    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                    "<s:Body><x>";
                std::string& body = res.body();
                body.reserve(size);
                body = head;
                if (body.size() < size) body.append(size - body.size(), 'A');
                body.resize(size);
            } else if (hook == WsmanHook::EntityBomb) {
                res.result(http::status::ok);
                res.set(http::field::content_type, "application/soap+xml;charset=UTF-8");
                std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE s:Envelope [\n<!ENTITY a0 \"lol\">\n";
                for (int i = 1; i <= 10; ++i) {
                    bomb += "<!ENTITY a" + std::to_string(i) + " \"";
                    for (int j = 0; j < 10; ++j) bomb += "&a" + std::to_string(i - 1) + ";";
                    bomb += "\">\n";
                }
                bomb +=
                    "]>\n<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                    "<s:Body><x>&a10;</x></s:Body></s:Envelope>";
                res.body() = std::move(bomb);
            } else if (hook == WsmanHook::UnknownNamespace) {
                res.result(http::status::ok);
                res.set(http::field::content_type, "application/soap+xml;charset=UTF-8");
                res.body() =
                    "<s:Envelope xmlns:s=\"urn:example:not-soap\" xmlns:w=\"urn:example:other\">"
                    "<s:Header/><s:Body><w:IdentifyResponse><w:ProductVendor>X</w:ProductVendor>"
                    "</w:IdentifyResponse></s:Body></s:Envelope>";
            } else if (hook == WsmanHook::Status500NoBody) {
                res.result(http::status::internal_server_error);
            } else if (hook == WsmanHook::Always401) {
                Unauthorized(res, {});
            } else {
                Answer(req, res, ntlmContext, ntlmUser);
            }
            res.keep_alive(keepAlive);
            res.prepare_payload();
            bytesOut_ += http::write(stream, res, ec);
            if (ec || !keepAlive) break;
        }
        stream.shutdown(ec);
    }

    void Answer(const http::request<http::string_body>& req, http::response<http::string_body>& res,
                wsmantest::NtlmAcceptor::Context& ntlmContext, std::string& ntlmUser) {
        std::string_view target = req.target();
        if (!IEquals(target.substr(0, target.find('?')), "/wsman")) {
            res.result(http::status::not_found);
            return;
        }
        if (req.method() != http::verb::post) {
            res.result(http::status::method_not_allowed);
            return;
        }
        auto ct = req.find(http::field::content_type);
        if (ct == req.end() || !StartsWithNoCase(ct->value(), "application/soap+xml")) {
            res.result(http::status::unsupported_media_type);
            return;
        }
        std::string challenge;
        std::string user = Authenticate(req, ntlmContext, ntlmUser, challenge);
        // Kerberos's last token (mutual authentication) goes with the answer itself.
        if (!user.empty() && !challenge.empty())
            res.set(http::field::www_authenticate, challenge);
        if (user.empty()) {
            // Identify may go unauthenticated when the request says so, as WinRM allows.
            auto ident = req.find("WSMANIDENTIFY");
            if (ident == req.end() || !IEquals(ident->value(), "unauthenticated")) {
                Unauthorized(res, challenge);
                return;
            }
            user = "*anonymous*";
        }
        wsmantest::SoapReply reply = service_.Handle(req.body(), user);
        if (user == "*anonymous*" && reply.action != "Identify") {
            Unauthorized(res, challenge);
            return;
        }
        {
            std::lock_guard lock(mu_);
            ++actionCounts_[reply.action];
        }
        res.result(static_cast<http::status>(reply.status));
        res.set(http::field::content_type, "application/soap+xml;charset=UTF-8");
        res.body() = std::move(reply.body);
    }

    asio::io_context io_;
    ssl::context ctx_;
    tcp::acceptor acceptor_;
    std::thread acceptThread_;
    std::list<Connection> connections_;
    bool stopped_ = false;
    std::unique_ptr<wsmantest::NtlmAcceptor> ntlm_;
};

WsmanTestServer::WsmanTestServer(WsmanTestServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

WsmanTestServer::~WsmanTestServer() = default;

std::uint16_t WsmanTestServer::Port() const {
    return impl_->port_;
}

const std::string& WsmanTestServer::Fingerprint() const {
    return impl_->fingerprint_;
}

const std::string& WsmanTestServer::CertificatePem() const {
    return impl_->pem_;
}

std::string WsmanTestServer::Url() const {
    return "https://127.0.0.1:" + std::to_string(impl_->port_) + "/wsman";
}

std::string WsmanTestServer::HostText(std::string_view auth) const {
    return Url() + "?auth=" + std::string(auth) + "&tls=sha256:" + impl_->fingerprint_;
}

const WsmanTestServerOptions& WsmanTestServer::Options() const {
    return impl_->options_;
}

std::string WsmanTestServer::SimHostName() const {
    std::string name;
    SimHostOptions options;
    if (!ParseSimUrl(impl_->options_.simHost, name, options)) return {};
    return name;
}

void WsmanTestServer::SetHook(WsmanHook hook, int count) {
    {
        std::lock_guard lock(impl_->mu_);
        impl_->hook_ = hook;
        impl_->hookCount_ = count;
    }
}

void WsmanTestServer::SetHugeBodySize(std::size_t bytes) {
    std::lock_guard lock(impl_->mu_);
    impl_->hugeBodySize_ = bytes;
}

void WsmanTestServer::ClearHooks() {
    {
        std::lock_guard lock(impl_->mu_);
        impl_->hook_ = WsmanHook::None;
        impl_->hookCount_ = 0;
        ++impl_->hookGeneration_;
    }
    impl_->cv_.notify_all();
}

std::size_t WsmanTestServer::OpenEnumerations() const {
    return impl_->service_.OpenEnumerations();
}

std::uint64_t WsmanTestServer::RequestCount(std::string_view suffix) const {
    std::lock_guard lock(impl_->mu_);
    std::uint64_t n = 0;
    for (const auto& [action, count] : impl_->actionCounts_)
        if (action.size() >= suffix.size() &&
            action.compare(action.size() - suffix.size(), suffix.size(), suffix) == 0)
            n += count;
    return n;
}

std::uint64_t WsmanTestServer::HttpBytesReceived() const {
    return impl_->bytesIn_;
}

std::uint64_t WsmanTestServer::HttpBytesSent() const {
    return impl_->bytesOut_;
}

std::uint64_t WsmanTestServer::UnauthorizedCount() const {
    std::lock_guard lock(impl_->mu_);
    return impl_->unauthorized_;
}

std::uint64_t WsmanTestServer::KerberosLogins() const {
    std::lock_guard lock(impl_->mu_);
    return impl_->kerberosLogins_;
}

std::uint64_t WsmanTestServer::NtlmLogins() const {
    std::lock_guard lock(impl_->mu_);
    return impl_->ntlmLogins_;
}

std::string WsmanTestServer::LastKerberosPrincipal() const {
    std::lock_guard lock(impl_->mu_);
    return impl_->lastKerberosPrincipal_;
}

void WsmanTestServer::Stop() {
    impl_->Stop();
}

}  // namespace hbr
