// Relay figures of the remote console against FreeRDP's shadow server on Xvfb, with a
// full-screen animation drawn on the display: screen messages and bytes per second reaching the
// browser socket, the time from a drawing callback to the finished WebSocket write (mean, p99,
// max), and the CPU the session's serving thread uses. Runs 1024x768 at 16 bits per pixel and
// 1920x1080 at 32 and prints them side by side. Prints figures; asserts nothing.
// Usage: console_relay_bench [seconds per run]
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <algorithm>
#include <vector>
#include <thread>

#include "console/rdp_session.h"
#include "console/rdp_target.h"
#include "support/hbr_process.h"
#include "support/rdp_fixture.h"
#include "web/http_server.h"

// Last: Xlib defines macros (Status, Bool) that clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace hbr;
using namespace std::chrono_literals;

namespace {

// A moving band pattern over the whole root window, about 30 frames a second.
[[noreturn]] void Animate(const std::string& display, int width, int height) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d) _exit(1);
    const int screen = DefaultScreen(d);
    Window root = RootWindow(d, screen);
    GC gc = XCreateGC(d, root, 0, nullptr);
    auto* pixels = static_cast<uint32_t*>(malloc(size_t(width) * height * 4));
    XImage* img = XCreateImage(d, DefaultVisual(d, screen), DefaultDepth(d, screen), ZPixmap, 0,
                               reinterpret_cast<char*>(pixels), width, height, 32, 0);
    for (int frame = 0;; ++frame) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                pixels[y * width + x] = ((x + frame * 8) & 0xFF) << 16 |
                                        ((y + frame * 4) & 0xFF) << 8 | ((x ^ y) & 0xFF);
        XPutImage(d, root, gc, img, 0, 0, 0, 0, width, height);
        XSync(d, False);
        usleep(33000);
    }
}

double ThreadCpuSeconds(pthread_t t) {
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(t, &id) != 0 || clock_gettime(id, &ts) != 0) return 0;
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::atomic<rconsole::CRdp*> g_session{nullptr};
std::atomic<bool> g_haveThread{false};
pthread_t g_servingThread;

struct RunFigures {
    double seconds = 0, messagesPerSecond = 0, megabytesPerSecond = 0, clientMegabytesPerSecond = 0;
    double meanMicros = 0, p99Micros = 0, maxMicros = 0, perMessageMicros = 0;
    double servingCpuPercent = 0, processCpuPercent = 0;
    uint32_t depth = 0;
};

std::optional<RunFigures> Run(int width, int height, uint32_t bpp, int seconds) {
    ShadowRdpServer rdp(width, height);
    if (!rdp.Running()) {
        std::fprintf(stderr, "Xvfb or freerdp-shadow-cli did not start\n");
        return std::nullopt;
    }
    const pid_t animator = fork();
    if (animator == 0) Animate(rdp.Display(), width, height);

    rconsole::SetRdpTargetLookup(
        {nullptr, [&](int32_t) -> std::optional<rconsole::RdpTarget> {
             return rconsole::RdpTarget{"127.0.0.1", "", "", "", rdp.Port()};
         }});
    const uint16_t port = FreeLoopbackPort();
    StartServer("http://127.0.0.1:" + std::to_string(port) + "/", [](HttpRequest& r) {
        rconsole::CRdp session(r);
        g_servingThread = pthread_self();
        g_haveThread = true;
        g_session = &session;
        try {
            session.Serve();
        } catch (...) {
        }
        g_session = nullptr;
    });

    RunFigures f;
    WsTestClient ws;
    const std::string json = R"({"pcb":"1","bpp":)" + std::to_string(bpp) + "}";
    if (!ws.Connect(port) || !ws.SendBinary(ConnectMessage(json))) return std::nullopt;
    while (auto m = ws.Read(30s))
        if (m->text && m->data.rfind("C:", 0) == 0) break;
    // Let the first full screen pass, then measure a steady window.
    const auto warmEnd = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < warmEnd) ws.Read(5s);

    const auto before = g_session.load()->Stats();
    const double cpuBefore = ThreadCpuSeconds(g_servingThread);
    rusage ruBefore{};
    getrusage(RUSAGE_SELF, &ruBefore);
    uint64_t clientBytes = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        auto m = ws.Read(5s);
        if (!m) break;
        clientBytes += m->data.size();
        if (!m->text && m->data.size() >= 40 && m->data[0] == 2) std::memcpy(&f.depth, m->data.data() + 28, 4);
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto after = g_session.load()->Stats();
    const double cpuAfter = ThreadCpuSeconds(g_servingThread);
    rusage ruAfter{};
    getrusage(RUSAGE_SELF, &ruAfter);
    auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    const double processCpu = secs(ruAfter.ru_utime) + secs(ruAfter.ru_stime) -
                              secs(ruBefore.ru_utime) - secs(ruBefore.ru_stime);

    const uint64_t messages = after.messages - before.messages;
    std::vector<uint32_t> window(after.sendNanosSamples.begin() +
                                     static_cast<std::ptrdiff_t>(before.sendNanosSamples.size()),
                                 after.sendNanosSamples.end());
    std::sort(window.begin(), window.end());
    f.seconds = elapsed;
    f.messagesPerSecond = messages / elapsed;
    f.megabytesPerSecond = (after.bytes - before.bytes) / elapsed / 1e6;
    f.clientMegabytesPerSecond = clientBytes / elapsed / 1e6;
    f.meanMicros = messages ? (after.sendNanos - before.sendNanos) / 1e3 / messages : 0.0;
    f.p99Micros = window.empty() ? 0.0 : window[window.size() * 99 / 100] / 1e3;
    f.maxMicros = window.empty() ? 0.0 : window.back() / 1e3;
    f.servingCpuPercent = 100.0 * (cpuAfter - cpuBefore) / elapsed;
    f.perMessageMicros = messages ? (cpuAfter - cpuBefore) * 1e6 / messages : 0.0;
    f.processCpuPercent = 100.0 * processCpu / elapsed;
    ws.Close();
    while (g_session.load()) std::this_thread::sleep_for(10ms);
    StopServer();
    kill(animator, SIGKILL);
    waitpid(animator, nullptr, 0);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const auto small = Run(1024, 768, 16, seconds);
    const auto large = Run(1920, 1080, 32, seconds);
    if (!small || !large) return 1;
    std::printf("console relay, full-screen animation, %d s a run  %18s  %18s\n", seconds,
                "1024x768, 16 bpp", "1920x1080, 32 bpp");
    auto row = [&](const char* name, double a, double b, const char* unit) {
        std::printf("  %-44s %14.1f %-5s %12.1f %-5s\n", name, a, unit, b, unit);
    };
    row("bits per pixel the server sent", small->depth, large->depth, "");
    row("screen messages relayed", small->messagesPerSecond, large->messagesPerSecond, "/s");
    row("relay throughput", small->megabytesPerSecond, large->megabytesPerSecond, "MB/s");
    row("received by the browser side", small->clientMegabytesPerSecond,
        large->clientMegabytesPerSecond, "MB/s");
    row("callback to written, mean", small->meanMicros, large->meanMicros, "us");
    row("callback to written, p99", small->p99Micros, large->p99Micros, "us");
    row("callback to written, max", small->maxMicros, large->maxMicros, "us");
    row("serving thread CPU (goal < 10 % of a core)", small->servingCpuPercent,
        large->servingCpuPercent, "%");
    row("serving thread CPU per message", small->perMessageMicros, large->perMessageMicros, "us");
    row("whole process CPU (with the test client)", small->processCpuPercent,
        large->processCpuPercent, "%");
    return 0;
}
