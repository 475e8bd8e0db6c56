#pragma once
// Where integrated (Windows) authentication comes from. The router asks it whether a request
// is authenticated and, when it is, for the account and its groups; how the platform gets them
// (a negotiated security context, a user database) is the implementation's business.
#include <memory>
#include <string>
#include <vector>

#include "web/http_request.h"

namespace hbr {

class IntegratedAuth {
  public:
    virtual ~IntegratedAuth() = default;
    // Runs before the router: takes the client's authentication message, if any. False when
    // this request has been answered (an intermediate challenge carrying the next token).
    virtual bool Handshake(HttpRequest&) { return true; }
    // The 401 that asks the client to authenticate.
    virtual void SendChallenge(HttpRequest& request) { request.SendNtlmChallenge(); }
    // 0 when the request is authenticated; anything else asks for the challenge.
    virtual int Status(const HttpRequest& request) = 0;
    // The authenticated account "DOMAIN\user" and its groups "DOMAIN\group"; false when the
    // names cannot be read.
    virtual bool UserInfo(const HttpRequest& request, std::string& account,
                          std::vector<std::string>& groups) = 0;
};

// The process's source of integrated authentication; none until a platform provides one, and
// then every request in integrated mode is answered with the challenge.
void SetIntegratedAuth(std::shared_ptr<IntegratedAuth> auth);
std::shared_ptr<IntegratedAuth> CurrentIntegratedAuth();

}  // namespace hbr
