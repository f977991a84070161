#pragma once
// The process-wide work-stealing pool.
//
// One pool per process, its size set once: explicitly by `init` (an engine's thread count, the Marlin cache
// builder's physical-core count) or, on first use, one thread per available CPU. Work is fork-join: the
// calling thread takes part in the work it waits for, and a pool task may itself fork (nested use never
// deadlocks, the waiting task runs other work meanwhile). Exceptions thrown by a task reach the caller.

#include <cstddef>
#include <functional>

#include "core/function_ref.hpp"

namespace orvane::pool {

// Creates the pool with `num_threads` threads (the caller included; 0 = one per available CPU).
// Returns false, changing nothing, when the pool already exists.
bool init(std::size_t num_threads);

// Whether the pool has been created.
bool initialized();

// Number of threads of the pool (creates the default pool when none exists yet).
std::size_t num_threads();

// Number of CPUs this process may run on.
std::size_t available_cpus();

// A hook called on every thread when it starts working in the pool, with its slot index in the pool and
// whether it is one of the pool's own worker threads (false for a caller that joined the work). Only the
// hook set before the pool is created is installed.
void set_thread_start_hook(std::function<void(std::size_t slot, bool is_worker)> hook);

// Calls body(begin, end) over disjoint ranges that together cover [0, n), splitting adaptively (first
// into about as many parts as the pool has threads, down to single indices). Returns when all are done.
void parallel_for(std::size_t n, FunctionRef<void(std::size_t, std::size_t)> body);

// Calls body(i) once for every i in [0, n), in parallel.
template <class F>
void parallel_for_each(std::size_t n, F&& body) {
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) body(i);
    });
}

// Runs a and b, in parallel when a thread is free; returns when both are done.
void join(FunctionRef<void()> a, FunctionRef<void()> b);

// Whether the calling thread is currently running inside the pool (a worker, or a caller taking part).
bool in_pool();

}  // namespace orvane::pool
