#include "support/test_certificate.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <functional>
#include <memory>
#include <stdexcept>

namespace hbr::test {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* x) const { X509_free(x); }
};

std::string Pem(const std::function<int(BIO*)>& write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
}

std::string Hex(const unsigned char* p, unsigned n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

}  // namespace

TestCertificate MakeLoopbackCertificate() {
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, CertFree> cert(X509_new());
    if (!key || !cert) throw std::runtime_error("test certificate: cannot make a key");
    X509* x = cert.get();
    X509_set_version(x, 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 3600);
    X509_set_pubkey(x, key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    if (X509_EXTENSION* ext =
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1")) {
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(x, key.get(), EVP_sha256()) == 0)
        throw std::runtime_error("test certificate: cannot sign the certificate");

    TestCertificate c;
    c.certPem = Pem([&](BIO* b) { return PEM_write_bio_X509(b, x); });
    c.keyPem = Pem([&](BIO* b) {
        return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned mdLen = 0;
    X509_digest(x, EVP_sha256(), md, &mdLen);
    c.sha256 = Hex(md, mdLen);
    return c;
}

}  // namespace hbr::test
