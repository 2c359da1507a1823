// The reader core on its own, without Python, for bench/run_bench.py: the steps tolvane.read
// takes below the Python boundary (open the file, read its count and names, read the blocks at a
// given width, every field or some), timed with the steady clock around exactly those steps.
// Built by bench/build_core_bench.sh from the core's sources with the flags of a Release build,
// into a shared library that run_bench.py loads with ctypes, so that it times the core and
// tolvane.read in one process, run after run, on the same page-cached files.
//
// The values stay in the reader's storage until core_free, so that the caller can check them
// and free them outside the timing, as it drops tolvane.read's arrays outside its timing.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"
#include "reader/name_list.hpp"
#include "reader/plot_reader.hpp"
#include "reader/series.hpp"

// Where the reader can split a file's blocks across threads, tolvane.read lets it by default
// (as many threads as pay), so the core's own read here does the same unless told a number.
#if __has_include("reader/split_read.hpp")
#include "reader/split_read.hpp"
#define CORE_BENCH_SPLIT 1
#else
#define CORE_BENCH_SPLIT 0
#endif

namespace {

struct CoreRead {
    explicit CoreRead(quorel::SeriesTable&& table) : table(std::move(table)) {}
    quorel::SeriesTable table;
};

template <class... Args>
void tell(char* error, std::size_t error_size, const char* format, Args... args) {
    if (error != nullptr && error_size != 0) std::snprintf(error, error_size, format, args...);
}

}  // namespace

// The steps themselves, out of line under names of their own: callgrind does not see the calls
// that ctypes makes through libffi as calls, so it collects (--toggle-collect) from these.
extern "C" [[gnu::noinline]] CoreRead* core_bench_read(const char* path, std::uint64_t width,
                                                       const std::uint64_t* fields, std::uint64_t field_count,
                                                       [[maybe_unused]] unsigned threads) {
    quorel::PlotFileReader reader{std::string_view(path)};
    reader.read_count(true);
    quorel::NameList names;
    reader.read_names(&names);
#if CORE_BENCH_SPLIT
    const std::span<const std::uint64_t> chosen(fields, field_count == 0 ? 0 : std::size_t(field_count));
    quorel::SeriesTable table = reader.read_blocks(width, chosen, quorel::SplitOptions{threads, 0});
#else
    quorel::SeriesTable table = field_count == 0
                                    ? reader.read_blocks(width)
                                    : reader.read_blocks(width, std::span(fields, std::size_t(field_count)));
#endif
    return new CoreRead(std::move(table));
}

extern "C" [[gnu::noinline]] void core_bench_free(CoreRead* read) { delete read; }

// Runs `step` (a Python function, through ctypes) with callgrind collecting while it runs
// (--toggle-collect=core_bench_collect): how bench/count_instructions.py counts one whole
// tolvane.read and nothing else. The barrier after the call keeps it from becoming a jump.
extern "C" [[gnu::noinline]] void core_bench_collect(void (*step)()) {
    step();
    asm volatile("" ::: "memory");
}

extern "C" {

// Reads the plot file at `path` (NUL-terminated) at field width `width`: every field where
// `field_count` is 0, else fields[0 .. field_count) (ascending from 0, as tolvane.read passes
// them); on at most `threads` threads where the reader can split a file (0: as many as pay).
// Stores the nanoseconds the steps took in *nanoseconds and returns a handle to the values;
// null on failure, with a line of text in `error`.
[[gnu::visibility("default")]] void* core_read(const char* path, std::uint64_t width, const std::uint64_t* fields,
                                                std::uint64_t field_count, unsigned threads,
                                                std::uint64_t* nanoseconds, char* error, std::size_t error_size) {
    try {
        const auto start = std::chrono::steady_clock::now();
        CoreRead* const read = core_bench_read(path, width, fields, field_count, threads);
        const auto stop = std::chrono::steady_clock::now();
        *nanoseconds = std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count());
        return read;
    } catch (const quorel::ReadFault& fault) {
        tell(error, error_size, "read fault of kind %u at line %llu", unsigned(fault.kind),
             static_cast<unsigned long long>(fault.place.line));
    } catch (const quorel::MemoryFailure& failure) {
        tell(error, error_size, "out of memory (%zu bytes)", failure.bytes());
    } catch (const std::exception& failure) {
        tell(error, error_size, "failed: %s", failure.what());
    }
    return nullptr;
}

// The number of blocks read.
[[gnu::visibility("default")]] std::uint64_t core_blocks(const void* handle) {
    return static_cast<const CoreRead*>(handle)->table.blocks();
}

// The number of series read, the time's included.
[[gnu::visibility("default")]] std::uint64_t core_series(const void* handle) {
    return static_cast<const CoreRead*>(handle)->table.column_count() + 1;
}

// Series i's values, core_blocks() of them.
[[gnu::visibility("default")]] const float* core_values(const void* handle, std::uint64_t i) {
    return static_cast<const CoreRead*>(handle)->table.values(std::size_t(i));
}

[[gnu::visibility("default")]] void core_free(void* handle) { core_bench_free(static_cast<CoreRead*>(handle)); }

// Whether the core's read may split the file across threads, as tolvane.read's may.
[[gnu::visibility("default")]] int core_splits() { return CORE_BENCH_SPLIT; }

// Calls `step` inside core_bench_collect.
[[gnu::visibility("default")]] void core_collect(void (*step)()) { core_bench_collect(step); }

}  // extern "C"
