#include "tolvane/read_interrupts.hpp"

#include <nanobind/nanobind.h>

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace tolvane {

namespace {

namespace nb = nanobind;

// SIGINTs counted as they come, by a handler put in front of the interpreter's: the one way a
// thread other than the main one can learn that Ctrl-C was pressed. It counts and hands the
// signal on, so the interpreter handles it as before; but one that comes to another thread is
// sent on to the main one first, where the interpreter handles signals: there it also ends
// what the main thread waits in (a lock, a queue of results), at once, rather than the main
// thread raising KeyboardInterrupt only once its wait is over, after the reads on other
// threads have ended with KeyboardInterrupt of their own.
std::atomic<std::uint64_t> sigints{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "counted from a signal handler");
struct sigaction handed_on_to;  // written only while counting is not installed
std::mutex installing;
std::atomic<bool> main_thread_known{false};
pthread_t main_thread;
unsigned long main_thread_ident = 0;

extern "C" void count_sigint(int signal_number, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    if (main_thread_known.load(std::memory_order_relaxed) && !pthread_equal(::pthread_self(), main_thread) &&
        ::pthread_kill(main_thread, signal_number) == 0) {
        errno = saved_errno;
        return;
    }
    sigints.fetch_add(1, std::memory_order_relaxed);
    errno = saved_errno;
    if (handed_on_to.sa_flags & SA_SIGINFO) {
        handed_on_to.sa_sigaction(signal_number, info, context);
    } else if (handed_on_to.sa_handler != SIG_DFL && handed_on_to.sa_handler != SIG_IGN) {
        handed_on_to.sa_handler(signal_number);
    }
}

bool counting_installed(const struct sigaction& current) noexcept {
    return (current.sa_flags & SA_SIGINFO) && current.sa_sigaction == count_sigint;
}

// Counts SIGINT from now on where a handler of the interpreter's is installed (not where
// SIGINT is ignored or kills the process); again after the interpreter installed another.
// Where counting is installed already (every read but the first), no lock is taken: reads on
// several threads (Dask's tasks) do not wait for each other here.
bool count_sigints() noexcept {
    struct sigaction current;
    if (::sigaction(SIGINT, nullptr, &current) != 0) return false;
    if (counting_installed(current)) return true;
    const std::lock_guard<std::mutex> guard(installing);
    if (::sigaction(SIGINT, nullptr, &current) != 0) return false;
    if (counting_installed(current)) return true;
    if (!(current.sa_flags & SA_SIGINFO) && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) {
        return false;
    }
    handed_on_to = current;
    struct sigaction counting = current;
    counting.sa_flags |= SA_SIGINFO;
    counting.sa_sigaction = count_sigint;
    return ::sigaction(SIGINT, &counting, nullptr) == 0;
}

// _signal.getsignal, signal.default_int_handler and SIGINT as an int, taken when the module is
// made: a step only calls the interpreter's own C function then, which runs no Python code
// (code run there could raise a pending KeyboardInterrupt, which would be lost). Not
// signal.getsignal: that is Python code over the C function, which turns its result into an
// enum, and took a third of a small read's time.
PyObject* get_signal = nullptr;
PyObject* default_int_handler = nullptr;
PyObject* sigint_number = nullptr;

// Whether the interpreter's SIGINT handler is its default one, which raises KeyboardInterrupt.
// With the lock. A program with a handler of its own decides itself what Ctrl-C stops. The
// call may run the handlers of signals that came meanwhile: what one raises is raised, as
// nanobind's python_error, and the step does not start.
bool interpreter_raises_keyboard_interrupt() {
    const nb::object handler = nb::steal(PyObject_CallOneArg(get_signal, sigint_number));
    if (!handler.is_valid()) throw nb::python_error();
    return handler.ptr() == default_int_handler;
}

bool sigint_raises() { return interpreter_raises_keyboard_interrupt() && count_sigints(); }

bool interpreter_ending() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

PyThreadState* release_lock() noexcept { return PyEval_SaveThread(); }

void take_lock_back(PyThreadState* released) noexcept {
    if (interpreter_ending()) {
        for (;;) ::pause();
    }
    PyEval_RestoreThread(released);
}

std::int64_t milliseconds_now() noexcept {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

PyObject* interrupted_class = nullptr;

PyObject* prepare_interrupts() {
    const nb::object threading = nb::steal(PyImport_ImportModule("threading"));
    if (!threading.is_valid()) return nullptr;
    const nb::object main = nb::steal(PyObject_CallMethod(threading.ptr(), "main_thread", nullptr));
    if (!main.is_valid()) return nullptr;
    const nb::object ident = nb::steal(PyObject_GetAttrString(main.ptr(), "ident"));
    if (!ident.is_valid()) return nullptr;
    // The interpreter's thread idents are the threads' pthread_t.
    main_thread_ident = PyLong_AsUnsignedLong(ident.ptr());
    if (PyErr_Occurred()) return nullptr;
    main_thread = pthread_t(main_thread_ident);
    main_thread_known.store(true);
    const nb::object signal_module = nb::steal(PyImport_ImportModule("_signal"));
    if (!signal_module.is_valid()) return nullptr;
    // Kept for as long as the process runs, as the module's own objects are.
    get_signal = PyObject_GetAttrString(signal_module.ptr(), "getsignal");
    default_int_handler = PyObject_GetAttrString(signal_module.ptr(), "default_int_handler");
    sigint_number = PyLong_FromLong(SIGINT);
    if (get_signal == nullptr || default_int_handler == nullptr || sigint_number == nullptr) return nullptr;
    // Not KeyboardInterrupt itself: the interpreter takes one that leaves code run by eval or
    // exec on any thread for the program's own, and ends the process with SIGINT for it.
    interrupted_class = PyErr_NewExceptionWithDoc(
        "tolvane.ReadInterrupted",
        "A read that Ctrl-C ended on a thread other than the main one (the main one raises "
        "KeyboardInterrupt itself), or that read_many ended as it was interrupted. A "
        "KeyboardInterrupt, so that what handles Ctrl-C handles it.",
        PyExc_KeyboardInterrupt, nullptr);
    return interrupted_class;
}

LockReleased::LockReleased() noexcept : released_(release_lock()) {}

void LockReleased::take_back() noexcept {
    if (released_ != nullptr) take_lock_back(std::exchange(released_, nullptr));
}

InterruptibleStep::InterruptibleStep(const StopFlag* flag)
    : caller_(std::this_thread::get_id()), on_main_thread_(PyThread_get_thread_ident() == main_thread_ident),
      flag_(flag), sigint_raises_(sigint_raises()), sigints_at_start_(sigints.load()),
      next_signal_check_(milliseconds_now() + kSignalCheckMilliseconds) {}

void InterruptibleStep::release() noexcept {
    if (released_ == nullptr) released_ = release_lock();
}

void InterruptibleStep::reacquire() noexcept {
    if (released_ != nullptr) take_lock_back(std::exchange(released_, nullptr));
}

bool InterruptibleStep::handlers_raised() {
    reacquire();
    const bool raised = PyErr_CheckSignals() != 0;
    release();
    return raised;
}

void InterruptibleStep::check() {
    if (stopped_.load(std::memory_order_relaxed)) throw quorel::ReadStopped{};
    const bool sigint = sigint_raises_ && sigints.load(std::memory_order_relaxed) != sigints_at_start_;
    if (on_main_thread_ && std::this_thread::get_id() == caller_ && released_ != nullptr) {
        const std::int64_t now = milliseconds_now();
        if (sigint || now >= next_signal_check_) {
            next_signal_check_ = now + kSignalCheckMilliseconds;
            if (handlers_raised()) {
                handler_raised_ = true;
                stopped_.store(true);
                throw quorel::ReadStopped{};
            }
        }
    }
    if (sigint || (flag_ != nullptr && flag_->is_set())) {
        stopped_.store(true);
        throw quorel::ReadStopped{};
    }
}

void InterruptibleStep::set_python_error() const noexcept {
    if (!handler_raised_ || !PyErr_Occurred()) PyErr_SetNone(interrupted_class);
}

}  // namespace tolvane
