// The detached-thread launcher: each launch runs its callable once on a thread of its own, and
// what the callable captured is released by that thread after the callable returned.
#include <SelkoCommunication.h>

#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using selko::test::eventually;
using selko::test::threadCount;

namespace {

// ThreadSanitizer starts a helper thread of its own along with the first thread a program
// creates: have that happen before any test takes a thread count.
const bool threadsWarmedUp = [] {
    std::thread([] {}).join();
    return true;
}();

// A one-shot signal with a bounded wait, so no test can hang on it.
class Latch {
public:
    void open() {
        std::lock_guard<std::mutex> guard(_lock);
        _open = true;
        _changed.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> guard(_lock);
        return _changed.wait_for(guard, limit, [this] { return _open; });
    }

private:
    std::mutex _lock;
    std::condition_variable _changed;
    bool _open = false;
};

} // namespace

TEST(ThreadLauncher, RunsTheCallableExactlyOnceAndLeavesNoThread) {
    const int threadsBefore = threadCount();
    auto runs = std::make_shared<std::atomic<int>>(0);
    selko_detachNewThreadWithBlock([runs] { ++*runs; });
    ASSERT_TRUE(eventually([&] { return runs->load() == 1; }));
    // The thread ends by itself, and nothing runs the callable a second time.
    EXPECT_TRUE(eventually([&] { return threadCount() <= threadsBefore && runs.use_count() == 1; }));
    EXPECT_EQ(runs->load(), 1);
}

TEST(ThreadLauncher, CapturesAreReleasedOnTheThreadAfterTheCallableReturned) {
    struct Record {
        std::atomic<bool> returned{false};
        std::atomic<bool> released{false};
        std::atomic<bool> releasedAfterReturn{false};
        std::thread::id runner;
        std::thread::id releaser;
        Latch started;
        Latch proceed;
    };
    auto record = std::make_shared<Record>();
    {
        std::shared_ptr<int> captured(new int(42), [record](int* value) {
            record->releasedAfterReturn = record->returned.load();
            record->releaser = std::this_thread::get_id();
            delete value;
            record->released = true;
        });
        selko_detachNewThreadWithBlock([captured, record] {
            record->runner = std::this_thread::get_id();
            record->started.open();
            record->proceed.wait();
            record->returned = true;
        });
        // Only the launched thread's copy holds the object from here on.
    }
    ASSERT_TRUE(record->started.wait());
    EXPECT_FALSE(record->released.load()) << "released while the callable still runs";
    record->proceed.open();
    ASSERT_TRUE(eventually([&] { return record->released.load(); }));
    EXPECT_TRUE(record->releasedAfterReturn.load());
    EXPECT_EQ(record->releaser, record->runner);
    EXPECT_NE(record->releaser, std::this_thread::get_id());
}

TEST(ThreadLauncher, SameCallableTwiceRunsTwiceOnTwoThreads) {
    struct Runs {
        std::mutex lock;
        std::condition_variable bothRunning;
        std::set<std::thread::id> runners;
        int count = 0;
    };
    auto runs = std::make_shared<Runs>();
    // Each run waits for the other, so both threads are alive at once and their ids differ.
    const std::function<void()> block = [runs] {
        std::unique_lock<std::mutex> guard(runs->lock);
        ++runs->count;
        runs->runners.insert(std::this_thread::get_id());
        runs->bothRunning.notify_all();
        runs->bothRunning.wait_for(guard, std::chrono::seconds(5), [&] { return runs->count >= 2; });
    };
    selko_detachNewThreadWithBlock(block);
    selko_detachNewThreadWithBlock(block);
    std::unique_lock<std::mutex> guard(runs->lock);
    ASSERT_TRUE(runs->bothRunning.wait_for(guard, std::chrono::seconds(5), [&] { return runs->count == 2; }));
    EXPECT_EQ(runs->runners.size(), 2u);
    guard.unlock();
    // Both copies are released as their threads exit; only `runs` and `block` remain.
    EXPECT_TRUE(eventually([&] { return runs.use_count() == 2; }));
}

TEST(ThreadLauncher, ManyLaunchesAtOnceAllRunAndAllRelease) {
    constexpr int kLaunchers = 4;
    constexpr int kPerLauncher = 16;
    const int threadsBefore = threadCount();
    auto runs = std::make_shared<std::atomic<int>>(0);
    Latch go;
    std::vector<std::thread> launchers;
    for (int i = 0; i < kLaunchers; ++i) {
        launchers.emplace_back([&] {
            go.wait();
            for (int j = 0; j < kPerLauncher; ++j)
                selko_detachNewThreadWithBlock([runs] { ++*runs; });
        });
    }
    go.open();
    for (auto& launcher : launchers)
        launcher.join();
    ASSERT_TRUE(eventually([&] { return runs->load() == kLaunchers * kPerLauncher; }));
    // Every thread freed its copy (and with it its share of `runs`) and ended.
    EXPECT_TRUE(eventually([&] { return runs.use_count() == 1 && threadCount() <= threadsBefore; }));
    EXPECT_EQ(runs->load(), kLaunchers * kPerLauncher);
}

TEST(ThreadLauncher, EmptyCallableStartsNothing) {
    const int threadsBefore = threadCount();
    selko_detachNewThreadWithBlock(std::function<void()>());
    EXPECT_LE(threadCount(), threadsBefore);
}
