#pragma once
// A TLS host on 127.0.0.1 that answers each HTTP request with canned bytes chosen by the test:
// for the WS-Management client's tests of hosts that behave and hosts that do not (never answer,
// answer without end, answer an error page). One thread for each connection, so that concurrent
// requests are seen as such. Not a WS-Management server.
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_certificate.h"

namespace hbr::test {

// A self-signed certificate for 127.0.0.1, made once for the test run.
const TestCertificate& LoopbackCertificate();

using CannedRequest = boost::beast::http::request<boost::beast::http::string_body>;

// What the canned host does with one request.
struct CannedAnswer {
    enum class Kind { Bytes, Silent, Endless } kind = Kind::Bytes;
    std::string bytes;  // a whole HTTP response for Bytes
};

// A response with this status, body and extra header lines (each ending in CRLF).
CannedAnswer HttpAnswer(int status, const std::string& body, const std::string& extraHeaders = {});

class CannedHost {
  public:
    explicit CannedHost(std::function<CannedAnswer(const CannedRequest&)> answer);
    ~CannedHost();
    CannedHost(const CannedHost&) = delete;
    CannedHost& operator=(const CannedHost&) = delete;

    int Port() const { return port_; }
    // "https://127.0.0.1:PORT/wsman?" followed by the options.
    std::string Url(const std::string& options = "auth=basic&tls=insecure") const;
    int Accepted() const { return accepted_; }
    std::vector<CannedRequest> Requests() const;

  private:
    void AcceptLoop();
    void Serve(boost::asio::ip::tcp::socket socket);
    void WaitForStop();

    std::function<CannedAnswer(const CannedRequest&)> answer_;
    boost::asio::io_context io_;
    boost::asio::ssl::context ssl_;
    boost::asio::ip::tcp::acceptor acceptor_{io_};
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<int> fds_;
    std::vector<std::thread> connections_;
    std::vector<CannedRequest> requests_;
    std::atomic<int> accepted_{0};
};

}  // namespace hbr::test
