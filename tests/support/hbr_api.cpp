#include "support/hbr_api.h"

#include <SQLiteCpp/SQLiteCpp.h>

namespace hbr {

std::string CookieOf(const HttpReply& reply) {
    const std::string c = reply.Header("Set-Cookie");
    return c.substr(0, c.find(';'));
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
