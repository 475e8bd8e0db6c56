#include "web/integrated_auth.h"

#include <mutex>

namespace hbr {
namespace {

std::mutex g_authLock;
std::shared_ptr<IntegratedAuth> g_auth;

}  // namespace

void SetIntegratedAuth(std::shared_ptr<IntegratedAuth> auth) {
    std::lock_guard lock(g_authLock);
    g_auth = std::move(auth);
}

std::shared_ptr<IntegratedAuth> CurrentIntegratedAuth() {
    std::lock_guard lock(g_authLock);
    return g_auth;
}

}  // namespace hbr
