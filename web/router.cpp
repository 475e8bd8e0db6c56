#include "web/router.h"

#include <strings.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/process_state.h"
#include "store/audit.h"
#include "store/claims.h"
#include "store/database.h"
#include "store/password.h"
#include "store/users.h"
#include "web/api_routes.h"
#include "web/integrated_auth.h"
#include "web/login_throttle.h"
#include "web/origin_check.h"
#include "web/session_table.h"
#include "web/static_pages.h"

namespace hbr {
namespace {

void Redirect(HttpRequest& request, std::string_view location) {
    request.SetStatus(302, "Found");
    request.SetHeader(kHeaderLocation, location);
    request.Send(nullptr, 0);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Without a platform source every request is asked to authenticate, and none ever is.
bool CheckIntegrated(HttpRequest& request, IntegratedAuth* auth) {
    if (auth && auth->Status(request) == 0) return true;
    if (auth)
        auth->SendChallenge(request);
    else
        request.SendNtlmChallenge();
    return false;
}

// A posted name and password: true when the login succeeded and its reply has gone out. Every
// other outcome (wrong password, unknown or disabled name, throttled attempt) is left to the
// caller's one failure reply, so that they cannot be told apart.
bool FormLogin(HttpRequest& request, const std::string& usr, const std::string& pwd,
               Session& session) {
    const std::string& address = session.clientAddress;
    const int64_t now = SessionClockMs();
    if (!Throttle().MayCheck(address, usr, now)) return false;
    // An unknown name is checked against an empty digest, which costs the same key derivation
    // as a real one: the time of the answer does not tell which names exist.
    const bool found = FindLoginUser(Db(), usr, session);
    const bool verified = VerifyPassword(pwd, found ? std::string_view(session.pwd) : "");
    if (found && verified) {
        // The row comes first: a login the trail cannot record does not happen.
        WriteAudit(Db(), session, kClaimLogin, 0);
        Throttle().RecordSuccess(address, usr);
        UpgradePasswordDigest(Db(), session, pwd);
        const std::string id = CreateSession(session);
        TouchLastLogon(Db(), session);
        request.SetHeader(kHeaderSetCookie, SessionCookie(id, request.Secure()));
        Redirect(request, "/");
        return true;
    }
    // Unknown names are recorded too (user id 0): that is how password spraying shows.
    if (!found) session.userId = 0;
    session.userName = usr;
    TryWriteAudit(Db(), session, kClaimLogin, 1);
    if (const auto started = Throttle().RecordFailure(address, usr, now))
        TryWriteAudit(Db(), session, kClaimLogin, 1, std::nullopt, *started);
    return false;
}

// Form login: true when the request goes on to the route table with `session`.
bool FormAuthenticate(HttpRequest& request, const std::string& path, const std::string& cookie,
                      bool found, Session& session) {
    if (path == "/login.html") {
        ServeStatic(request, path);
        return false;
    }
    if (found) {
        if (path != "/logout") return true;
        RemoveSession(cookie);
        // Rows are written before the reply, so whatever the client does next sees them. A
        // logout is not refused for want of its row: that would keep the session open.
        TryWriteAudit(Db(), session, kClaimLogout, 0);
        request.SetHeader(kHeaderSetCookie, ExpiredSessionCookie(request.Secure()));
        Redirect(request, "/");
        return false;
    }
    if (path == "/login") {
        std::string usr, pwd;
        request.FormValue("usr", usr);
        request.FormValue("pwd", pwd);
        if (!usr.empty() && FormLogin(request, usr, pwd, session)) return false;
    }
    if (path.find("/api/") != std::string::npos)
        request.ReplyForbidden();
    else
        Redirect(request, "/login.html");
    return false;
}

// Integrated authentication: true when the request goes on to the route table with `session`.
bool IntegratedAuthenticate(HttpRequest& request, const std::string& path, std::string cookie,
                            bool found, Session& session) {
    const std::shared_ptr<IntegratedAuth> auth = CurrentIntegratedAuth();
    if (!found) {
        if (!CheckIntegrated(request, auth.get())) return false;
        std::string account;
        std::vector<std::string> groups;
        // An empty account name would match an unset administrator account below.
        if (!auth->UserInfo(request, account, groups) || account.empty()) {
            request.ReplyServerError("GetUserInfoFromToken failed");
            return false;
        }
        session.windowsGroups = std::move(groups);
        if (!Config().admin.empty() && EqualsIgnoringCase(account, Config().admin))
            account = "Administrator";
        if (!ResolveWindowsUser(Db(), account, session)) {
            session.userName = account;
            TryWriteAudit(Db(), session, kClaimLogin, 1);
            request.ReplyUnauthorized();
            return false;
        }
        WriteAudit(Db(), session, kClaimLogin, 0);  // before the session: fails closed
        cookie = CreateSession(session);
        TouchLastLogon(Db(), session);
        // Goes out with whatever reply this request gets.
        request.SetHeader(kHeaderSetCookie, SessionCookie(cookie, request.Secure()));
    }
    if (path != "/logout") return true;
    if (!CheckIntegrated(request, auth.get())) return false;
    RemoveSession(cookie);
    TryWriteAudit(Db(), session, kClaimLogout, 0);
    request.SetHeader(kHeaderSetCookie, ExpiredSessionCookie(request.Secure()));
    request.ReplyUnauthorized();
    return false;
}

}  // namespace

std::string NormalisePath(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

std::string SessionCookie(std::string_view id, bool secure) {
    // HttpOnly keeps page scripts away from the id; SameSite=Lax keeps other sites' pages from
    // posting with it (bodies are read as JSON whatever their declared type); over https,
    // Secure keeps it off plain connections.
    return SessionCookieName() + "=" + std::string(id) + ";Path=/;HttpOnly;SameSite=Lax" +
           (secure ? ";Secure" : "");
}

std::string ExpiredSessionCookie(bool secure) {
    return SessionCookie("", secure) + ";Max-Age=0;Expires=Thu, 01 Jan 1970 00:00:00 GMT";
}

void Route(HttpRequest& request) {
    const std::string path = NormalisePath(request.Path());
    Session session;
    session.lastActivity = SessionClockMs();
    session.clientAddress = request.ClientAddress();
    // Another page of this host (another port) must not act with the user's cookie.
    if (!OriginAllowed(request, path == "/ws"))
        return request.ReplyForbidden("Cross-origin request refused");
    const std::string cookie = request.Cookie(SessionCookieName());
    const bool found = FindSession(cookie, session);

    if (path.starts_with("/bs/")) {
        ServeStatic(request, path);
        return;
    }
    try {
        const bool authenticated =
            Config().ntlmMode ? IntegratedAuthenticate(request, path, cookie, found, session)
                              : FormAuthenticate(request, path, cookie, found, session);
        if (authenticated) DispatchAuthenticated(request, path, session);
    } catch (const AuditTrailUnwritable&) {
        // Raised by the check before the action (or the login) it guards: nothing happened.
        if (!request.ReplySent()) request.ReplyJson(kAuditUnwritableText);
    }
}

}  // namespace hbr
