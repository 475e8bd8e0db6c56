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
    EXPECT_EQ(secondRan.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(pool.ThreadCount(), 2u);
    release.set_value();
    pool.Shutdown();
}

// After a burst, the threads it made end once idle, down to the idle pool's size.
TEST(WorkerPool, ThreadsOfABurstComeBack) {
    WorkerPool pool(64, std::chrono::milliseconds(50), 2);
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> started{0};
    for (int i = 0; i < 12; ++i)
        pool.Submit([&started, released] {
            ++started;
            released.wait();
        });
    while (started < 12) std::this_thread::yield();
    EXPECT_EQ(pool.ThreadCount(), 12u);
    release.set_value();
    for (int i = 0; i < 300 && pool.ThreadCount() > 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(pool.ThreadCount(), 2u);
    // The pool still works, reusing what is left and growing again.
    std::promise<void> ran;
    pool.Submit([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
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
