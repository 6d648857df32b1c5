// Interrupts of long compiled loops that run without the interpreter lock.
//
// Signal handlers run only when the main thread executes bytecode or calls
// PyErr_CheckSignals, so a kernel that runs for minutes with the lock
// released would keep Ctrl-C waiting until it returns. run_interruptible
// runs the work on worker threads while the calling thread, without the
// lock, wakes every kPollInterval, takes the lock and runs the handlers; a
// handler that raises (KeyboardInterrupt) raises the StopFlag, the work
// returns at its next test of the flag, and the call reports the handler's
// exception. Kernels test `stop.raised()` between chunks of bounded work
// (well under a second each) and leave their outputs to be discarded.
#ifndef VELARION_CORE_INTERRUPT_HPP
#define VELARION_CORE_INTERRUPT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "velarion/_core/parallel.hpp"

#include <chrono>
#include <cstddef>

namespace velarion::core {

inline constexpr std::chrono::milliseconds kPollInterval{20};

// Calls work(stop, worker, begin, end) over [0, count) in contiguous ranges
// on worker_count(count, threads) threads, with the lock released. Must be
// called with the lock held. Returns true when the work ran to its end;
// false, with the Python exception set, when a signal handler raised (the
// work has then stopped early and its results are incomplete). An exception
// of the work propagates as from parallel_ranges, after the lock is retaken.
template <class Work>
bool run_interruptible(std::ptrdiff_t count, int threads, Work&& work) {
    StopFlag stop;
    PyThreadState* saved = PyEval_SaveThread();
    auto poll = [&] {
        if (stop.raised()) return;
        PyEval_RestoreThread(saved);
        const bool raised = PyErr_CheckSignals() != 0;
        saved = PyEval_SaveThread();
        if (raised) stop.raise();
    };
    try {
        parallel_ranges_polled(
            count, threads,
            [&](std::ptrdiff_t w, std::ptrdiff_t begin, std::ptrdiff_t end) { work(stop, w, begin, end); }, poll,
            kPollInterval);
    } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
    }
    PyEval_RestoreThread(saved);
    // A signal that arrives after the last poll stays pending: the
    // interpreter runs its handler at the next bytecode.
    return !stop.raised();
}

}  // namespace velarion::core

#endif
