// run-srv under a notification socket made by the test, as systemd would run it: the ready and
// stopping messages, the start events, the stop on SIGTERM and the failed starts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/process_state.h"
#include "store/event_log.h"
#include "store/json.h"
#include "support/hbr_process.h"
#include "support/http_client.h"
#include "support/taken_port.h"

namespace hbr {
namespace {

// The receiving end of NOTIFY_SOCKET.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~NotifySocket() { close(fd_); }
    const std::string& Path() const { return path_; }
    // Waits for a datagram holding `text`; everything received on the way is kept. The limit
    // only keeps a broken build from hanging the suite.
    bool WaitFor(const std::string& text) {
        while (received_.find(text) == std::string::npos) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0) return false;
            char buf[1024];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) received_.append(buf, static_cast<size_t>(n)) += "|";
        }
        return true;
    }
    // Whatever has arrived without waiting.
    const std::string& Drain() {
        char buf[1024];
        ssize_t n;
        while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            received_.append(buf, static_cast<size_t>(n)) += "|";
        return received_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    std::string received_;
};

struct Event {
    int type = -1;
    std::string message;
};

// The newest event of `instance` in the state folder `stateDir`.
std::vector<Event> Events(const std::string& stateDir, const std::string& instance) {
    setenv("HBR_STATE_DIR", stateDir.c_str(), 1);
    const std::string saved = Config().name;
    Config().name = instance;
    std::string json;
    ReadInstanceEvents(json, 0);
    Config().name = saved;
    unsetenv("HBR_STATE_DIR");
    std::vector<Event> events;
    JsonDocument doc;
    if (!ParseJson(json, doc)) return events;
    for (size_t i = 0; i < doc.Root().Size(); ++i)
        events.push_back(
            {doc.Root().At(i)["eventType"].AsInt(), doc.Root().At(i)["message"].AsText()});
    return events;
}

HbrProcess::Options ServiceOptions(const TempDir& dir, const NotifySocket& notify,
                                   std::vector<std::string> args) {
    HbrProcess::Options o;
    o.args = std::move(args);
    o.stateDir = dir.Path() + "/state";
    o.env["NOTIFY_SOCKET"] = notify.Path();
    o.waitForReady = false;
    return o;
}

TEST(ServiceHost, ReadyAfterStartStoppingOnSigterm) {
    TempDir dir;
    NotifySocket notify(dir.Path() + "/notify");
    const uint16_t port = FreeLoopbackPort();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    HbrProcess hbr(ServiceOptions(dir, notify, {"run-srv", "-name", "Svc", "-url", url}));
    ASSERT_TRUE(notify.WaitFor("READY=1")) << hbr.Output();

    const std::vector<Event> events = Events(dir.Path() + "/state", "Svc");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, kEventSuccess);
    // Without -dbpath the derived path under the account's home is reported.
    EXPECT_EQ(events[0].message, "Instance started:\ninstanceId=Svc; url=" + url +
                                     "; auth=WEBFORM; dbPath=" + hbr.Folder() +
                                     "/.local/share/VmHarbor/Svc/hbr.db");
    // Ready means serving.
    HttpClient client(port);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Get("/login.html").status, 200);

    EXPECT_EQ(hbr.Stop(), 0) << hbr.Output();
    EXPECT_TRUE(notify.WaitFor("STOPPING=1"));
    const std::string all = notify.Drain();
    EXPECT_LT(all.find("READY=1"), all.find("STOPPING=1"));
    EXPECT_EQ(Events(dir.Path() + "/state", "Svc").size(), 1u);
}

TEST(ServiceHost, TakenPortGivesOneErrorEventWithBothTexts) {
    TempDir dir;
    NotifySocket notify(dir.Path() + "/notify");
    const TakenLoopbackPort taken;
    ASSERT_TRUE(taken.Listening());
    const std::string url = "http://127.0.0.1:" + std::to_string(taken.Port()) + "/";

    // Form login: the listener is the first thing that can fail, so the event is its conflict.
    HbrProcess hbr(ServiceOptions(
        dir, notify,
        {"run-srv", "-name", "Busy", "-url", url, "-dbpath", dir.Path() + "/busy.db"}));
    EXPECT_EQ(hbr.Wait(), 0);
    const std::vector<Event> events = Events(dir.Path() + "/state", "Busy");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, kEventError);
    EXPECT_EQ(events[0].message, "Start Instance failed.\nThe specified URL=" + url +
                                     " conflicts with an existing registration.\n"
                                     "To view listening sockets use:\n ss -ltnp\n"
                                     "Start parameters:\ninstanceId=Busy; url=" +
                                     url + "; auth=WEBFORM; dbPath=" + dir.Path() + "/busy.db");
    EXPECT_EQ(notify.Drain().find("READY=1"), std::string::npos);
}

TEST(ServiceHost, UnopenableDatabaseGivesItsOwnErrorEvent) {
    TempDir dir;
    NotifySocket notify(dir.Path() + "/notify");
    HbrProcess hbr(ServiceOptions(
        dir, notify,
        {"run-srv", "-name", "NoDb", "-url",
         "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/", "-dbpath", dir.Path()}));
    EXPECT_EQ(hbr.Wait(), 0);
    const std::vector<Event> events = Events(dir.Path() + "/state", "NoDb");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, kEventError);
    EXPECT_EQ(events[0].message.rfind("Failed to open db file:\n", 0), 0u) << events[0].message;
    EXPECT_EQ(notify.Drain().find("READY=1"), std::string::npos);
}

// What openssl itself says of a certificate file: "AB:CD:..." (SHA-256), or empty.
std::string OpensslFingerprint(const std::string& cert) {
    std::string out;
    if (FILE* p =
            popen(("openssl x509 -noout -fingerprint -sha256 -in '" + cert + "'").c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    const auto eq = out.find('=');
    if (eq == std::string::npos) return {};
    out = out.substr(eq + 1);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// An https instance's start event names the fingerprint of the certificate it serves, so that
// an administrator can check the browser's view against the event log.
TEST(ServiceHost, StartEventOfAnHttpsInstanceCarriesTheCertificateFingerprint) {
    TempDir dir;
    NotifySocket notify(dir.Path() + "/notify");
    const std::string url = "https://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/";
    const std::string db = dir.Path() + "/hbr.db";
    HbrProcess hbr(
        ServiceOptions(dir, notify, {"run-srv", "-name", "Tls", "-url", url, "-dbpath", db}));
    ASSERT_TRUE(notify.WaitFor("READY=1")) << hbr.Output();
    const std::string fingerprint = OpensslFingerprint(dir.Path() + "/hbr-tls-cert.pem");
    ASSERT_EQ(fingerprint.size(), 32u * 3 - 1) << fingerprint;
    const std::vector<Event> events = Events(dir.Path() + "/state", "Tls");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, kEventSuccess);
    EXPECT_EQ(events[0].message, "Instance started:\ninstanceId=Tls; url=" + url +
                                     "; auth=WEBFORM; dbPath=" + db +
                                     "\nCertificate SHA-256 fingerprint: " + fingerprint);
    EXPECT_EQ(hbr.Stop(), 0) << hbr.Output();
}

}  // namespace
}  // namespace hbr
