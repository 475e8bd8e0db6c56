#include "service/console_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "cli/process_state.h"
#include "platform/hbr_exception.h"
#include "service/instance_handler.h"
#include "service/instance_services.h"
#include "store/database.h"
#include "web/http_server.h"

namespace hbr {
namespace {

// Waits for one key on a terminal, or for SIGINT/SIGTERM (which also end the terminal wait).
void WaitForStop(int sigFd) {
    const bool tty = isatty(STDIN_FILENO) == 1;
    termios saved{};
    bool raw = false;
    if (tty && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios t = saved;
        t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        raw = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
    }
    pollfd fds[2] = {{sigFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const nfds_t count = tty ? 2 : 1;
    while (true) {
        const int r = poll(fds, count, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (fds[0].revents & POLLIN) {
            // Consumed here, or it would be delivered once the mask is restored.
            signalfd_siginfo info;
            (void)!read(sigFd, &info, sizeof info);
            break;
        }
        if (tty && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char c;
            (void)!read(STDIN_FILENO, &c, 1);
            break;
        }
    }
    if (raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

}  // namespace

int RunConsole() {
    // Blocked before any thread starts, so every thread inherits the mask and the signals
    // arrive only through the descriptor below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    const int sigFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    try {
        OpenOrCreate();
        StartInstanceServer();
    } catch (const CHbrException& e) {
        std::printf("\nStart the web server failed.\n%s\n\n", e.what());
        std::fflush(stdout);
        if (sigFd >= 0) close(sigFd);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return -1;
    }

    if (const std::string fp = ServerCertificateFingerprint(); !fp.empty()) {
        std::printf("Certificate SHA-256 fingerprint: %s\n", fp.c_str());
        std::fflush(stdout);
    }

    try {
        StartInstanceServices();
    } catch (const std::exception& e) {
        std::printf("\nLoading the servers failed.\n%s\n", e.what());
    }

    std::fputs("Press a key to stop and exit\n", stdout);
    std::fflush(stdout);
    WaitForStop(sigFd);

    try {
        StopInstanceServices();
    } catch (const std::exception&) {
        // The listener is released whatever the registry did.
    }
    StopServer();
    if (sigFd >= 0) close(sigFd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 0;
}

}  // namespace hbr
