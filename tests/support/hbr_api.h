#pragma once
// Talking to a running hbr the way the browser application does: form login, the JSON routes
// with the session cookie, the console WebSocket; and reading its database beside it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "store/json.h"
#include "support/hbr_process.h"
#include "support/http_client.h"

namespace hbr {

// The name=id part of a reply's Set-Cookie.
std::string CookieOf(const HttpReply& reply);

// A server's entry in the live data, or null when it is not listed.
const JsonValue* ServerOf(const JsonValue& live, int id);
// A server's status in the live data: "absent" when it is not listed, "-" when it has none.
std::string ServerStatus(const JsonValue& live, int id);

class HbrApi {
  public:
    explicit HbrApi(const HbrProcess& process) : process_(process) {}

    HttpReply Login(const std::string& usr, const std::string& pwd) const;
    // The cookie of a login, empty when it failed.
    std::string Session(const std::string& usr, const std::string& pwd) const;
    HttpReply Get(const std::string& cookie, const std::string& path) const;
    HttpReply Post(const std::string& cookie, const std::string& path,
                   const std::string& body) const;
    HttpReply Delete(const std::string& cookie, const std::string& path) const;

    // The live data as `cookie` reads it, asked for every `every` until `pred` holds of it or
    // `guard` has passed: the last reading. Each reading must be a 200 with JSON.
    JsonDocument LiveDataWhen(const std::string& cookie,
                              const std::function<bool(const JsonValue&)>& pred,
                              std::chrono::milliseconds guard,
                              std::chrono::milliseconds every) const;

    // The database of the instance, opened for each call.
    int64_t Count(const std::string& sql) const;
    std::string Text(const std::string& sql) const;
    void Exec(const std::string& sql) const;

  private:
    const HbrProcess& process_;
};

}  // namespace hbr
