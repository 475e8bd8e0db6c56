#include "hyperv/wmi_workspace.h"

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "cli/process_state.h"
#include "hyperv/provider_factory.h"
#include "store/json.h"

namespace hbr {

// ---- CHypervisorException ----------------------------------------------------------------

CHypervisorException::CHypervisorException(const std::string& message)
    : text(message + ": 0"), hr(0), what_(message) {}

CHypervisorException::CHypervisorException(const std::string& message, HResult code)
    : text(message + ": " + std::to_string(code)), hr(code) {}

CHypervisorException::CHypervisorException(HResult code, int step)
    : text("error " + std::to_string(code) + " at wmiworkspace: " + std::to_string(step)),
      hr(code) {}

const char* CHypervisorException::what() const noexcept {
    return what_.empty() ? std::exception::what() : what_.c_str();
}

namespace {

// Messages for the HRESULTs hosts answer: the system's texts for COM and RPC codes and the
// WMI module's texts for WBEM codes.
struct Message {
    std::uint32_t hr;
    const char* text;
};
constexpr Message kMessages[] = {
    {0x80004001, "Not implemented"},
    {0x80004005, "Unspecified error"},
    {0x80070005, "Access is denied."},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80070057, "The parameter is incorrect."},
    {0x80010006, "The connection terminated or is in a bogus state and cannot be used any more."},
    {0x80010108, "The object invoked has disconnected from its clients."},
    {0x800706BA, "The RPC server is unavailable."},
    {0x800706BE, "The remote procedure call failed."},
    {0x800706BF, "The remote procedure call failed and did not execute."},
    {0x80072F78, "The server returned an invalid or unrecognized response"},
    {0x80072F8F, "A security error occurred"},
    {0x80041001, "Generic failure"},
    {0x80041002, "Not found"},
    {0x80041003, "Access denied"},
    {0x80041004, "Provider failure"},
    {0x80041005, "Type mismatch"},
    {0x80041006, "Out of memory"},
    {0x80041008, "Invalid parameter"},
    {0x8004100C, "Not supported"},
    {0x8004100E, "Invalid namespace"},
    {0x80041010, "Invalid class"},
    {0x80041017, "Invalid query"},
    {0x8004101E, "Illegal operation"},
    {0x80041023, "Read only"},
    {0x8004102E, "Invalid method"},
    {0x80041032, "Call cancelled"},
    {0x80041033, "Shutting down"},
    {0x8004103A, "Invalid object path"},
};

std::string Trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    std::size_t start = 0;
    while (start < s.size() && std::isspace(static_cast<unsigned char>(s[start]))) ++start;
    return s.substr(start);
}

std::mutex g_refresherLock;
WmiWorkspace::Refresher g_refreshHostLive;
WmiWorkspace::Refresher g_reloadVmList;

constexpr int kMaxReconnects = 3;

}  // namespace

namespace {
std::atomic<std::uint64_t> g_cachedTextVersion{1};
}  // namespace

void NoteCachedTextChange() {
    g_cachedTextVersion.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t CachedTextVersion() {
    return g_cachedTextVersion.load(std::memory_order_relaxed);
}

std::string ErrorText(HResult hr) {
    for (const auto& m : kMessages)
        if (static_cast<HResult>(m.hr) == hr) return Trim(m.text);
    char buf[64];
    std::snprintf(buf, sizeof buf, "failed: 0x%x (%d)", static_cast<unsigned>(hr), hr);
    return buf;
}

std::string ErrorText(const CHypervisorException& e) {
    return ErrorText(e.hr);
}

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
}

// ---- WmiWorkspace ------------------------------------------------------------------------

void WmiWorkspace::SetPollRefreshers(Refresher refreshHostLive, Refresher reloadVmList) {
    std::lock_guard lock(g_refresherLock);
    g_refreshHostLive = std::move(refreshHostLive);
    g_reloadVmList = std::move(reloadVmList);
}

void WmiWorkspace::RequestStop() {
    {
        std::lock_guard lock(stopLock_);
        stop_ = true;
    }
    stopSignal_.notify_all();
}

WmiWorkspace::~WmiWorkspace() {
    {
        std::lock_guard lock(stopLock_);
        stop_ = true;
    }
    stopSignal_.notify_all();
    if (pollerThread_.joinable()) pollerThread_.join();
    std::lock_guard lock(connectionLock_);
    virtualizationServices_.reset();
    cimServices_.reset();
    managementServicePath.clear();
    hostSystemName.clear();
    locator_.reset();
}

HResult WmiWorkspace::Initialize(int id, const std::string& hostName, const std::string& userName,
                                 const std::string& pass, std::chrono::milliseconds interval) {
    serverId = id;
    host = hostName;
    user = userName;
    password = pass;
    {
        std::lock_guard lock(Locks().cache);
        RebuildStatusFragment();
    }
    if (auto slash = user.find('\\'); slash != std::string::npos) {
        domain = user.substr(0, slash);
        accountName = user.substr(slash + 1);
    }
    isLocal = host.empty();
    locator_ = CreateWmiLocator(host);
    pollInterval_ = interval;
    pollerThread_ = std::thread([this] { PollLoop(); });
    return kSOk;
}

void WmiWorkspace::RebuildStatusFragment() {
    std::string fragment =
        "\"id\":" + std::to_string(serverId) + ",\"status\":\"" + JsonEscape(statusText) + "\",";
    if (!presentedCertificate.empty())
        fragment += "\"presented\":\"" + JsonEscape(presentedCertificate) + "\",";
    // A host that keeps failing the same way rebuilds the same fragment every cycle.
    if (fragment == statusFragment) return;
    statusFragment = std::move(fragment);
    NoteCachedTextChange();
}

HResult WmiWorkspace::ConnectNamespace(const char* suffix, WmiServicesPtr& slot) {
    std::string path = "\\\\" + (host.empty() ? std::string(".") : host) + suffix;
    {
        std::lock_guard lock(connectionLock_);
        slot.reset();
    }
    WmiServicesPtr services;
    HResult hr = isLocal || user.empty() ? locator_->ConnectServer(path, "", "", services)
                                         : locator_->ConnectServer(path, user, password, services);
    if (Failed(hr)) return hr;
    std::lock_guard lock(connectionLock_);
    slot = std::move(services);
    return hr;
}

HResult WmiWorkspace::ConnectVirtualization() {
    return ConnectNamespace("\\ROOT\\virtualization\\v2", virtualizationServices_);
}

HResult WmiWorkspace::ConnectCim() {
    return ConnectNamespace("\\ROOT\\CIMV2", cimServices_);
}

WmiServicesPtr WmiWorkspace::VirtualizationServices() const {
    std::lock_guard lock(connectionLock_);
    return virtualizationServices_;
}

WmiServicesPtr WmiWorkspace::CimServices() const {
    std::lock_guard lock(connectionLock_);
    return cimServices_;
}

WmiEnumeratorPtr WmiWorkspace::Query(const WmiServicesPtr& services, const std::string& wql,
                                     int step) {
    WmiEnumeratorPtr result;
    HResult hr = services->ExecQuery(wql, result);
    if (Failed(hr)) throw CHypervisorException(hr, step);
    if (!result) throw CHypervisorException(kEFail, step);
    return result;
}

WmiEnumeratorPtr WmiWorkspace::QueryVirtualization(const std::string& wql) {
    WmiServicesPtr services = VirtualizationServices();
    if (!services) throw CHypervisorException(kRpcEConnectionTerminated, kStepQueryNotConnected);
    return Query(services, wql, kStepQueryExec);
}

WmiEnumeratorPtr WmiWorkspace::QueryCim(const std::string& wql) {
    for (int attempt = 0;; ++attempt) {
        WmiServicesPtr services = CimServices();
        if (!services) throw CHypervisorException(kRpcEConnectionTerminated, kStepCimNotConnected);
        WmiEnumeratorPtr result;
        HResult hr = services->ExecQuery(wql, result);
        if (Succeeded(hr) && result) return result;
        const bool reconnect =
            hr == kRpcEDisconnected || hr == 1726 || hr == 1727 || hr == kEAccessDenied;
        if (!reconnect || attempt >= kMaxReconnects)
            throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepCimExec);
        HResult c = ConnectCim();
        if (Failed(c)) throw CHypervisorException(c, kStepCimReconnect);
    }
}

WmiObjectPtr WmiWorkspace::GetMethodParameters(const std::string& className,
                                               const std::string& method) {
    WmiServicesPtr services = VirtualizationServices();
    if (!services) throw CHypervisorException(kRpcEConnectionTerminated, kStepNoConnection);
    WmiObjectPtr cls, signature, instance;
    HResult hr = services->GetObject(className, cls);
    if (Failed(hr) || !cls) throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepGetClass);
    hr = cls->GetMethod(method, signature);
    if (Failed(hr) || !signature)
        throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepGetMethod);
    hr = signature->SpawnInstance(instance);
    if (Failed(hr) || !instance) throw CHypervisorException(Failed(hr) ? hr : kEFail, kStepSpawn);
    return instance;
}

WmiObjectPtr WmiWorkspace::ExecuteOnSingleton(const std::string& className,
                                              const std::string& method,
                                              const WmiObjectPtr& inParams) {
    WmiEnumeratorPtr e = QueryVirtualization("select * from " + className);
    WmiObjectPtr first;
    HResult hr = e->Next(kWbemInfinite, first);
    if (Failed(hr)) throw CHypervisorException(hr, kStepSingletonQuery);
    if (!first) throw CHypervisorException(kWbemENotFound, kStepSingletonNone);
    WmiValue path = GetTypedProperty(*first, "__PATH", VT_BSTR);
    WmiServicesPtr services = VirtualizationServices();
    if (!services) throw CHypervisorException(kRpcEConnectionTerminated, kStepNoConnection);
    WmiObjectPtr out;
    hr = services->ExecMethod(*path.AsBstr(), method, inParams, out);
    if (Failed(hr)) throw CHypervisorException(hr, kStepExecMethod);
    return out;
}

WmiValue WmiWorkspace::GetTypedProperty(const WmiObject& object, const std::string& name,
                                        std::uint16_t type) {
    WmiValue value;
    HResult hr = object.Get(name, value);
    if (Failed(hr)) throw CHypervisorException(hr, kStepGetProperty);
    if (value.Type() != type) throw CHypervisorException("Invalid type of the property");
    return value;
}

WmiWorkspace::RdpTarget WmiWorkspace::GetRdpTarget() const {
    return {locator_ ? locator_->ConsoleAddress() : host, domain,
            accountName.empty() ? user : accountName, password};
}

HostShutdownResult WmiWorkspace::ShutdownHost(bool restart) {
    if (!locator_) return {EHOSTUNREACH, true};  // never initialised
    return locator_->ShutdownHost(restart, user, password);
}

void WmiWorkspace::PollLoop() {
    while (true) {
        HResult noted = 0;
        {
            std::lock_guard lock(Locks().cache);
            noted = lastError;
        }
        Refresher hostLive, vmList;
        {
            std::lock_guard lock(g_refresherLock);
            hostLive = g_refreshHostLive;
            vmList = g_reloadVmList;
        }
        auto fail = [this](HResult hr, const std::string& text) {
            // A remote provider says what the host did; the HRESULT's text alone rarely does.
            const LocatorFailure detail = locator_->LastFailure();
            const bool same = detail.hr == hr && hr != 0;
            std::lock_guard lock(Locks().cache);
            lastError = hr;
            if (!vmCache.empty()) {
                vmCache.clear();
                NoteCachedTextChange();
            }
            statusCurrent = false;
            statusText = hr == kWbemEInvalidNamespace ? "Hyper-V Service not present." : text;
            if (same && !detail.detail.empty() && hr != kWbemEInvalidNamespace)
                statusText += " (" + detail.detail + ")";
            presentedCertificate = same ? detail.presentedSha256 : std::string();
            RebuildStatusFragment();
        };
        try {
            if (hostLive) hostLive(*this);
            if (noted != kWbemEInvalidNamespace && vmList) vmList(*this);
            std::lock_guard lock(Locks().cache);
            if (lastError != kWbemEInvalidNamespace) {
                lastError = 0;
                statusText = "OK";
                presentedCertificate.clear();
                if (!statusCurrent) {
                    RebuildStatusFragment();
                    statusCurrent = true;
                }
            }
        } catch (const CHypervisorException& e) {
            fail(e.hr, ErrorText(e));
        } catch (const std::exception& e) {
            // Anything else from a refresher must not end the poller (or the process).
            fail(kEFail, e.what());
        }
        std::unique_lock lock(stopLock_);
        if (stopSignal_.wait_for(lock, pollInterval_, [this] { return stop_; })) return;
    }
}

}  // namespace hbr
