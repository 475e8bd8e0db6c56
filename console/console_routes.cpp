#include "console/console_routes.h"

#include <exception>
#include <map>
#include <mutex>
#include <string>

#include "console/rdp_session.h"
#include "console/screen_updates.h"
#include "console/web_socket.h"
#include "web/server_limits.h"

namespace hbr {

namespace {

// Console sessions open now, by user and in all; each holds a thread and a screen's memory.
struct ConsoleCounts {
    std::mutex mutex;
    std::map<std::string, size_t> byUser;
    size_t total = 0;
};

ConsoleCounts& Counts() {
    static ConsoleCounts* counts = new ConsoleCounts;  // request threads may outlive exit
    return *counts;
}

// Holds one place for the life of a session; empty text when it got one, else the reason.
class ConsolePlace {
  public:
    explicit ConsolePlace(std::string user) : user_(std::move(user)) {
        ConsoleCounts& c = Counts();
        std::lock_guard lock(c.mutex);
        if (c.total >= Limits().consoleSessionsTotal) {
            refusal_ = "E:Too many console sessions are open on this server (at most " +
                       std::to_string(Limits().consoleSessionsTotal) + ").";
            return;
        }
        size_t& mine = c.byUser[user_];
        if (mine >= Limits().consoleSessionsPerUser) {
            refusal_ = "E:Too many console sessions are open for this user (at most " +
                       std::to_string(Limits().consoleSessionsPerUser) +
                       "). Close one and try again.";
            if (mine == 0) c.byUser.erase(user_);
            return;
        }
        ++mine;
        ++c.total;
        held_ = true;
    }
    ~ConsolePlace() {
        if (!held_) return;
        ConsoleCounts& c = Counts();
        std::lock_guard lock(c.mutex);
        --c.total;
        if (--c.byUser[user_] == 0) c.byUser.erase(user_);
    }
    ConsolePlace(const ConsolePlace&) = delete;
    ConsolePlace& operator=(const ConsolePlace&) = delete;
    const std::string& Refusal() const { return refusal_; }

  private:
    std::string user_;
    std::string refusal_;
    bool held_ = false;
};

}  // namespace

void ServeConsoleSocket(HttpRequest& request, const Session& session,
                        const ConsoleAccessCheck& check) {
    ConsolePlace place(std::to_string(session.userId) + ":" + session.userName);
    if (!place.Refusal().empty()) {
        // Told over the socket itself, where the console page shows "E:" texts.
        try {
            CWebSocket refused(request);
            refused.Serve();
            refused.SendText(place.Refusal());
        } catch (const std::exception&) {
            if (!request.ReplySent()) request.ReplyBadRequest();
        }
        return;
    }
    rconsole::CRdp::AccessCheck sessionCheck;
    if (check)
        sessionCheck = [&check, &session](const rconsole::ConsoleTarget& target) {
            // A check that cannot finish (its audit row cannot be written) refuses.
            try {
                return check(session, target);
            } catch (const std::exception&) {
                return false;
            }
        };
    try {
        rconsole::CRdp console(request, std::move(sessionCheck));
        console.Serve();
    } catch (const std::exception&) {
        // A refused handshake: answered here unless the channel already answered.
        if (!request.ReplySent()) request.ReplyBadRequest();
    }
}

bool ServeCursor(HttpRequest& request, std::string_view path) {
    constexpr std::string_view kPrefix = "/cur/";
    if (path.substr(0, kPrefix.size()) != kPrefix) return false;
    const std::string_view rest = path.substr(kPrefix.size());
    const size_t slash = rest.find('/');
    const std::string_view sessionText = rest.substr(0, slash);
    const std::string_view idText =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    std::vector<uint8_t> file;
    if (rconsole::FindCursorImage(sessionText, idText, file)) {
        request.SetStatus(200, "OK");
        request.Send(file.data(), file.size());
    } else {
        request.SetStatus(404, "Not found");
        request.Send(nullptr, 0);
    }
    return true;
}

}  // namespace hbr
