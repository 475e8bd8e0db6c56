#include "service/service_host.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "cli/process_state.h"
#include "platform/hbr_exception.h"
#include "service/instance_handler.h"
#include "service/instance_services.h"
#include "store/database.h"
#include "store/event_log.h"
#include "web/http_server.h"

namespace hbr {
namespace {

// The manual-reset stop event: once set it stays set, so a stop that arrives while the
// instance is still starting is not lost.
struct StopEvent {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;

    void Set() {
        std::lock_guard lock(mutex);
        signalled = true;
        changed.notify_all();
    }
    // True when set within the time.
    bool WaitFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [this] { return signalled; });
    }
    void Wait() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return signalled; });
    }
};

// Process-wide and never destroyed: the control thread and the service thread both use them
// until the process exits.
StopEvent& TheStopEvent() {
    static StopEvent* event = new StopEvent;
    return *event;
}

// Keeps the start sequence and the teardown apart, so a stop during start-up never tears
// down a server that is still being started.
std::mutex& LifecycleMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

ServiceBase* g_running = nullptr;

// The control thread (a stop) and the service thread (the start) both report; one report is
// recorded and sent to the service manager before the next begins, so what the record says and
// what the manager heard last are the same.
std::mutex& StatusMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

void StopInstance() {
    // The registry first, so no request reaches a server that is going away; the locks stay
    // alive (requests still running may take them); the listener last, which waits for the
    // handlers still running.
    try {
        StopInstanceServices();
    } catch (const std::exception&) {
        // The listener is released whatever the registry did.
    }
    StopServer();
}

}  // namespace

ServiceBase* RunningService() {
    return g_running;
}

std::string StartParameterText() {
    const InstanceConfig& c = Config();
    std::string text = "instanceId=" + c.name + "; url=" + c.url +
                       "; auth=" + (c.ntlmMode ? "NTLM" : "WEBFORM") + ";";
    if (c.ntlmMode) text += " admin=" + c.admin + ";";
    return text;
}

void ReportStatus(ServiceState state) {
    std::lock_guard lock(StatusMutex());
    ServiceBase* service = g_running;
    if (service) {
        service->status.currentState = state;
        service->status.exitCode = 0;
        service->status.waitHint = 0;
    }
    switch (state) {
        case ServiceState::Running:
            sd_notify(0, "READY=1\nSTATUS=Running");
            break;
        case ServiceState::StopPending:
            sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
            break;
        case ServiceState::Stopped:
            sd_notify(0, "STATUS=Stopped");
            break;
        case ServiceState::StartPending:
            sd_notify(0, "STATUS=Starting");
            break;
        default:
            break;
    }
}

uint32_t ControlHandler(uint32_t control, uint32_t, void*, void*) {
    ServiceBase* service = g_running;
    if (!service) return 0;
    switch (static_cast<ServiceControl>(control)) {
        case ServiceControl::Stop:
            ReportStatus(ServiceState::StopPending);
            service->OnStop();
            ReportStatus(ServiceState::Stopped);
            break;
        case ServiceControl::Pause:
            ReportStatus(ServiceState::PausePending);
            service->OnPause();
            ReportStatus(ServiceState::Paused);
            break;
        case ServiceControl::Continue:
            ReportStatus(ServiceState::ContinuePending);
            service->OnContinue();
            ReportStatus(ServiceState::Running);
            break;
        case ServiceControl::Shutdown:
            service->OnShutdown();
            ReportStatus(ServiceState::Stopped);
            break;
    }
    return 0;
}

void ServiceMain(int argc, char** argv) {
    ServiceBase* service = g_running;
    if (!service) return;
    if (service->statusHandle < 0) {
        ReportInstanceEvent(service->name + "\nCan't set service control handler", kEventError);
        return;
    }
    ReportStatus(ServiceState::StartPending);
    service->OnStart(argc, argv);
}

bool RunAsService(ServiceBase& service) {
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    if (!notifySocket || !*notifySocket) return false;

    // SIGTERM is the stop control. Blocked before any thread starts so that every thread
    // inherits the mask and the signal arrives only through the descriptor.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    pthread_sigmask(SIG_BLOCK, &controls, nullptr);
    service.statusHandle = signalfd(-1, &controls, SFD_CLOEXEC);
    g_running = &service;

    const int serviceDone = eventfd(0, EFD_CLOEXEC);
    std::thread serviceThread([serviceDone] {
        ServiceMain(0, nullptr);
        const uint64_t one = 1;
        (void)!write(serviceDone, &one, sizeof one);
    });

    // The control thread: one stop control, or the service ending by itself (failed start).
    bool stopped = false;
    while (!stopped && service.statusHandle >= 0 && serviceDone >= 0) {
        pollfd fds[2] = {{service.statusHandle, POLLIN, 0}, {serviceDone, POLLIN, 0}};
        const int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            (void)!read(service.statusHandle, &info, sizeof info);
            ControlHandler(static_cast<uint32_t>(ServiceControl::Stop), 0, nullptr, nullptr);
            stopped = true;
        }
        if (fds[1].revents & POLLIN) break;
    }
    serviceThread.join();
    if (serviceDone >= 0) close(serviceDone);
    if (service.statusHandle >= 0) close(service.statusHandle);
    service.statusHandle = -1;
    g_running = nullptr;
    return true;
}

HbrService::~HbrService() = default;

void HbrService::OnStart(int, char**) {
    {
        std::lock_guard lifecycle(LifecycleMutex());
        std::string parameters = StartParameterText();
        InitializeProcess();
        try {
            OpenOrCreate();
        } catch (const std::exception& e) {
            ReportInstanceEvent(e.what(), kEventError);
            ReportStatus(ServiceState::Stopped);
            return;
        }
        parameters += " dbPath=" + Config().dbPath;
        try {
            StartInstanceServer();
        } catch (const std::exception& e) {
            ReportInstanceEvent(std::string("Start Instance failed.\n") + e.what() +
                                    "\nStart parameters:\n" + parameters,
                                kEventError);
            ReportStatus(ServiceState::Stopped);
            return;
        }
        if (const std::string fp = ServerCertificateFingerprint(); !fp.empty())
            parameters += "\nCertificate SHA-256 fingerprint: " + fp;
        ReportInstanceEvent("Instance started:\n" + parameters, kEventSuccess);
        try {
            StartInstanceServices();
        } catch (const std::exception& e) {
            // The console still serves its users and its own records without the servers.
            ReportInstanceEvent(std::string("Loading the servers failed.\n") + e.what(),
                                kEventError);
        }
    }
    StopEvent& stop = TheStopEvent();
    if (stop.WaitFor(std::chrono::milliseconds(500))) return;
    ReportStatus(ServiceState::Running);
    stop.Wait();
}

void HbrService::OnStop() {
    TheStopEvent().Set();
    std::lock_guard lifecycle(LifecycleMutex());
    StopInstance();
}

}  // namespace hbr
