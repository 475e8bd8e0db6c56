// Relay figures of the remote console against FreeRDP's shadow server on Xvfb, with a
// full-screen animation drawn on the display: screen bytes per second reaching the browser
// socket, the time from a drawing callback to the finished WebSocket write, and the CPU the
// session's threads use. Prints figures; asserts nothing.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
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

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int width = 1024, height = 768;
    ShadowRdpServer rdp(width, height);
    if (!rdp.Running()) {
        std::fprintf(stderr, "Xvfb or freerdp-shadow-cli did not start\n");
        return 1;
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

    WsTestClient ws;
    if (!ws.Connect(port) || !ws.SendBinary(ConnectMessage(R"({"pcb":"1"})"))) return 1;
    while (auto m = ws.Read(30s))
        if (m->text && m->data.rfind("C:", 0) == 0) break;
    // Let the first full screen pass, then measure a steady window.
    const auto warmEnd = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < warmEnd) ws.Read(5s);

    const auto before = g_session.load()->Stats();
    const double cpuBefore = ThreadCpuSeconds(g_servingThread);
    rusage ruBefore{};
    getrusage(RUSAGE_SELF, &ruBefore);
    uint64_t clientBytes = 0, clientMessages = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        auto m = ws.Read(5s);
        if (!m) break;
        clientBytes += m->data.size();
        ++clientMessages;
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
    const uint64_t bytes = after.bytes - before.bytes;
    std::printf("console relay, %dx%d animation, %.1f s\n", width, height, elapsed);
    std::printf("  screen messages relayed:     %llu (%.0f/s)\n", (unsigned long long)messages,
                messages / elapsed);
    std::printf(
        "  relay throughput:            %.2f MB/s (browser side %.2f MB/s, %llu messages)\n",
        bytes / elapsed / 1e6, clientBytes / elapsed / 1e6, (unsigned long long)clientMessages);
    std::printf("  callback to written, mean:   %.1f us\n",
                messages ? (after.sendNanos - before.sendNanos) / 1e3 / messages : 0.0);
    std::printf("  callback to written, max:    %.1f us\n", after.maxSendNanos / 1e3);
    std::printf("  serving thread CPU:          %.1f %% of one core\n",
                100.0 * (cpuAfter - cpuBefore) / elapsed);
    std::printf("  whole process CPU:           %.1f %% of one core (includes the test client)\n",
                100.0 * processCpu / elapsed);
    ws.Close();
    while (g_session.load()) std::this_thread::sleep_for(10ms);
    StopServer();
    kill(animator, SIGKILL);
    waitpid(animator, nullptr, 0);
    return 0;
}
