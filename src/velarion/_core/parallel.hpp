// Work split over threads for numeric kernels: plain C++, no Python (the
// caller releases the interpreter lock around it).
#ifndef VELARION_CORE_PARALLEL_HPP
#define VELARION_CORE_PARALLEL_HPP

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace velarion::core {

inline constexpr std::ptrdiff_t kMaxWorkers = 256;

// The number of workers parallel_ranges uses for `count` items on `threads` threads.
inline std::ptrdiff_t worker_count(std::ptrdiff_t count, int threads) noexcept {
    return std::max<std::ptrdiff_t>(1, std::min<std::ptrdiff_t>({threads, count, kMaxWorkers}));
}

// The machine's hardware threads (1 when it cannot tell).
inline int hardware_threads() noexcept { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// Calls work(worker, begin, end) for worker_count(count, threads) workers
// over [0, count) split in contiguous ranges, in order of worker; the first
// range runs on the calling thread, and a thread that cannot be started
// leaves its range to the calling thread. An exception of a worker is
// rethrown once all have finished.
template <class Work>
void parallel_ranges(std::ptrdiff_t count, int threads, Work&& work) {
    const std::ptrdiff_t workers = worker_count(count, threads);
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(workers));
    auto run = [&](std::ptrdiff_t w) {
        try {
            work(w, count * w / workers, count * (w + 1) / workers);
        } catch (...) {
            errors[static_cast<std::size_t>(w)] = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(workers - 1));
    for (std::ptrdiff_t w = 1; w < workers; ++w) {
        try {
            pool.emplace_back(run, w);
        } catch (...) {
            run(w);
        }
    }
    run(0);
    for (auto& t : pool) t.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace velarion::core

#endif
