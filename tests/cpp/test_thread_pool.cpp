// The process-wide work-stealing pool: coverage of index ranges, nesting, exceptions, the start hook.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/errors.hpp"
#include "core/thread_pool.hpp"

namespace {

std::mutex g_hook_mutex;
std::set<std::pair<std::size_t, bool>> g_hook_calls;

// Installs the start hook and creates the pool before any test runs (the pool is created once per process).
class PoolEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        orvane::pool::set_thread_start_hook([](std::size_t slot, bool is_worker) {
            std::lock_guard<std::mutex> lock(g_hook_mutex);
            g_hook_calls.insert({slot, is_worker});
        });
        ASSERT_TRUE(orvane::pool::init(3));
    }
};

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new PoolEnvironment);

}  // namespace

TEST(ThreadPool, CreatedOnceWithItsSize) {
    EXPECT_TRUE(orvane::pool::initialized());
    EXPECT_EQ(orvane::pool::num_threads(), 3u);
    EXPECT_FALSE(orvane::pool::init(8));
    EXPECT_EQ(orvane::pool::num_threads(), 3u);
    EXPECT_GE(orvane::pool::available_cpus(), 1u);
}

TEST(ThreadPool, EveryIndexExactlyOnce) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> hits(n);
        orvane::pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
            ASSERT_LT(begin, end);
            for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
        });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
    }
}

TEST(ThreadPool, NestedForkJoinFromInsideTasksCompletes) {
    // Every outer task waits on an inner fork-join; with more outer tasks than threads, a waiting task must
    // run other work instead of blocking its thread.
    std::atomic<std::size_t> total{0};
    orvane::pool::parallel_for_each(16, [&](std::size_t) {
        EXPECT_TRUE(orvane::pool::in_pool());
        orvane::pool::parallel_for_each(64, [&](std::size_t j) {
            orvane::pool::join([&] { total += j; }, [&] { total += 1; });
        });
    });
    EXPECT_EQ(total.load(), 16u * (64u * 63u / 2u + 64u));
}

TEST(ThreadPool, ExceptionsReachTheCaller) {
    EXPECT_THROW(orvane::pool::parallel_for_each(100,
                                                 [](std::size_t i) {
                                                     if (i == 57) throw orvane::InternalError("task 57 failed");
                                                 }),
                 orvane::InternalError);
    // The pool stays usable.
    std::atomic<int> count{0};
    orvane::pool::parallel_for_each(10, [&](std::size_t) { ++count; });
    EXPECT_EQ(count.load(), 10);
}

TEST(ThreadPool, CallerTakesPartAndWorkersRunTheStartHook) {
    const auto caller = std::this_thread::get_id();
    std::mutex m;
    std::set<std::thread::id> threads;
    orvane::pool::parallel_for_each(12, [&](std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard<std::mutex> lock(m);
        threads.insert(std::this_thread::get_id());
    });
    EXPECT_TRUE(threads.count(caller));
    EXPECT_GE(threads.size(), 2u);
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    bool worker_seen = false;
    for (const auto& [slot, is_worker] : g_hook_calls) {
        EXPECT_LT(slot, 3u);
        worker_seen = worker_seen || is_worker;
    }
    EXPECT_TRUE(worker_seen);
}

TEST(ThreadPool, ConcurrentExternalCallersShareThePool) {
    std::atomic<std::size_t> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            for (int rep = 0; rep < 50; ++rep)
                orvane::pool::parallel_for_each(20, [&](std::size_t) { total.fetch_add(1); });
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(total.load(), 4u * 50u * 20u);
}
