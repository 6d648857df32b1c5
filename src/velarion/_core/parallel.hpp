// Work split over threads for numeric kernels: plain C++, no Python (the
// caller releases the interpreter lock around it).
#ifndef VELARION_CORE_PARALLEL_HPP
#define VELARION_CORE_PARALLEL_HPP

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace velarion::core {

inline constexpr std::ptrdiff_t kMaxWorkers = 256;

// Raised by the binding (a signal handler raised, e.g. Ctrl-C) while a
// kernel runs; the kernel tests it between bounded chunks of its work and
// returns early. Only the first raise counts.
class StopFlag {
public:
    bool raised() const noexcept { return raised_.load(std::memory_order_relaxed); }
    void raise() noexcept { raised_.store(true, std::memory_order_relaxed); }

private:
    std::atomic<bool> raised_{false};
};

// The number of workers parallel_ranges uses for `count` items on `threads` threads.
inline std::ptrdiff_t worker_count(std::ptrdiff_t count, int threads) noexcept {
    return std::max<std::ptrdiff_t>(1, std::min<std::ptrdiff_t>({threads, count, kMaxWorkers}));
}

// The machine's hardware threads (1 when it cannot tell).
inline int hardware_threads() noexcept { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// The thread policy of every call that threads (its `threads=` argument
// defaults to default_threads()): every hardware thread, up to kMaxWorkers.
inline int default_threads() noexcept {
    return static_cast<int>(std::min<std::ptrdiff_t>(hardware_threads(), kMaxWorkers));
}

// The threshold rule of every call that threads: `count` items run on one
// thread below `threaded_from` items (starting threads would cost more than
// it saves), else on `threads` (never more than the items nor kMaxWorkers).
inline int threads_for(std::ptrdiff_t count, int threads, std::ptrdiff_t threaded_from) noexcept {
    if (count < threaded_from) return 1;
    return static_cast<int>(worker_count(count, threads));
}

// [0, count) handed out in blocks of `block` items, in order, to whichever
// worker asks next: work whose cost per item varies stays spread over the
// workers, where contiguous ranges can leave one of them with the slow part.
class BlockQueue {
public:
    BlockQueue(std::ptrdiff_t count, std::ptrdiff_t block) noexcept
        : count_(std::max<std::ptrdiff_t>(0, count)), block_(std::max<std::ptrdiff_t>(1, block)) {}

    // The next block [begin, end); false when none is left.
    bool next(std::ptrdiff_t& begin, std::ptrdiff_t& end) noexcept {
        // At most one block past count_ per worker that asks: no overflow.
        begin = next_.fetch_add(block_, std::memory_order_relaxed);
        if (begin >= count_) return false;
        end = std::min(count_, begin + block_);
        return true;
    }

private:
    std::ptrdiff_t count_, block_;
    std::atomic<std::ptrdiff_t> next_{0};
};

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

// As parallel_ranges, but every range runs on a thread of its own while the
// calling thread waits, calling poll() every `interval` until all are done:
// the binding's poll runs the signal handlers and raises the StopFlag the
// work tests. A range whose thread cannot be started runs on the calling
// thread (without polls until it returns).
template <class Work, class Poll>
void parallel_ranges_polled(std::ptrdiff_t count, int threads, Work&& work, Poll&& poll,
                            std::chrono::milliseconds interval) {
    const std::ptrdiff_t workers = worker_count(count, threads);
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(workers));
    std::mutex lock;
    std::condition_variable finished;
    std::ptrdiff_t running = 0;
    auto run = [&](std::ptrdiff_t w) {
        try {
            work(w, count * w / workers, count * (w + 1) / workers);
        } catch (...) {
            errors[static_cast<std::size_t>(w)] = std::current_exception();
        }
    };
    auto run_and_signal = [&](std::ptrdiff_t w) {
        run(w);
        std::lock_guard<std::mutex> guard(lock);
        if (--running == 0) finished.notify_one();
    };
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(workers));
    for (std::ptrdiff_t w = 0; w < workers; ++w) {
        {
            std::lock_guard<std::mutex> guard(lock);
            ++running;
        }
        try {
            pool.emplace_back(run_and_signal, w);
        } catch (...) {
            {
                std::lock_guard<std::mutex> guard(lock);
                --running;
            }
            run(w);
        }
    }
    for (;;) {
        std::unique_lock<std::mutex> guard(lock);
        if (finished.wait_for(guard, interval, [&] { return running == 0; })) break;
        guard.unlock();
        poll();
    }
    for (auto& t : pool) t.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace velarion::core

#endif
