// What ends a read of tolvane's early: Ctrl-C, and a caller that no longer wants it.
//
// A read runs without the interpreter lock, so the interpreter cannot raise KeyboardInterrupt
// in it; the reader asks its ReadStop instead, at every read of the file and between short
// waits for a FIFO, a pipe or a terminal. On the main thread, where the interpreter handles
// signals, that runs the interpreter's signal handlers every kSignalCheckMilliseconds (taking
// the lock for it, as a blocking call of the interpreter's own does), and at once when SIGINT
// has come: an exception that one raises ends the read and is raised in its place. Reads on
// other threads end with ReadInterrupted where SIGINT comes while the interpreter's own SIGINT
// handler (the one that raises KeyboardInterrupt) is installed, and where the caller's StopFlag
// is set.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "reader/read_stop.hpp"

namespace tolvane {

// Records which thread is the interpreter's main one, and makes the class ReadInterrupted, a
// subclass of KeyboardInterrupt: the exception of a read that Ctrl-C or a StopFlag ended on a
// thread other than the main one. Once, with the lock, as the module is made; null on failure.
PyObject* prepare_interrupts();

// The interpreter lock given up, and taken back as the object goes. A thread that comes back
// while the interpreter is ending (a daemon thread) does not take it: interpreters before 3.14
// end such a thread by unwinding its stack, which C++ frames on it cannot take; it waits for the
// process to end instead, as newer interpreters make it.
class LockReleased {
public:
    LockReleased() noexcept;
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { take_back(); }
    void take_back() noexcept;

private:
    PyThreadState* released_;
};

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
    // After the step ended with ReadStopped, the lock held again: the exception to raise is set
    // (what a signal handler raised, or ReadInterrupted).
    void set_python_error() const noexcept;

private:
    // The interpreter's signal handlers run, with the lock; true where one raised.
    bool handlers_raised();

    const std::thread::id caller_;
    const bool on_main_thread_;
    const StopFlag* const flag_;
    const bool sigint_raises_;
    const std::uint64_t sigints_at_start_;
    PyThreadState* released_ = nullptr;
    std::int64_t next_signal_check_ = 0;  // the caller's alone
    std::atomic<bool> stopped_{false};
    bool handler_raised_ = false;
};

}  // namespace tolvane
