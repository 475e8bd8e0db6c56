#pragma once
// One managed Hyper-V host: its credentials, its two namespace connections, its cached VM list
// and live figures, its status, and the poller that refreshes them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "hyperv/wmi/wmi_provider.h"

namespace hbr {

// The error of the hypervisor layer: a text and an HRESULT.
class CHypervisorException : public std::exception {
  public:
    // A plain message: text "message: 0", hr 0, what() the message.
    explicit CHypervisorException(const std::string& message);
    // A message and an HRESULT: text "message: hr" (signed decimal).
    CHypervisorException(const std::string& message, HResult hr);
    // A failing step: text "error hr at wmiworkspace: step".
    CHypervisorException(HResult hr, int step);

    const char* what() const noexcept override;

    std::string text;
    HResult hr = 0;

  private:
    std::string what_;  // empty: the standard text
};

// The user-facing message for an exception's HRESULT: the message table's text, else
// "failed: 0x%x (%d)".
std::string ErrorText(const CHypervisorException& e);

// Counts changes of the cached texts of every workspace (VM objects, status and live fragments)
// and of the registry's list, so a reply assembled from them can be kept until one changes.
// Bumped while the lock that guards the changed text is held.
void NoteCachedTextChange();
std::uint64_t CachedTextVersion();
std::string ErrorText(HResult hr);

// Keys compared ignoring letter case, as VM ids are.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

class WmiWorkspace {
  public:
    // The poller's two refreshers, supplied by the VM inventory and host figures code.
    using Refresher = std::function<void(WmiWorkspace&)>;
    static void SetPollRefreshers(Refresher refreshHostLive, Refresher reloadVmList);

    WmiWorkspace() = default;
    ~WmiWorkspace();
    WmiWorkspace(const WmiWorkspace&) = delete;
    WmiWorkspace& operator=(const WmiWorkspace&) = delete;

    // Stores the server and starts the poller; it does not contact the host.
    HResult Initialize(int serverId, const std::string& host, const std::string& user,
                       const std::string& password,
                       std::chrono::milliseconds pollInterval = std::chrono::milliseconds(6000));

    HResult ConnectVirtualization();
    HResult ConnectCim();

    // Tells the poller to end after its current step; the destructor still joins it.
    void RequestStop();

    // Throw CHypervisorException.
    WmiEnumeratorPtr QueryVirtualization(const std::string& wql);
    WmiEnumeratorPtr QueryCim(const std::string& wql);
    WmiObjectPtr GetMethodParameters(const std::string& className, const std::string& method);
    WmiObjectPtr ExecuteOnSingleton(const std::string& className, const std::string& method,
                                    const WmiObjectPtr& inParams);
    // The value, or "Invalid type of the property" when it is of another VARIANT kind.
    static WmiValue GetTypedProperty(const WmiObject& object, const std::string& name,
                                     std::uint16_t type);

    struct RdpTarget {
        std::string host, domain, accountName, password;
    };
    RdpTarget GetRdpTarget() const;

    // Shuts the host down or restarts it through its provider, with the stored credentials.
    HostShutdownResult ShutdownHost(bool restart);

    // The connections as they are now (each caller holds its own reference).
    WmiServicesPtr VirtualizationServices() const;
    WmiServicesPtr CimServices() const;

    // Rebuilds statusFragment from serverId and statusText; cache lock held by the caller.
    void RebuildStatusFragment();

    // Fields (see the data model); the cached ones are guarded by Locks().cache.
    HResult lastError = 0;
    int serverId = 0;
    std::string user, host, domain, accountName, password;
    std::map<std::string, std::string, CaseInsensitiveLess> vmCache;
    std::string statusText;
    // The SHA-256 of the certificate a remote host presented when it was not accepted; shown
    // beside the status so that an administrator can pin it.
    std::string presentedCertificate;
    bool statusCurrent = false;
    std::string hostLiveFragment;
    std::string statusFragment;
    std::string managementServicePath;
    std::string hostSystemName;
    bool isLocal = true;

    // Step numbers named in step errors.
    enum Step : int {
        kStepQueryNotConnected = 1,
        kStepQueryExec = 2,
        kStepCimNotConnected = 3,
        kStepCimExec = 4,
        kStepCimReconnect = 5,
        kStepGetClass = 6,
        kStepGetMethod = 7,
        kStepSpawn = 8,
        kStepSingletonQuery = 9,
        kStepSingletonRead = 10,
        kStepSingletonNone = 11,
        kStepExecMethod = 12,
        kStepGetProperty = 13,
        kStepNoConnection = 14,
    };

  private:
    HResult ConnectNamespace(const char* suffix, WmiServicesPtr& slot);
    WmiEnumeratorPtr Query(const WmiServicesPtr& services, const std::string& wql, int step);
    void PollLoop();

    WmiLocatorPtr locator_;
    mutable std::mutex connectionLock_;  // guards the two slots only
    WmiServicesPtr virtualizationServices_;
    WmiServicesPtr cimServices_;

    std::mutex stopLock_;
    std::condition_variable stopSignal_;
    bool stop_ = false;
    std::chrono::milliseconds pollInterval_{6000};
    std::thread pollerThread_;
};

}  // namespace hbr
