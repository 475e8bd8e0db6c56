#pragma once
// Starts the real hbr executable for integration tests: a free loopback port, its own
// temporary database and state folder, stdout captured, stopped with SIGTERM.
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace hbr {

// A port that was free a moment ago on 127.0.0.1.
uint16_t FreeLoopbackPort();

class HbrProcess {
public:
    struct Options {
        std::vector<std::string> args;  // after the program name; empty: run-exe on a free port
        std::vector<std::string> extraArgs;  // after the default run-exe arguments ("-demo")
        std::string stateDir;           // empty: a folder of this object
        std::string dbPath;             // empty: hbr.db in this object's folder
        std::string webRoot;            // empty: the source tree's app folder
        std::map<std::string, std::string> env;
        bool waitForReady = true;  // until "Press a key to stop and exit" appears
    };

    HbrProcess();
    explicit HbrProcess(Options options);
    ~HbrProcess();
    HbrProcess(const HbrProcess&) = delete;
    HbrProcess& operator=(const HbrProcess&) = delete;

    uint16_t Port() const { return port_; }
    const std::string& DbPath() const { return dbPath_; }
    const std::string& StateDir() const { return stateDir_; }
    const std::string& Folder() const { return dir_.Path(); }
    bool Ready() const { return ready_; }
    // Everything written to stdout and stderr so far.
    std::string Output() const;
    // Waits until the output holds `text` or the process ended; true when found.
    bool WaitForOutput(const std::string& text);
    // Sends SIGTERM (once) and waits; the exit status as the process returned it (0..255).
    int Stop();
    // Waits for the process to end by itself.
    int Wait();
    pid_t Pid() const { return pid_; }

private:
    void Launch(Options options);
    void Reader(int fd);

    TempDir dir_;
    uint16_t port_ = 0;
    std::string dbPath_;
    std::string stateDir_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    bool ready_ = false;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool outputClosed_ = false;
};

}  // namespace hbr
