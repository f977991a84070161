#include "core/thread_pool.hpp"

#include <memory>
#include <mutex>

#include <sched.h>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

namespace orvane::pool {

namespace {

class StartObserver : public tbb::task_scheduler_observer {
public:
    StartObserver(tbb::task_arena& arena, std::function<void(std::size_t, bool)> hook)
        : tbb::task_scheduler_observer(arena), hook_(std::move(hook)) {
        observe(true);
    }
    ~StartObserver() override { observe(false); }
    void on_scheduler_entry(bool is_worker) override {
        const int slot = tbb::this_task_arena::current_thread_index();
        hook_(slot < 0 ? 0 : static_cast<std::size_t>(slot), is_worker);
    }

private:
    std::function<void(std::size_t, bool)> hook_;
};

struct Pool {
    std::size_t threads;
    std::unique_ptr<tbb::global_control> control;
    tbb::task_arena arena;
    std::unique_ptr<StartObserver> observer;

    explicit Pool(std::size_t n)
        : threads(n),
          control(std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, n)),
          arena(static_cast<int>(n)) {
        arena.initialize();
    }
};

std::mutex g_mutex;
Pool* g_pool = nullptr;  // created once, lives for the whole process
std::function<void(std::size_t, bool)> g_hook;

Pool& create_locked(std::size_t n) {
    if (n == 0) n = available_cpus();
    g_pool = new Pool(n);
    if (g_hook) g_pool->observer = std::make_unique<StartObserver>(g_pool->arena, g_hook);
    return *g_pool;
}

Pool& pool() {
    Pool* p = __atomic_load_n(&g_pool, __ATOMIC_ACQUIRE);
    if (p) return *p;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_pool) return *g_pool;
    return create_locked(0);
}

}  // namespace

std::size_t available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const int d = tbb::info::default_concurrency();
    return d > 0 ? static_cast<std::size_t>(d) : 1;
}

bool init(std::size_t num_threads) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_pool) return false;
    create_locked(num_threads);
    return true;
}

bool initialized() { return __atomic_load_n(&g_pool, __ATOMIC_ACQUIRE) != nullptr; }

std::size_t num_threads() { return pool().threads; }

void set_thread_start_hook(std::function<void(std::size_t, bool)> hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_pool) g_hook = std::move(hook);
}

void parallel_for(std::size_t n, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (n == 0) return;
    if (n == 1) {
        body(0, 1);
        return;
    }
    pool().arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, n, 1),
            [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); },
            tbb::auto_partitioner());
    });
}

void join(FunctionRef<void()> a, FunctionRef<void()> b) {
    pool().arena.execute([&] { tbb::parallel_invoke([&] { a(); }, [&] { b(); }); });
}

bool in_pool() { return tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized; }

}  // namespace orvane::pool
