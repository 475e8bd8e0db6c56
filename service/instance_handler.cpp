#include "service/instance_handler.h"

#include <memory>

#include "cli/process_state.h"
#include "web/gss_auth.h"
#include "web/integrated_auth.h"
#include "web/router.h"

namespace hbr {

RequestHandler InstanceRequestHandler() {
    return [](HttpRequest& request) {
        if (Config().ntlmMode) {
            const auto auth = CurrentIntegratedAuth();
            if (auth && !auth->Handshake(request)) return;
        }
        Route(request);
    };
}

void StartInstanceServer() {
    StartServer(Config().url, InstanceRequestHandler());
    if (!Config().ntlmMode) return;
    try {
        auto auth = std::make_shared<GssIntegratedAuth>(GssAuthSettingsFromEnvironment(
            Config().negotiate ? AuthScheme::Negotiate : AuthScheme::Ntlm));
        auth->CheckAvailable();
        SetIntegratedAuth(std::move(auth));
    } catch (...) {
        StopServer();
        throw;
    }
}

}  // namespace hbr
