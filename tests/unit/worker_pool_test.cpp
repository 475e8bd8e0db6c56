#include "platform/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace hbr {
namespace {

TEST(WorkerPool, ABlockedTaskDoesNotHoldBackTheNext) {
    WorkerPool pool;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::promise<void> secondRan;
    pool.Submit([released] { released.wait(); });
    pool.Submit([&] { secondRan.set_value(); });
    // The second task completes while the first still waits: it must have its own thread.
    // (The wait is a guard against a hang, not a measurement.)
    EXPECT_EQ(secondRan.get_future().wait_for(std::chrono::seconds(30)),
              std::future_status::ready);
    EXPECT_EQ(pool.ThreadCount(), 2u);
    release.set_value();
    pool.Shutdown();
}

TEST(WorkerPool, IdleWorkersAreReused) {
    WorkerPool pool;
    for (int i = 0; i < 50; ++i) {
        std::promise<void> done;
        pool.Submit([&] { done.set_value(); });
        done.get_future().wait();
        // Once the worker is back in line, the next task must not need a new thread.
        while (pool.IdleCount() != pool.ThreadCount()) std::this_thread::yield();
    }
    EXPECT_EQ(pool.ThreadCount(), 1u);
}

TEST(WorkerPool, ShutdownRunsQueuedTasksAndThrowingTasksAreContained) {
    std::atomic<int> ran{0};
    {
        WorkerPool pool(1);
        pool.Submit([] { throw std::runtime_error("task failure"); });
        for (int i = 0; i < 20; ++i) pool.Submit([&] { ++ran; });
        pool.Shutdown();
        EXPECT_EQ(ran.load(), 20);
        pool.Submit([&] { ++ran; });  // refused after shutdown
    }
    EXPECT_EQ(ran.load(), 20);
}

}  // namespace
}  // namespace hbr
