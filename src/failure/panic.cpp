#include "failure/panic.hpp"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "failure/write_all.hpp"

namespace quorel {

namespace {

// Serialises reports of different threads so that their lines never interleave.
std::mutex report_lock;
// Only the first report of the process that shows no backtrace carries the note.
std::atomic<bool> note_pending{true};
// Set while this thread writes a report: a failure in there cannot be reported again.
thread_local bool writing_report = false;

constexpr char kBacktraceNote[] =
    "note: run with `QUOREL_BACKTRACE=1` environment variable to display a backtrace\n";

bool backtrace_requested() noexcept {
    const char* setting = std::getenv("QUOREL_BACKTRACE");
    return setting != nullptr && setting[0] != '\0' && std::strcmp(setting, "0") != 0;
}

void write_backtrace() noexcept {
    static constexpr char header[] = "stack backtrace:\n";
    write_all(STDERR_FILENO, header, sizeof header - 1);
    void* frames[64];
    const int depth = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
}

}  // namespace

// "\nthread '<unnamed>' (TID) panicked at FILE:LINE:COLUMN:\nMESSAGE\n", in one write when it
// fits the 512-byte buffer, else in pieces. Errors writing it are ignored: there is nowhere else
// to report them. Nothing in here allocates, so it works when memory has run out.
void report_failure(std::string_view message, const std::source_location& where) noexcept {
    if (writing_report) {
        // A failure while reporting a failure: say what can be said and stop.
        char text[512];
        const int n = std::snprintf(text, sizeof text, "panicked at %s:%u:%u:\n", where.file_name(),
                                    unsigned(where.line()), unsigned(where.column()));
        if (n > 0) write_all(STDERR_FILENO, text, std::min<std::size_t>(n, sizeof text - 1));
        write_all(STDERR_FILENO, message.data(), message.size());
        static constexpr char tail[] = "\nthread panicked while processing panic. aborting.\n";
        write_all(STDERR_FILENO, tail, sizeof tail - 1);
        std::abort();
    }
    writing_report = true;
    {
        const std::lock_guard<std::mutex> guard(report_lock);
        char head[512];
        const int head_size = std::snprintf(head, sizeof head, "\nthread '<unnamed>' (%ld) panicked at %s:%u:%u:\n",
                                            long(::syscall(SYS_gettid)), where.file_name(),
                                            unsigned(where.line()), unsigned(where.column()));
        const std::size_t total = std::size_t(head_size) + message.size() + 1;
        if (head_size > 0 && total <= sizeof head) {
            std::memcpy(head + head_size, message.data(), message.size());
            head[total - 1] = '\n';
            write_all(STDERR_FILENO, head, total);
        } else {
            if (head_size > 0) write_all(STDERR_FILENO, head, std::min<std::size_t>(head_size, sizeof head - 1));
            write_all(STDERR_FILENO, message.data(), message.size());
            write_all(STDERR_FILENO, "\n", 1);
        }
        if (backtrace_requested()) {
            write_backtrace();
        } else if (note_pending.exchange(false)) {
            write_all(STDERR_FILENO, kBacktraceNote, sizeof kBacktraceNote - 1);
        }
    }
    writing_report = false;
}

void panic(Text message, std::source_location where) {
    report_failure(message, where);
    throw Panic(std::move(message), where);
}

void resume_panic(Text message, std::source_location where) { throw Panic(std::move(message), where); }

void abort_uncaught_panic(std::source_location where) noexcept {
    report_failure("uncaught panic at ffi boundary", where);
    report_failure("panic in a destructor during cleanup", where);
    static constexpr char tail[] = "thread caused non-unwinding panic. aborting.\n";
    write_all(STDERR_FILENO, tail, sizeof tail - 1);
    std::abort();
}

}  // namespace quorel
