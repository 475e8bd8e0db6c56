#include "platform/worker_pool.h"

namespace hbr {

WorkerPool::WorkerPool(size_t maxThreads) : maxThreads_(maxThreads ? maxThreads : 1) {}

WorkerPool::~WorkerPool() { Shutdown(); }

void WorkerPool::Submit(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
    // Every queued task beyond the idle workers gets a new thread while the cap allows.
    if (idle_ < tasks_.size() && threads_.size() < maxThreads_) {
        threads_.emplace_back([this] { Work(); });
    } else {
        wake_.notify_one();
    }
}

void WorkerPool::Work() {
    std::unique_lock lock(mutex_);
    while (true) {
        while (tasks_.empty() && !stopping_) {
            ++idle_;
            wake_.wait(lock);
            --idle_;
        }
        if (tasks_.empty()) return;  // stopping and nothing left
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        try {
            task();
        } catch (...) {
            // A task's failure is its own business; the worker stays.
        }
        task = nullptr;  // release captures before taking the lock again
        lock.lock();
    }
}

void WorkerPool::Shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (auto& t : threads)
        if (t.joinable()) t.join();
}

size_t WorkerPool::ThreadCount() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

}  // namespace hbr

namespace hbr {

size_t WorkerPool::IdleCount() const {
    std::lock_guard lock(mutex_);
    return idle_;
}

}  // namespace hbr
