#include "support/hbr_api.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <thread>

namespace hbr {

std::string CookieOf(const HttpReply& reply) {
    const std::string c = reply.Header("Set-Cookie");
    return c.substr(0, c.find(';'));
}

const JsonValue* ServerOf(const JsonValue& live, int id) {
    const JsonValue& s = live["servers"];
    for (size_t i = 0; i < s.Size(); ++i)
        if (s.At(i)["id"].AsInt() == id) return &s.At(i);
    return nullptr;
}

std::string ServerStatus(const JsonValue& live, int id) {
    const JsonValue* s = ServerOf(live, id);
    return s ? (*s)["status"].AsText("-") : "absent";
}

HttpReply HbrApi::Login(const std::string& usr, const std::string& pwd) const {
    HttpClient c(process_.Port());
    return c.Post("/login", "usr=" + usr + "&pwd=" + pwd,
                  "Content-Type: application/x-www-form-urlencoded\r\n");
}

std::string HbrApi::Session(const std::string& usr, const std::string& pwd) const {
    const HttpReply r = Login(usr, pwd);
    return r.Header("Location") == "/" ? CookieOf(r) : std::string();
}

HttpReply HbrApi::Get(const std::string& cookie, const std::string& path) const {
    HttpClient c(process_.Port());
    return c.Get(path, cookie.empty() ? "" : CookieHeader(cookie));
}

HttpReply HbrApi::Post(const std::string& cookie, const std::string& path,
                       const std::string& body) const {
    HttpClient c(process_.Port());
    return c.Post(path, body, cookie.empty() ? "" : CookieHeader(cookie));
}

HttpReply HbrApi::Delete(const std::string& cookie, const std::string& path) const {
    HttpClient c(process_.Port());
    return c.Delete(path, cookie.empty() ? "" : CookieHeader(cookie));
}

JsonDocument HbrApi::LiveDataWhen(const std::string& cookie,
                                  const std::function<bool(const JsonValue&)>& pred,
                                  std::chrono::milliseconds guard,
                                  std::chrono::milliseconds every) const {
    const auto end = std::chrono::steady_clock::now() + guard;
    while (true) {
        JsonDocument doc;
        const HttpReply r = Get(cookie, "/api/livedata");
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(ParseJson(r.body, doc)) << r.body;
        if (pred(doc.Root()) || std::chrono::steady_clock::now() > end) return doc;
        std::this_thread::sleep_for(every);
    }
}

int64_t HbrApi::Count(const std::string& sql) const {
    SQLite::Database db(process_.DbPath(), SQLite::OPEN_READONLY, 10000);
    return db.execAndGet(sql).getInt64();
}

std::string HbrApi::Text(const std::string& sql) const {
    SQLite::Database db(process_.DbPath(), SQLite::OPEN_READONLY, 10000);
    return db.execAndGet(sql).getString();
}

void HbrApi::Exec(const std::string& sql) const {
    SQLite::Database db(process_.DbPath(), SQLite::OPEN_READWRITE, 10000);
    db.exec(sql);
}

}  // namespace hbr
