#pragma once
// Self-signed certificates for test servers on loopback, made in memory.
#include <string>

namespace hbr::test {

struct TestCertificate {
    std::string certPem;
    std::string keyPem;
    std::string sha256;  // of the DER certificate, 64 lower-case hex digits
};

// A new EC P-256 certificate for 127.0.0.1 (name and address), valid for 30 days, with a
// random serial: each call is a different certificate. Throws when OpenSSL cannot make one.
TestCertificate MakeLoopbackCertificate();

}  // namespace hbr::test
