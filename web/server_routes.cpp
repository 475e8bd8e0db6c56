#include "web/server_routes.h"

#include "hyperv/provider_factory.h"
#include "hyperv/server_registry.h"
#include "platform/hbr_exception.h"
#include "store/claims.h"
#include "store/database.h"
#include "store/json.h"
#include "store/records.h"
#include "store/rights.h"
#include "store/users.h"
#include "web/api_routes.h"

namespace hbr {
namespace {

std::string Text(const JsonValue& v) {
    return v.IsString() ? std::string(v.StringView()) : std::string();
}

// The registry follows the row as stored, so that a partial edit keeps the other columns.
void SyncServer(int32_t id, bool passwordGiven) {
    std::string text;
    JsonDocument doc;
    if (!SelectServers(Db(), "id,host,user,password,b_disabled", id, text) ||
        !ParseJson(text, doc) || !doc.Root().IsArray() || doc.Root().Size() == 0) {
        ServerRegistry::Instance().RemoveServer(id);
        return;
    }
    const JsonValue& row = doc.Root().At(doc.Root().Size() - 1);
    if (row["disabled"].IsTrue()) {
        ServerRegistry::Instance().RemoveServer(id);
        return;
    }
    const std::string password = Text(row["password"]);
    const std::string host = Text(row["host"]), user = Text(row["user"]);
    // A workspace made anew (another host or account, or a server enabled again) connects with
    // the stored password even when the edit did not repeat it; an unchanged one stays as it is.
    const WorkspacePtr current = ServerRegistry::Instance().FindServerById(id);
    const bool unchanged = current && IEquals(current->host, host) && IEquals(current->user, user);
    ServerRegistry::Instance().UpdateServer(id, host, user,
                                            passwordGiven || !unchanged ? &password : nullptr);
}

void ServerRecord(HttpRequest& r, const Session& s, int32_t id) {
    if (id == -1) return r.ReplyBadRequest();
    std::string out;
    if (r.Verb() == HttpVerb::Get) {
        if (!CheckClaim(Db(), s, cHost_Edit, false)) return r.ReplyForbidden();
        return r.ReplyJson("");
    }
    if (r.Verb() == HttpVerb::Delete) {
        if (!CheckClaim(Db(), s, cHost_Edit, true)) return r.ReplyForbidden();
        DeleteRecord(Db(), "servers", id, out);
        if (out.empty()) ServerRegistry::Instance().RemoveServer(id);
        return r.ReplyJson(out);
    }
    std::string body;
    r.BodyText(body);
    JsonDocument doc;
    if (r.Verb() != HttpVerb::Post || !ParseJson(body, doc) || !doc.Root().IsObject() ||
        !(doc.Root()["id"].IsNull() || doc.Root()["id"].IsNumber()))
        return r.ReplyBadRequest();
    if (!CheckClaim(Db(), s, cHost_Edit, true)) return r.ReplyForbidden();
    const JsonValue& server = doc.Root();
    // A host text no provider can use is refused with the reason, before anything is stored.
    const JsonValue& host = server["host"];
    if (!host.IsNull() && !host.IsString()) return r.ReplyBadRequest("Host: not a text");
    if (std::string why; host.IsString() && !CheckHostText(host.StringView(), why))
        return r.ReplyBadRequest("Host: " + why);
    if (id == 0) {
        int64_t newId = 0;
        if (InsertRecord(Db(), "servers", server, out, newId) && !server["disabled"].IsTrue())
            ServerRegistry::Instance().AddServer(static_cast<int>(newId), Text(server["host"]),
                                                 Text(server["user"]), Text(server["password"]));
    } else {
        const int32_t memberId = server["id"].AsInt();
        if (UpdateRecord(Db(), "servers", server, out) && memberId != 0)
            SyncServer(memberId, server["password"].IsString());
    }
    r.ReplyJson(out);
}

void ServerState(HttpRequest& r, const Session& s) {
    std::string body;
    r.BodyText(body);
    JsonDocument doc;
    if (!ParseJson(body, doc) || !doc.Root().IsObject()) return r.ReplyBadRequest();
    const int state = doc.Root()["state"].AsInt();
    const int32_t id = doc.Root()["id"].AsInt();
    if (state != 0 && state != 1) return r.ReplyForbidden();
    if (!CheckServerClaim(Db(), s, state == 1 ? cHost_Restart : cHost_Shutdown, id))
        return r.ReplyForbidden();
    try {
        ServerRegistry::Instance().ShutdownHost(id, state == 1);
    } catch (const CHbrException& e) {
        return r.ReplyServerError(e.Message().empty() ? std::string("Server error") : e.Message());
    }
    r.ReplyOk();
}

}  // namespace

bool TryServerRoute(HttpRequest& r, const Session& s, std::string_view path) {
    if (path == "/api/servers") {
        if (!CheckClaim(Db(), s, cHost_View, false)) {
            r.ReplyForbidden();
            return true;
        }
        std::string out;
        ListServers(Db(), out);
        r.SendJson(out);
        return true;
    }
    if (auto id = MatchNumberRoute(path, "/api/server/")) {
        ServerRecord(r, s, *id);
        return true;
    }
    if (auto id = MatchNumberRoute(path, "/api/server/info/")) {
        // Hardware and addresses of a host are for those who may see hosts.
        if (!CheckClaim(Db(), s, cHost_View, false)) {
            r.ReplyForbidden();
            return true;
        }
        std::string out;
        ServerRegistry::Instance().GetHostInfo(*id, out);
        r.ReplyJson(out);
        return true;
    }
    if (path == "/api/server/state") {
        ServerState(r, s);
        return true;
    }
    return false;
}

}  // namespace hbr
