#include "web/tls_certificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/hbr_exception.h"

namespace hbr {
namespace {

// The "intermediate" configuration: TLS 1.2 with forward-secret AEAD suites only; TLS 1.3's own
// three suites.
constexpr char kCiphers12[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";
constexpr char kCiphers13[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr char kGroups[] = "X25519:prime256v1:secp384r1";
constexpr char kMadeCert[] = "hbr-tls-cert.pem";
constexpr char kMadeKey[] = "hbr-tls-key.pem";
constexpr long kMadeValidDays = 397;
constexpr long kRenewBeforeDays = 30;

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string OpenSslReason() {
    const unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0) return "not valid";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    // "error:0480006C:PEM routines::no start line" -> the last part is the useful one.
    const char* last = std::strrchr(buf, ':');
    return last && last[1] ? std::string(last + 1) : std::string(buf);
}

[[noreturn]] void Fail(const char* what, const std::string& file, const std::string& reason) {
    throw CHbrException(std::string(what) + " " + file + ": " + reason);
}

// Opens the file for reading or fails with the system's reason.
BioPtr OpenForReading(const char* what, const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(what, file, std::strerror(errno));
    ::close(fd);
    BioPtr bio(BIO_new_file(file.c_str(), "r"));
    if (!bio) Fail(what, file, std::strerror(errno ? errno : EIO));
    return bio;
}

X509Ptr ReadFirstCertificate(const std::string& file) {
    BioPtr bio = OpenForReading("Certificate file", file);
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        ERR_clear_error();
        Fail("Certificate file", file, "holds no PEM certificate");
    }
    return cert;
}

PkeyPtr ReadKey(const std::string& file) {
    BioPtr bio = OpenForReading("Key file", file);
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        ERR_clear_error();
        Fail("Key file", file, "holds no PEM private key (or it is encrypted)");
    }
    return key;
}

std::string TimeText(const ASN1_TIME* t) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || ASN1_TIME_print(bio.get(), t) != 1) return "?";
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

void CheckValidity(const std::string& file, X509* cert) {
    if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0)
        Fail("Certificate file", file, "expired on " + TimeText(X509_get0_notAfter(cert)));
    if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0)
        Fail("Certificate file", file, "not valid before " + TimeText(X509_get0_notBefore(cert)));
}

std::vector<std::string> MachineAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP)) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text,
                      sizeof text);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            const auto* in6 = &reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr;
            if (IN6_IS_ADDR_LINKLOCAL(in6)) continue;  // needs a zone, which names cannot carry
            inet_ntop(AF_INET6, in6, text, sizeof text);
        } else {
            continue;
        }
        out.emplace_back(text);
    }
    freeifaddrs(list);
    return out;
}

bool IsAddressLiteral(const std::string& s) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

// True when the file pair is a usable made certificate that does not expire soon.
bool MadePairUsable(const TlsFiles& files) {
    try {
        X509Ptr cert = ReadFirstCertificate(files.cert);
        PkeyPtr key = ReadKey(files.key);
        if (X509_check_private_key(cert.get(), key.get()) != 1) return false;
        time_t soon = time(nullptr) + kRenewBeforeDays * 86400;
        return X509_cmp_time(X509_get0_notAfter(cert.get()), &soon) > 0 &&
               X509_cmp_current_time(X509_get0_notBefore(cert.get())) < 0;
    } catch (const std::exception&) {
        ERR_clear_error();
        return false;
    }
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// Writes `text` to `path` through a temporary file in the same folder, with `mode`.
void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode) {
    const std::string temp = path + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) Fail("Certificate file", path, std::strerror(errno));
    size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            Fail("Certificate file", path, std::strerror(err ? err : EIO));
        }
        off += static_cast<size_t>(n);
    }
    ::fchmod(fd, mode);  // whatever the umask said
    ::fsync(fd);
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        Fail("Certificate file", path, std::strerror(err));
    }
}

std::string Pem(const std::function<int(BIO*)>& write) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1) throw CHbrException("Certificate: cannot encode PEM");
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

void MakePair(const TlsFiles& files, const std::vector<std::string>& extraNames) {
    PkeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    if (!key || !cert) throw CHbrException("Certificate: cannot make a key");
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;  // positive
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kMadeValidDays * 86400L);
    X509_set_pubkey(cert.get(), key.get());

    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || !host[0]) std::strcpy(host, "localhost");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("VmHarbor"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(host), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);

    std::set<std::string> dns{host, "localhost"};
    std::set<std::string> ips;
    for (const auto& a : MachineAddresses()) ips.insert(a);
    for (const auto& n : extraNames) {
        if (n.empty() || n == "+" || n == "*") continue;
        if (IsAddressLiteral(n))
            ips.insert(n);
        else if (n.find_first_of(",: ") == std::string::npos)
            dns.insert(n);
    }
    std::string san;
    for (const auto& d : dns) san += (san.empty() ? "DNS:" : ",DNS:") + d;
    for (const auto& i : ips) san += ",IP:" + i;
    if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature") ||
        !AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") ||
        !AddExtension(cert.get(), NID_subject_key_identifier, "hash") ||
        !AddExtension(cert.get(), NID_subject_alt_name, san))
        throw CHbrException("Certificate: cannot add its extensions: " + OpenSslReason());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        throw CHbrException("Certificate: cannot sign: " + OpenSslReason());

    const std::string keyPem = Pem([&](BIO* b) {
        return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    const std::string certPem = Pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
    // The key first: a certificate is never on disk without its key.
    WriteFileAtomically(files.key, keyPem, 0600);
    WriteFileAtomically(files.cert, certPem, 0644);
}

}  // namespace

std::shared_ptr<boost::asio::ssl::context> LoadTlsContext(const TlsFiles& files) {
    ERR_clear_error();
    X509Ptr leaf = ReadFirstCertificate(files.cert);
    CheckValidity(files.cert, leaf.get());
    PkeyPtr key = ReadKey(files.key);
    if (X509_check_private_key(leaf.get(), key.get()) != 1) {
        ERR_clear_error();
        Fail("Key file", files.key, "does not match the certificate file " + files.cert);
    }

    auto ctx = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
    SSL_CTX* native = ctx->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_clear_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (SSL_CTX_set_cipher_list(native, kCiphers12) != 1 ||
        SSL_CTX_set_ciphersuites(native, kCiphers13) != 1 ||
        SSL_CTX_set1_groups_list(native, kGroups) != 1)
        throw CHbrException("Certificate: the cipher configuration is refused: " + OpenSslReason());
    SSL_CTX_set_dh_auto(native, 1);
    static const unsigned char kSessionContext[] = "hbr";
    SSL_CTX_set_session_id_context(native, kSessionContext, sizeof kSessionContext - 1);
    if (SSL_CTX_use_certificate_chain_file(native, files.cert.c_str()) != 1)
        Fail("Certificate file", files.cert, OpenSslReason());
    if (SSL_CTX_use_PrivateKey(native, key.get()) != 1)
        Fail("Key file", files.key, OpenSslReason());
    if (SSL_CTX_check_private_key(native) != 1)
        Fail("Key file", files.key, "does not match the certificate file " + files.cert);
    return ctx;
}

TlsFiles EnsureMadeCertificate(const std::string& folder, const std::vector<std::string>& names) {
    const std::string base = folder.empty() ? std::string(".") : folder;
    TlsFiles files{base + "/" + kMadeCert, base + "/" + kMadeKey};
    if (!MadePairUsable(files)) MakePair(files, names);
    return files;
}

std::string CertificateFingerprint(const std::string& certFile) {
    try {
        X509Ptr cert = ReadFirstCertificate(certFile);
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (X509_digest(cert.get(), EVP_sha256(), md, &n) != 1) return {};
        static const char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned i = 0; i < n; ++i) {
            if (i) out += ':';
            out += kHex[md[i] >> 4];
            out += kHex[md[i] & 15];
        }
        return out;
    } catch (const std::exception&) {
        ERR_clear_error();
        return {};
    }
}

std::string FilesStamp(const TlsFiles& files) {
    std::string out;
    for (const auto* f : {&files.cert, &files.key}) {
        struct stat st {};
        if (::stat(f->c_str(), &st) != 0) {
            out += "missing;";
            continue;
        }
        out += std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
               std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec) + ";";
    }
    return out;
}

}  // namespace hbr
