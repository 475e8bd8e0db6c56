#include "platform/worker_pool.h"

#include <algorithm>

namespace hbr {

WorkerPool::WorkerPool(size_t maxThreads, std::chrono::milliseconds idleTimeout, size_t idleKeep)
    : maxThreads_(maxThreads ? maxThreads : 1), idleTimeout_(idleTimeout), idleKeep_(idleKeep) {}

void WorkerPool::JoinRetired() {
    std::vector<std::thread> done;
    {
        std::lock_guard lock(mutex_);
        done.swap(retired_);
    }
    for (auto& t : done)
        if (t.joinable()) t.join();
}

WorkerPool::~WorkerPool() {
    Shutdown();
}

void WorkerPool::Submit(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (!retired_.empty()) {
        lock.unlock();
        JoinRetired();
        lock.lock();
    }
    if (stopping_) return;
    if (!idle_.empty()) {
        Worker* w = idle_.back();
        idle_.pop_back();
        w->task = std::move(task);
        lock.unlock();
        w->wake.notify_one();
        return;
    }
    if (workers_.size() < maxThreads_) {
        auto w = std::make_unique<Worker>();
        Worker* raw = w.get();
        raw->thread =
            std::thread([this, raw, t = std::move(task)]() mutable { Work(raw, std::move(t)); });
        workers_.push_back(std::move(w));
        return;
    }
    queue_.push_back(std::move(task));
}

void WorkerPool::Work(Worker* self, std::function<void()> task) {
    while (true) {
        try {
            task();
        } catch (...) {
            // A task's failure is its own business; the worker stays.
        }
        task = nullptr;  // release captures before taking the lock
        std::unique_lock lock(mutex_);
        if (!queue_.empty()) {
            task = std::move(queue_.front());
            queue_.pop_front();
            continue;
        }
        if (stopping_) return;
        idle_.push_back(self);
        const bool handed = self->wake.wait_for(lock, idleTimeout_,
                                                [&] { return self->task != nullptr || stopping_; });
        if (!handed && idle_.size() > idleKeep_) {
            // Idle too long with enough others idle: this worker ends. Its thread is joined
            // later; nothing of `self` is touched once it is erased.
            idle_.erase(std::find(idle_.begin(), idle_.end(), self));
            auto it = std::find_if(workers_.begin(), workers_.end(),
                                   [self](const auto& w) { return w.get() == self; });
            retired_.push_back(std::move(self->thread));
            workers_.erase(it);
            return;
        }
        if (!handed) {
            // Kept as one of the idle pool: wait again, without a limit this time round.
            self->wake.wait(lock, [&] { return self->task != nullptr || stopping_; });
        }
        if (!self->task) return;  // stopping with nothing handed over
        task = std::move(self->task);
        self->task = nullptr;
    }
}

void WorkerPool::Shutdown() {
    std::vector<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (Worker* w : idle_) w->wake.notify_one();
        idle_.clear();
        workers.swap(workers_);
    }
    for (auto& w : workers)
        if (w->thread.joinable()) w->thread.join();
    JoinRetired();
}

size_t WorkerPool::ThreadCount() const {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

size_t WorkerPool::IdleCount() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace hbr
