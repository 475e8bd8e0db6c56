#pragma once
// Threads for request handlers. Handlers may block for minutes (hypervisor jobs) or hours
// (a console session), so the pool grows whenever no worker is idle instead of queueing
// behind a blocked one; idle workers are reused.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hbr {

class WorkerPool {
public:
    explicit WorkerPool(size_t maxThreads = 1024);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `task` on a worker; past maxThreads busy workers it waits in line.
    void Submit(std::function<void()> task);
    // Lets running and queued tasks finish, then joins every worker.
    void Shutdown();
    size_t ThreadCount() const;
    size_t IdleCount() const;

private:
    void Work();

    const size_t maxThreads_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace hbr
