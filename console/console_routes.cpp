#include "console/console_routes.h"

#include <exception>

#include "console/rdp_session.h"
#include "console/screen_updates.h"

namespace hbr {

void ServeConsoleSocket(HttpRequest& request, const Session& session,
                        const ConsoleAccessCheck& check) {
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
