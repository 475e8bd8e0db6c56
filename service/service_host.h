#pragma once
// One instance run as a systemd service (run-srv): the service object with its control
// operations, the notification of its states to the service manager, the start and the stop.
#include <cstdint>
#include <string>

namespace hbr {

// Service states, numbered as the service manager's own records number them.
enum class ServiceState : uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

enum class ServiceControl : uint32_t { Stop = 1, Pause = 2, Continue = 3, Shutdown = 5 };

struct ServiceStatus {
    uint32_t serviceType = 16;  // own process
    ServiceState currentState = ServiceState::StartPending;
    uint32_t controlsAccepted = 1;  // stop only
    uint32_t exitCode = 0;
    uint32_t serviceExitCode = 0;  // the service's own exit code
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

class ServiceBase {
  public:
    explicit ServiceBase(std::string name) : name(std::move(name)) {}
    ServiceBase(std::string name, std::string displayName, std::string accountUser,
                std::string accountPassword, std::string commandLine)
        : name(std::move(name)),
          displayName(std::move(displayName)),
          commandLine(std::move(commandLine)),
          accountUser(std::move(accountUser)),
          accountPassword(std::move(accountPassword)) {}
    virtual ~ServiceBase() = default;
    ServiceBase(const ServiceBase&) = delete;
    ServiceBase& operator=(const ServiceBase&) = delete;

    virtual void OnStart(int argc, char** argv) = 0;
    virtual void OnStop() {}
    virtual void OnPause() {}
    virtual void OnContinue() {}
    virtual void OnShutdown() {}
    // Reached by no control; kept so the operations stay in their known order.
    virtual void OnReserved() {}

    std::string name;
    std::string displayName;
    uint32_t startType = 2;     // automatic
    uint32_t errorControl = 1;  // normal
    std::string commandLine;
    std::string accountUser;
    std::string accountPassword;
    ServiceStatus status;
    int statusHandle = -1;  // the stop-signal descriptor once the handler is registered
};

class HbrService : public ServiceBase {
  public:
    using ServiceBase::ServiceBase;
    ~HbrService() override;
    void OnStart(int argc, char** argv) override;
    void OnStop() override;
};

// "instanceId=%s; url=%s; auth=%s;" and " admin=%s;" in NTLM mode, from the configuration.
std::string StartParameterText();

// Runs the service until it has stopped; false when the process was not started by the
// service manager (no NOTIFY_SOCKET).
bool RunAsService(ServiceBase& service);

// The service's main function: registers the control handler and runs OnStart.
void ServiceMain(int argc, char** argv);

// Acts on one control for the running service; always 0.
uint32_t ControlHandler(uint32_t control, uint32_t eventType, void* eventData, void* context);

// Records the state and tells the service manager about it.
void ReportStatus(ServiceState state);

// The service object RunAsService is running, or null.
ServiceBase* RunningService();

}  // namespace hbr
