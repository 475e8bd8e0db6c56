#include "support/canned_tls_host.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

namespace hbr::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

std::string Pem(const std::function<int(BIO*)>& write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
}

}  // namespace

const TestCertificate& LoopbackCertificate() {
    static const TestCertificate cert = [] {
        TestCertificate c;
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 86400);
        X509_set_pubkey(x, key);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
        X509_EXTENSION* san =
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1");
        X509_add_ext(x, san, -1);
        X509_EXTENSION_free(san);
        X509_sign(x, key, EVP_sha256());
        c.certPem = Pem([&](BIO* b) { return PEM_write_bio_X509(b, x); });
        c.keyPem = Pem([&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
        });
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        X509_digest(x, EVP_sha256(), md, &len);
        static const char* hex = "0123456789abcdef";
        for (unsigned int i = 0; i < len; ++i) {
            c.sha256 += hex[md[i] >> 4];
            c.sha256 += hex[md[i] & 15];
        }
        X509_free(x);
        EVP_PKEY_free(key);
        return c;
    }();
    return cert;
}

CannedAnswer HttpAnswer(int status, const std::string& body, const std::string& extraHeaders) {
    CannedAnswer a;
    a.bytes = "HTTP/1.1 " + std::to_string(status) +
              " X\r\nContent-Type: application/soap+xml\r\n" + extraHeaders +
              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return a;
}

CannedHost::CannedHost(std::function<CannedAnswer(const CannedRequest&)> answer)
    : answer_(std::move(answer)), ssl_(asio::ssl::context::tls_server) {
    const auto& cert = LoopbackCertificate();
    ssl_.use_certificate_chain(asio::buffer(cert.certPem));
    ssl_.use_private_key(asio::buffer(cert.keyPem), asio::ssl::context::pem);
    acceptor_.open(tcp::v4());
    acceptor_.bind(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] { AcceptLoop(); });
}

CannedHost::~CannedHost() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    wake_.notify_all();
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    thread_.join();
    for (auto& t : connections_) t.join();
}

std::string CannedHost::Url(const std::string& options) const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/wsman?" + options;
}

std::vector<CannedRequest> CannedHost::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void CannedHost::WaitForStop() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stopping_; });
}

void CannedHost::AcceptLoop() {
    for (;;) {
        boost::system::error_code ec;
        tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        std::lock_guard lock(mutex_);
        if (ec || stopping_) return;
        ++accepted_;
        fds_.push_back(socket.native_handle());
        connections_.emplace_back([this, s = std::move(socket)]() mutable { Serve(std::move(s)); });
    }
}

void CannedHost::Serve(tcp::socket socket) {
    asio::ssl::stream<tcp::socket> stream(std::move(socket), ssl_);
    boost::system::error_code ec;
    stream.handshake(asio::ssl::stream_base::server, ec);
    if (ec) return;
    boost::beast::flat_buffer buffer;
    for (;;) {
        CannedRequest request;
        http::read(stream, buffer, request, ec);
        if (ec) return;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const CannedAnswer a = answer_(request);
        if (a.kind == CannedAnswer::Kind::Silent) {
            WaitForStop();
            return;
        }
        if (a.kind == CannedAnswer::Kind::Endless) {
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: " +
                std::to_string(100u << 20) + "\r\n\r\n<s:Envelope>";
            asio::write(stream, asio::buffer(head), ec);
            const std::string chunk(64 << 10, ' ');
            for (std::size_t sent = 0; !ec && sent < (100u << 20); sent += chunk.size())
                asio::write(stream, asio::buffer(chunk), ec);
            return;
        }
        asio::write(stream, asio::buffer(a.bytes), ec);
        if (ec) return;
    }
}

}  // namespace hbr::test
