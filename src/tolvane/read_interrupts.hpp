// What ends a read of tolvane's early: Ctrl-C, and a caller that no longer wants it.
//
// A read runs without the interpreter lock, so the interpreter cannot raise KeyboardInterrupt
// in it; the reader asks its ReadStop instead, at every read of the file and between short
// waits for a FIFO, a pipe or a terminal. On the thread that runs the step, that runs the
// interpreter's signal handlers every kSignalCheckMilliseconds (taking the lock for it, as a
// blocking call of the interpreter's own does), and at once when SIGINT has come: an exception
// that one raises ends the read and is raised in its place. Reads on other threads, whose
// signals only the main thread handles, end with KeyboardInterrupt where SIGINT comes while the
// interpreter's own SIGINT handler (the one that raises KeyboardInterrupt) is installed, and
// where the caller's StopFlag is set.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "reader/read_stop.hpp"

namespace tolvane {

// Set by a caller to end the reads it handed it to: read_many's, once it is interrupted.
class StopFlag {
public:
    void set() noexcept { set_.store(true); }
    bool is_set() const noexcept { return set_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> set_{false};
};

// One step of a read (a call into the reader) on the thread that runs it: made while that
// thread holds the interpreter lock, which release() gives up for the step and reacquire()
// takes back.
class InterruptibleStep final : public quorel::ReadStop {
public:
    static constexpr std::int64_t kSignalCheckMilliseconds = 20;

    explicit InterruptibleStep(const StopFlag* flag);
    InterruptibleStep(const InterruptibleStep&) = delete;
    InterruptibleStep& operator=(const InterruptibleStep&) = delete;
    ~InterruptibleStep() { reacquire(); }

    void release() noexcept;
    void reacquire() noexcept;
    void check() override;
    // After the step ended with ReadStopped, the lock held again: the exception to raise is set.
    void set_python_error() const noexcept;

private:
    // The interpreter's signal handlers run, with the lock; true where one raised.
    bool handlers_raised();

    const std::thread::id caller_;
    const StopFlag* const flag_;
    const bool sigint_raises_;
    const std::uint64_t sigints_at_start_;
    PyThreadState* released_ = nullptr;
    std::int64_t next_signal_check_ = 0;  // the caller's alone
    std::atomic<bool> stopped_{false};
    bool handler_raised_ = false;
};

}  // namespace tolvane
