#include "web/api_routes.h"

#include "console/console_routes.h"
#include "hyperv/workspace_ops.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <limits>
#include <string>

#include <SQLiteCpp/Statement.h>

#include "cli/process_state.h"
#include "store/audit.h"
#include "store/claims.h"
#include "store/database.h"
#include "store/event_log.h"
#include "store/json.h"
#include "store/password.h"
#include "store/records.h"
#include "store/rights.h"
#include "store/users.h"
#include "store/vm_limits.h"
#include "web/server_routes.h"
#include "web/session_table.h"
#include "web/static_pages.h"
#include "web/vm_routes.h"

namespace hbr {
namespace {

// One request on its way through a row.
struct RouteCall {
    HttpRequest& request;
    const Session& session;
    const std::string& path;
    int32_t id = 0;  // number routes
};

using RouteHandler = void (*)(RouteCall&);

enum class Match { Exact, Number };

struct RouteRow {
    std::string_view path;
    Match match;
    RouteHandler handler;
};

bool IsPost(const HttpRequest& request) {
    return request.Verb() == HttpVerb::Post;
}

// A member named twice, at any depth: the rights checks read the first, while the stored text
// keeps both and a later reader (or the statement) may take the last.
bool HasDuplicateMembers(const JsonValue& value) {
    if (value.IsObject()) {
        for (const JsonMember* m = value.MembersBegin(); m != value.MembersEnd(); ++m) {
            for (const JsonMember* n = value.MembersBegin(); n != m; ++n)
                if (n->key == m->key) return true;
            if (HasDuplicateMembers(*m->value)) return true;
        }
    } else if (value.IsArray()) {
        for (auto e = value.ElementsBegin(); e != value.ElementsEnd(); ++e)
            if (HasDuplicateMembers(**e)) return true;
    }
    return false;
}

// The body as a JSON object with, when present, a numeric (or null) `id`; anything else is
// refused before a check or a write.
bool ParseRecordBody(const HttpRequest& request, JsonDocument& doc) {
    std::string body;
    request.BodyText(body);
    if (!ParseJson(body, doc) || !doc.Root().IsObject() || HasDuplicateMembers(doc.Root()))
        return false;
    const JsonValue& id = doc.Root()["id"];
    return id.IsNull() || id.IsNumber();
}

bool HasMember(const JsonValue& object, std::string_view key) {
    for (const JsonMember* m = object.MembersBegin(); m != object.MembersEnd(); ++m)
        if (m->key == key) return true;
    return false;
}

// The id of the caller's own session, which a password change leaves open.
std::string CallerSessionId(const HttpRequest& request) {
    return request.Cookie(SessionCookieName());
}

std::string Trim(std::string_view text) {
    const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return std::string(text);
}

void IndexPage(RouteCall& c) {
    ServeStatic(c.request, "/index.html");
}

void Users(RouteCall& c) {
    if (!CheckClaim(Db(), c.session, cUsers_View, false)) return c.request.ReplyForbidden();
    std::string out;
    ListUsers(Db(), out);
    c.request.ReplyJson(out);
}

void User(RouteCall& c) {
    HttpRequest& r = c.request;
    const Session& s = c.session;
    if (c.id != 0 && !CheckClaim(Db(), s, cUsers_Edit, false)) return r.ReplyForbidden();
    if (c.id == -1) return r.ReplyBadRequest();
    std::string out;
    if (r.Verb() == HttpVerb::Get) {
        if (c.id == 0)
            CurrentUserJson(s, out);
        else
            UserJson(Db(), c.id, out);
        return r.ReplyJson(out);
    }
    if (r.Verb() == HttpVerb::Delete) {
        std::string reason;
        if (!CheckUserDelete(Db(), s, c.id, reason)) return r.ReplyForbidden();
        DeleteRecord(Db(), "users", c.id, out);
        // The deleted user's open sessions must not keep its rights.
        if (out.empty()) RefreshSessions(Db(), c.id);
        return r.ReplyJson(out);
    }
    JsonDocument doc;
    if (!IsPost(r) || !ParseRecordBody(r, doc)) return r.ReplyBadRequest();
    const JsonValue& user = doc.Root();
    std::string reason;
    if (!CheckUserEdit(Db(), s, user, reason)) return r.ReplyForbidden();
    if (const int32_t id = user["id"].AsInt(); id != 0) {
        if (UpdateRecord(Db(), "users", user, out)) {
            // A password set for a user ends the user's other sessions: whoever knew the old
            // one is logged out. An editor setting its own keeps this session.
            if (HasMember(user, "pwd"))
                EndUserSessions(id, id == s.userId ? CallerSessionId(r) : std::string());
            RefreshSessions(Db(), id);
        }
    } else {
        int64_t newId = 0;
        InsertRecord(Db(), "users", user, out, newId);
    }
    r.ReplyJson(out);
}

void ChangePassword(RouteCall& c) {
    HttpRequest& r = c.request;
    JsonDocument doc;
    std::string body;
    r.BodyText(body);
    if (!IsPost(r) || !ParseJson(body, doc) || !doc.Root().IsObject()) return r.ReplyBadRequest();
    const std::string oldPassword = doc.Root()["pwd0"].AsText();
    const std::string newPassword = Trim(doc.Root()["pwd1"].AsText());
    if (!VerifyPassword(oldPassword, c.session.pwd) || newPassword.empty())
        return r.ReplyForbidden("Password is invalid");
    std::string out;
    SetPassword(Db(), c.session, newPassword, out);
    // The caller's own sessions take the new digest, whatever id the path names: only the
    // caller's password was changed. Its other sessions end; this one stays.
    if (out.empty() && c.session.userId != 0) {
        EndUserSessions(c.session.userId, CallerSessionId(r));
        RefreshSessions(Db(), c.session.userId);
    }
    r.ReplyJson(out);
}

constexpr std::string_view kRoleInUseText = "error: the role still has users";

bool RoleHasUsers(int32_t roleId) {
    try {
        SQLite::Statement statement(Db(), "SELECT 1 FROM users WHERE roleId=? LIMIT 1");
        statement.bind(1, roleId);
        return statement.executeStep();
    } catch (const std::exception&) {
        return false;  // the delete itself then reports the failure
    }
}

void Roles(RouteCall& c) {
    if (!CheckClaim(Db(), c.session, cRoles_View, false)) return c.request.ReplyForbidden();
    std::string out;
    ListRoles(Db(), out);
    c.request.ReplyJson(out);
}

void Role(RouteCall& c) {
    HttpRequest& r = c.request;
    const Session& s = c.session;
    std::string out;
    if (r.Verb() == HttpVerb::Get) {
        if (!CheckClaim(Db(), s, cRoles_Edit, false)) return r.ReplyForbidden();
        RoleJson(Db(), c.id, out);
        return r.ReplyJson(out);
    }
    if (r.Verb() == HttpVerb::Delete) {
        std::string reason;
        if (!CheckRoleDelete(Db(), s, c.id, reason)) return r.ReplyForbidden(reason);
        if (RoleHasUsers(c.id)) return r.ReplyJson(kRoleInUseText);
        DeleteRecord(Db(), "roles", c.id, out);
        // Between the count and the delete a user may have been given the role.
        if (out.find("FOREIGN KEY") != std::string::npos) out = kRoleInUseText;
        return r.ReplyJson(out);
    }
    JsonDocument doc;
    if (!IsPost(r) || !ParseRecordBody(r, doc)) return r.ReplyBadRequest();
    const JsonValue& role = doc.Root();
    if (!IsValidVmList(role["vms"])) return r.ReplyBadRequest();
    std::string reason;
    if (!CheckRoleEdit(Db(), s, role, reason)) return r.ReplyForbidden(reason);
    if (role["id"].AsInt() != 0) {
        if (UpdateRecord(Db(), "roles", role, out)) RefreshSessions(Db(), 0);
    } else {
        int64_t newId = 0;
        InsertRecord(Db(), "roles", role, out, newId);
    }
    r.ReplyJson(out);
}

std::string Query(const HttpRequest& request, std::string_view name) {
    std::string value;
    request.QueryValue(name, value);
    return value;
}

void AuditLog(RouteCall& c) {
    if (!CheckClaim(Db(), c.session, cLog_Audit, false)) return c.request.ReplyForbidden();
    if (c.request.Verb() != HttpVerb::Get) return ServeStatic(c.request, c.path);
    std::string out;
    QueryAudit(Db(), out, Query(c.request, "start"), Query(c.request, "limit"),
               Query(c.request, "sort"), Query(c.request, "filter"), c.session.userId == 1);
    // A refused or failed page is an error, not an empty page.
    c.request.ReplyJson(out);
}

void SystemLog(RouteCall& c) {
    if (!CheckClaim(Db(), c.session, cLog_System, false)) return c.request.ReplyForbidden();
    if (c.request.Verb() != HttpVerb::Get) return ServeStatic(c.request, c.path);
    std::string out;
    ReadInstanceEvents(out, 0);
    c.request.SendJson(out);
}

// In the order they are tried, after the hypervisor rows.
constexpr std::array<RouteRow, 8> kRoutes = {{
    {"", Match::Exact, IndexPage},
    {"/api/users", Match::Exact, Users},
    {"/api/user/", Match::Number, User},
    {"/api/changepassword/", Match::Number, ChangePassword},
    {"/api/roles", Match::Exact, Roles},
    {"/api/role/", Match::Number, Role},
    {"/api/auditlog", Match::Exact, AuditLog},
    {"/api/syslog", Match::Exact, SystemLog},
}};

}  // namespace

std::optional<int32_t> MatchNumberRoute(std::string_view path, std::string_view prefix) {
    if (!path.starts_with(prefix)) return std::nullopt;
    const std::string_view rest = path.substr(prefix.size());
    size_t i = 0;
    while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i]))) ++i;
    bool negative = false;
    if (i < rest.size() && (rest[i] == '-' || rest[i] == '+')) negative = rest[i++] == '-';
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i)
        value = std::min(value * 10 + (rest[i] - '0'), kLimit);
    if (negative) value = -value;
    value = std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                std::numeric_limits<int32_t>::max());
    if (value == 0 && rest.size() != 1) return std::nullopt;
    return static_cast<int32_t>(value);
}

void DispatchAuthenticated(HttpRequest& request, const std::string& path, const Session& session) {
    if (path.empty()) {
        RouteCall call{request, session, path};
        return IndexPage(call);
    }
    // The live-data, console-page, VM and server rows come after the index page and before
    // the account rows, in that order.
    if (ServeCursor(request, path)) return;  // every path under "/cur/" is answered there
    if (path == "/ws") {
        if (!CheckClaim(Db(), session, cVm_Connect, false)) return request.ReplyForbidden();
        // The target is named only in the connect message: a role limited to some VMs must not
        // reach the others' screens, and a host's own desktop needs the host claim.
        using Kind = rconsole::ConsoleTarget::Kind;
        return ServeConsoleSocket(
            request, session, [](const Session& s, const rconsole::ConsoleTarget& t) {
                if (t.kind == Kind::Vm) return CheckVmClaim(Db(), s, cVm_Connect, t.vmId, true);
                if (t.kind == Kind::Server)
                    return CheckServerClaim(Db(), s, cHost_Connect, t.serverId);
                return false;
            });
    }
    if (TryVmRoute(request, session, path) || TryServerRoute(request, session, path)) return;
    for (const RouteRow& row : kRoutes) {
        RouteCall call{request, session, path};
        if (row.match == Match::Exact) {
            if (path != row.path) continue;
        } else {
            const std::optional<int32_t> id = MatchNumberRoute(path, row.path);
            if (!id) continue;
            call.id = *id;
        }
        row.handler(call);
        return;
    }
    ServeStatic(request, path);
}

}  // namespace hbr
