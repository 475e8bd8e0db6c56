#pragma once
// Threads for request handlers. Handlers may block for minutes (hypervisor jobs) or hours
// (a console session), so the pool grows whenever no worker is idle instead of queueing
// behind a blocked one. Idle workers are reused last-in first-out, each woken on its own,
// so a busy server keeps a few hot threads instead of cycling through all of them.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace hbr {

class WorkerPool {
  public:
    // Workers idle for `idleTimeout` end, down to `idleKeep` idle ones, so that the threads a
    // burst made come back.
    explicit WorkerPool(size_t maxThreads = 1024,
                        std::chrono::milliseconds idleTimeout = std::chrono::minutes(1),
                        size_t idleKeep = 4);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `task` on a worker; past maxThreads busy workers it waits in line.
    void Submit(std::function<void()> task);
    // Lets running and queued tasks finish, then joins every worker. Later tasks are dropped.
    void Shutdown();
    size_t ThreadCount() const;
    size_t IdleCount() const;

  private:
    struct Worker {
        std::condition_variable wake;
        std::function<void()> task;  // handed over by Submit while the worker is idle
        std::thread thread;
    };
    void Work(Worker* self, std::function<void()> task);

    const size_t maxThreads_;
    const std::chrono::milliseconds idleTimeout_;
    const size_t idleKeep_;
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::vector<Worker*> idle_;         // most recently idle last
    std::vector<std::thread> retired_;  // workers that ended for idleness, to be joined
    bool stopping_ = false;
    // Joins the retired workers; called without the lock.
    void JoinRetired();
};

}  // namespace hbr
