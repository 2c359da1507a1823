// tolvane._native: the reader and the writer for the Python package tolvane. Each step runs
// without the interpreter lock; a read's faults come back as tolvane._native.Fault, whose one
// argument is the fault as a dict (fault_data.hpp), for the Python layer to raise as the
// exception a user expects. Values are handed to numpy in the reader's own storage, which the
// arrays then own. A write's values are read from numpy's arrays, which its PlotText holds.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"
#include "tolvane/band_binding.hpp"
#include "tolvane/block_text.hpp"
#include "tolvane/fault_data.hpp"
#include "tolvane/plot_head.hpp"
#include "tolvane/read_interrupts.hpp"

namespace nb = nanobind;

namespace tolvane {
namespace {

// The class of the faults raised to the Python layer; made when the module is.
PyObject* fault_class = nullptr;

[[noreturn]] void raise_fault(nb::dict data) {
    PyErr_SetObject(fault_class, data.ptr());
    throw nb::python_error();
}

// The interpreter lock, given up for a step and taken back on every way out of it.
class StepUnlocked {
public:
    explicit StepUnlocked(InterruptibleStep& step) noexcept : step_(step) { step_.release(); }
    StepUnlocked(const StepUnlocked&) = delete;
    StepUnlocked& operator=(const StepUnlocked&) = delete;
    ~StepUnlocked() { step_.reacquire(); }

private:
    InterruptibleStep& step_;
};

// Runs `step` without the interpreter lock, giving it the ReadStop that Ctrl-C and `flag` end
// it through, then raises what it failed with, if anything: a fault is copied before the reader
// that threw it can go; a read that was stopped raises what stopped it (what a signal handler
// raised, or ReadInterrupted).
template <class Step>
auto unlocked(const StopFlag* flag, Step&& step) -> decltype(step(static_cast<quorel::ReadStop*>(nullptr))) {
    std::optional<quorel::OwnedFault> fault;
    std::size_t memory_bytes = 0;
    bool stopped = false;
    InterruptibleStep interruptible(flag);
    {
        StepUnlocked released(interruptible);
        try {
            return step(&interruptible);
        } catch (const quorel::ReadFault& read_fault) {
            fault.emplace(read_fault);
        } catch (const quorel::OwnedFault& owned_fault) {
            fault.emplace(owned_fault);
        } catch (const quorel::ReadStopped&) {
            stopped = true;
        } catch (const quorel::MemoryFailure& failure) {
            memory_bytes = failure.bytes();
        } catch (const std::bad_alloc&) {
        }
    }
    if (stopped) {
        interruptible.set_python_error();
        throw nb::python_error();
    }
    if (fault) raise_fault(fault_data(*fault));
    raise_fault(memory_fault_data(memory_bytes));
}

struct FreeStorage {
    void operator()(float* storage) const noexcept { std::free(storage); }
};
using OwnedValues = std::unique_ptr<float, FreeStorage>;
struct FreeTimes {
    void operator()(double* storage) const noexcept { std::free(storage); }
};
using OwnedTimes = std::unique_ptr<double, FreeTimes>;

std::unique_ptr<PlotHead> open_plot(const nb::bytes& path, const StopFlag* flag, bool keep_cut = false) {
    const std::string_view text(path.c_str(), path.size());
    // Held out here, so that a fault's texts outlive the catch in `unlocked`.
    std::unique_ptr<PlotHead> head;
    unlocked(flag, [&](quorel::ReadStop* stop) {
        head = std::make_unique<PlotHead>(text, stop);
        head->read_head(stop, keep_cut);
        return 0;
    });
    return head;
}

// A descriptor of the caller's, duplicated for the head to own and close (close-on-exec).
quorel::UniqueFd duplicate(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        quorel::ReadFault fault(quorel::FaultKind::open_failed);
        fault.error_number = errno;
        throw fault;
    }
    return quorel::UniqueFd(copy);
}

std::unique_ptr<PlotHead> open_plot_fd(int fd, const StopFlag* flag, bool keep_cut = false) {
    std::unique_ptr<PlotHead> head;
    unlocked(flag, [&](quorel::ReadStop* stop) {
        head = std::make_unique<PlotHead>(duplicate(fd), stop);
        head->read_head(stop, keep_cut);
        return 0;
    });
    return head;
}

std::unique_ptr<PlotHead> open_plot_queue(std::shared_ptr<quorel::ByteQueue> queue, const StopFlag* flag, bool keep_cut = false) {
    std::unique_ptr<PlotHead> head;
    unlocked(flag, [&](quorel::ReadStop* stop) {
        head = std::make_unique<PlotHead>(std::move(queue), stop);
        head->read_head(stop, keep_cut);
        return 0;
    });
    return head;
}

// A buffer of a Python object's, held while its bytes are used without the interpreter lock.
class HeldBuffer {
public:
    explicit HeldBuffer(nb::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view_); }

    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    std::size_t size() const noexcept { return std::size_t(view_.len); }

private:
    Py_buffer view_;
};

bool put_bytes(quorel::ByteQueue& queue, nb::handle bytes) {
    const HeldBuffer held(bytes);
    LockReleased released;
    return queue.put(held.data(), held.size());
}

nb::tuple texts_of(const quorel::NameList& list) {
    nb::list texts;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string_view text = list[i];
        texts.append(nb::str(text.data(), text.size()));
    }
    return nb::tuple(texts);
}

nb::tuple names(const PlotHead& head) { return texts_of(head.names()); }

nb::tuple name_lines(const PlotHead& head) { return texts_of(head.name_lines()); }

nb::str title(const PlotHead& head) {
    const std::string_view text = head.title();
    return nb::str(text.data(), text.size());
}

bool at_end(PlotHead& head, const StopFlag* flag) {
    return unlocked(flag, [&](quorel::ReadStop* stop) {
        const std::lock_guard<std::mutex> guard(head.lock());
        return head.at_end(stop);
    });
}

// Block 0's fault at `width`, or None where it reads; with `keep_cut`, a fault that the end of
// the file caused (block 0 is cut) comes with "cut": True, any other with "cut": False.
nb::object first_block_fault(PlotHead& head, std::uint64_t width, const StopFlag* flag, bool keep_cut) {
    quorel::BlockCut cut;
    std::optional<quorel::OwnedFault> fault = unlocked(flag, [&](quorel::ReadStop* stop) {
        const std::lock_guard<std::mutex> guard(head.lock());
        return head.first_block_fault(width, stop, keep_cut ? &cut : nullptr);
    });
    const bool is_cut = bool(cut.fault);
    if (is_cut) fault = std::move(cut.fault);
    if (!fault) return nb::none();
    nb::dict data = fault_data(*fault);
    if (keep_cut) data["cut"] = nb::bool_(is_cut);
    return data;
}

using FloatTable = nb::ndarray<nb::numpy, float, nb::ndim<2>>;
using FloatArray = nb::ndarray<nb::numpy, float, nb::ndim<1>>;
using BlockArray = nb::ndarray<nb::numpy, std::uint64_t, nb::ndim<1>>;
using GivenBlocks = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using GivenTimes = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using TimeArray = nb::ndarray<nb::numpy, double, nb::ndim<1>>;

// A table's values handed over from the reader's storage, for an array that owns them: filled
// without the interpreter lock, made into the array with it.
// Where the table keeps the time as binary64, its row 0 is not written: the time comes apart,
// and array() gives (table, time).
struct HandedTable {
    OwnedValues storage;
    OwnedTimes time;
    std::size_t shape[2] = {0, 0};
    std::int64_t strides[2] = {0, 1};

    void take(quorel::SeriesTable& table) {
        shape[0] = table.column_count() + 1;
        shape[1] = table.blocks();
        time.reset(table.hand_over_time());
        storage.reset(table.hand_over_all());
        strides[0] = std::int64_t(table.capacity());
    }
    nb::object array() {
        nb::capsule owner(storage.get(), [](void* values) noexcept { std::free(values); });
        FloatTable values(storage.release(), 2, shape, owner, strides);
        if (!time) return nb::cast(values);
        nb::capsule time_owner(time.get(), [](void* times) noexcept { std::free(times); });
        const std::size_t time_shape[1] = {shape[1]};
        return nb::make_tuple(values, TimeArray(time.release(), 1, time_shape, time_owner));
    }
};

// A copy of `values` as a numpy array that owns it.
template <class T>
nb::ndarray<nb::numpy, T, nb::ndim<1>> array_of(std::span<const T> values) {
    T* const copy = static_cast<T*>(std::malloc(std::max<std::size_t>(values.size(), 1) * sizeof(T)));
    if (copy == nullptr) throw std::bad_alloc();
    std::copy(values.begin(), values.end(), copy);
    nb::capsule owner(copy, [](void* storage) noexcept { std::free(storage); });
    const std::size_t shape[1] = {values.size()};
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(copy, 1, shape, owner);
}

// `fields` rise from 0 (the time) and stay below `count`; with `without_time`, they may also
// start after the time.
void check_fields(std::uint64_t count, const std::vector<std::uint64_t>& fields, bool without_time = false) {
    for (std::size_t s = 0; s < fields.size(); ++s) {
        if (fields[s] >= count || (s == 0 ? fields[s] != 0 && !without_time : fields[s] <= fields[s - 1])) {
            throw std::invalid_argument("fields must rise from 0 and stay below the parameter count");
        }
    }
}

void check_fields(const PlotHead& head, const std::vector<std::uint64_t>& fields) {
    check_fields(head.count(), fields);
}

// The blocks at `width`: a float32 array of one row per field of `fields` (ascending from 0;
// empty for every field), one column per block, on up to `threads` threads (0: as many as pay),
// in pieces of `piece_bytes` (0: the reader's choice). The rows lie in the reader's own storage,
// at the distance its capacity sets, which the array owns.
nb::object read_blocks(PlotHead& head, std::uint64_t width, const std::vector<std::uint64_t>& fields,
                       unsigned threads, std::size_t piece_bytes, const StopFlag* flag, bool keep_cut, bool time64) {
    check_fields(head, fields);
    if (width == 0) throw std::invalid_argument("a field is at least one byte wide");
    HandedTable handed;
    unlocked(flag, [&](quorel::ReadStop* stop) {
        const std::lock_guard<std::mutex> guard(head.lock());
        quorel::BlockCut cut;
        quorel::SeriesTable table = head.read_blocks(width, fields, quorel::SplitOptions{threads, piece_bytes, time64},
                                                     stop, keep_cut ? &cut : nullptr);
        head.set_cut(std::move(cut.fault));
        handed.take(table);
        return 0;
    });
    return handed.array();
}

// The blocks completed since the index was last extended, indexed (made at `width` the first
// time); the blocks indexed in all. A file shorter than the blocks indexed raises file_changed.
std::uint64_t extend_index(PlotHead& head, std::uint64_t width, unsigned threads, const StopFlag* flag,
                           std::size_t piece_bytes, bool time64, bool times, std::uint64_t bin_blocks) {
    if (width == 0) throw std::invalid_argument("a field is at least one byte wide");
    return unlocked(flag, [&](quorel::ReadStop* stop) {
        const std::lock_guard<std::mutex> guard(head.lock());
        if (!head.extend_index(width, threads, stop, piece_bytes, time64, times, bin_blocks)) {
            quorel::throw_fault(quorel::FaultKind::file_changed);
        }
        return head.index().blocks();
    });
}

void check_blocks(std::span<const std::uint64_t> blocks, std::uint64_t below) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i] >= below || (i > 0 && blocks[i] <= blocks[i - 1])) {
            throw std::invalid_argument("blocks must rise and stay below the blocks indexed");
        }
    }
}

// Blocks of the index, read from their own bytes: one row per field of `fields`, one column per
// block of `blocks` (ascending, each once).
nb::object read_selection(PlotHead& head, const std::vector<std::uint64_t>& fields, const GivenBlocks& blocks,
                          const StopFlag* flag, std::uint64_t hint_block, std::uint64_t hint_offset, bool time64) {
    check_fields(head, fields);
    const std::span<const std::uint64_t> chosen(blocks.data(), blocks.shape(0));
    HandedTable handed;
    unlocked(flag, [&](quorel::ReadStop* stop) {
        const std::lock_guard<std::mutex> guard(head.lock());
        check_blocks(chosen, head.index().blocks());
        quorel::SeriesTable table = head.read_selection(fields, chosen, stop, hint_block, hint_offset, time64);
        handed.take(table);
        return 0;
    });
    return handed.array();
}

// The bytes of one read of a head read on its own: a few hundred names.
constexpr std::size_t kHeadReadSize = 4096;

// The same from a file opened here, with the block starts of an index made elsewhere (a task on
// a worker): the file must still have `count` parameters. Without `time64`, `fields` may leave
// the time out (a caller that has the times from the index). One step opens the file and reads,
// without the interpreter lock, holding no lock that another read takes: reads of one file on
// several threads (Dask's tasks) run at once.
nb::object read_selection_at(const nb::bytes& path, std::uint64_t count, std::uint64_t width,
                             const std::vector<std::uint64_t>& fields, std::uint64_t stride,
                             const GivenBlocks& starts, std::uint64_t indexed, std::uint64_t end,
                             const GivenBlocks& blocks, const StopFlag* flag, bool time64) {
    if (width == 0) throw std::invalid_argument("a field is at least one byte wide");
    if (stride == 0 || starts.shape(0) < (indexed + stride - 1) / stride) {
        throw std::invalid_argument("the starts must cover the blocks indexed, one every `stride` blocks");
    }
    check_fields(count, fields, !time64);
    const std::span<const std::uint64_t> chosen(blocks.data(), blocks.shape(0));
    check_blocks(chosen, indexed);
    const quorel::IndexedBlocks given{
        {stride, std::span<const std::uint64_t>(starts.data(), starts.shape(0))}, indexed, end,
        quorel::block_lines_of(count)};
    const std::string_view text(path.c_str(), path.size());
    // Held out here, so that a fault's texts outlive the catch in `unlocked`.
    std::unique_ptr<PlotHead> head;
    HandedTable handed;
    unlocked(flag, [&](quorel::ReadStop* stop) {
        // Only the head is read through the head's own source (the blocks through a source of
        // their stretch): small reads, not a whole read's worth of the blocks after it.
        head = std::make_unique<PlotHead>(text, stop, kHeadReadSize);
        head->read_head(stop);
        if (head->count() != count) quorel::throw_fault(quorel::FaultKind::file_changed);
        quorel::SeriesTable table = head->read_selection(width, fields, given, chosen, stop, 0, 0, time64);
        handed.take(table);
        return 0;
    });
    return handed.array();
}

// Where each block of `blocks` (ascending) starts.
BlockArray block_offsets(PlotHead& head, const GivenBlocks& blocks, const StopFlag* flag) {
    const std::span<const std::uint64_t> chosen(blocks.data(), blocks.shape(0));
    std::vector<std::uint64_t> offsets(chosen.size());
    unlocked(flag, [&](quorel::ReadStop*) {
        const std::lock_guard<std::mutex> guard(head.lock());
        const quorel::BlockIndex& index = head.index();
        std::uint64_t from_block = 0, from_offset = 0;
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            if (chosen[i] > index.blocks() || (i > 0 && chosen[i] < chosen[i - 1])) {
                throw std::invalid_argument("blocks must rise and stay within the blocks indexed");
            }
            offsets[i] = chosen[i] == index.blocks()
                             ? index.end()
                             : quorel::block_offset(head.fd(), index.starts(), index.block_lines(), chosen[i],
                                                    from_block, from_offset);
            from_block = chosen[i];
            from_offset = offsets[i];
        }
        return 0;
    });
    return array_of<std::uint64_t>(offsets);
}

// The index, which must keep the blocks' times.
const quorel::BlockIndex& indexed_times(PlotHead& head) {
    const quorel::BlockIndex& index = head.index();
    if (!index.keeps_times()) throw std::invalid_argument("the index was made without the blocks' times");
    return index;
}

// The blocks whose time t has t0 <= t <= t1: (first, end) of a run where the times rise, found
// by bisection; None where they do not (time_matches then).
nb::object time_bounds(PlotHead& head, double t0, double t1) {
    const std::lock_guard<std::mutex> guard(head.lock());
    const quorel::BlockIndex& index = indexed_times(head);
    if (!index.times_rise()) return nb::none();
    const std::span<const double> times = index.times();
    const auto first = std::lower_bound(times.begin(), times.end(), t0);
    const auto end = std::upper_bound(first, times.end(), t1);
    return nb::make_tuple(std::uint64_t(first - times.begin()), std::uint64_t(end - times.begin()));
}

BlockArray time_matches(PlotHead& head, double t0, double t1) {
    std::vector<std::uint64_t> found;
    {
        const std::lock_guard<std::mutex> guard(head.lock());
        const std::span<const double> times = indexed_times(head).times();
        for (std::size_t b = 0; b < times.size(); ++b) {
            if (t0 <= times[b] && times[b] <= t1) found.push_back(b);
        }
    }
    return array_of<std::uint64_t>(found);
}

using FloatColumn = nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ByteArray = nb::ndarray<nb::numpy, std::uint8_t, nb::ndim<1>>;

using TimeColumn = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The blocks of a plot file to write, over the columns' own values, which it keeps.
struct PlotText {
    std::vector<FloatColumn> columns;
    std::optional<TimeColumn> time;
    BlockText text;
};

std::vector<const float*> values_of(const std::vector<FloatColumn>& columns) {
    std::vector<const float*> values;
    for (const FloatColumn& column : columns) {
        if (column.shape(0) != columns.front().shape(0)) {
            throw std::invalid_argument("every column must have as many values as the first");
        }
        values.push_back(column.data());
    }
    return values;
}

std::unique_ptr<PlotText> make_plot_text(std::vector<FloatColumn> columns, std::uint64_t width,
                                         std::optional<TimeColumn> time) {
    std::vector<const float*> values = values_of(columns);
    if (!time) {
        const std::uint64_t blocks = columns.empty() ? 0 : columns.front().shape(0);
        BlockText text(std::move(values), blocks, width);
        return std::unique_ptr<PlotText>(new PlotText{std::move(columns), std::nullopt, std::move(text)});
    }
    // The time apart: the columns are the parameters after it.
    const std::uint64_t blocks = time->shape(0);
    if (!columns.empty() && columns.front().shape(0) != blocks) {
        throw std::invalid_argument("every column must have as many values as the time");
    }
    values.insert(values.begin(), nullptr);
    BlockText text(std::move(values), blocks, width, time->data());
    return std::unique_ptr<PlotText>(new PlotText{std::move(columns), std::move(time), std::move(text)});
}

void check_blocks(const PlotText& plot, std::uint64_t first, std::uint64_t last) {
    if (first > last || last > plot.text.blocks()) throw std::out_of_range("no such blocks");
}

std::uint64_t text_bytes(const PlotText& plot, std::uint64_t first, std::uint64_t last) {
    check_blocks(plot, first, last);
    return plot.text.bytes(first, last);
}

// The text of blocks [first, last) in a new uint8 array.
ByteArray format_blocks(const PlotText& plot, std::uint64_t first, std::uint64_t last) {
    check_blocks(plot, first, last);
    const std::uint64_t size = plot.text.bytes(first, last);
    if (size > PTRDIFF_MAX - BlockText::kSpareBytes) throw std::bad_alloc();
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[std::size_t(size) + BlockText::kSpareBytes]);
    {
        LockReleased released;
        plot.text.format(first, last, reinterpret_cast<char*>(bytes.get()));
    }
    nb::capsule owner(bytes.get(), [](void* data) noexcept { delete[] static_cast<std::uint8_t*>(data); });
    const std::size_t shape[1] = {std::size_t(size)};
    return ByteArray(bytes.release(), 1, shape, owner);
}

// `head` then the text of every block, written to `fd` (see write_blocks); OSError where a
// write fails. Ctrl-C ends it as it ends a read (KeyboardInterrupt, or ReadInterrupted on a
// thread other than the main one), within a piece of the text.
void write_plot(const PlotText& plot, int fd, const nb::bytes& head, unsigned threads, bool start_writeback) {
    const std::string head_bytes(head.c_str(), head.size());
    bool out_of_memory = false;
    const int error = unlocked(nullptr, [&](quorel::ReadStop* stop) {
        try {
            if (const int head_error = write_all_stoppable(fd, head_bytes.data(), head_bytes.size(), stop)) {
                return head_error;
            }
            write_blocks(fd, plot.text, threads, start_writeback, stop);
        } catch (const WriteFailure& failure) {
            return failure.error_number;
        } catch (const std::bad_alloc&) {
            out_of_memory = true;  // MemoryError, as nanobind raises it, not a read's fault
        }
        return 0;
    });
    if (out_of_memory) throw std::bad_alloc();
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        throw nb::python_error();
    }
}

}  // namespace
}  // namespace tolvane

NB_MODULE(_native, m) {
    using namespace tolvane;
    // Nothing of tolvane's may write to descriptors 1 and 2, nanobind's notes at exit included.
    nb::set_leak_warnings(false);
    PyObject* interrupted = prepare_interrupts();
    if (interrupted == nullptr) throw nb::python_error();
    m.attr("ReadInterrupted") = nb::handle(interrupted);
    fault_class = PyErr_NewExceptionWithDoc("tolvane._native.Fault",
                                            "A fault of a read; its one argument describes it as a dict.",
                                            PyExc_Exception, nullptr);
    if (fault_class == nullptr) throw nb::python_error();
    m.attr("Fault") = nb::handle(fault_class);

    nb::class_<StopFlag>(m, "StopFlag", "Set to end the reads it is given to; they raise ReadInterrupted.")
        .def(nb::init<>())
        .def("set", &StopFlag::set, "Ends the reads it was given to, at their next look at it.")
        .def("is_set", &StopFlag::is_set);

    nb::class_<quorel::ByteQueue>(m, "ByteQueue",
                                  "Bytes fed by one thread to a read on another, through a ring of a few MiB.")
        .def(nb::init<>())
        .def("put", &put_bytes, nb::arg("data"),
             "Copies every byte of `data` (any object with the buffer protocol) in, waiting for room "
             "without the GIL: False once the read has ended and needs no more, else True.")
        .def("expect_size", [](quorel::ByteQueue& queue, std::uint64_t bytes) { queue.expect_size(bytes); },
             nb::arg("bytes"),
             "How many bytes the feed is expected to hold in all (0: unknown), for the read to size its "
             "storage once; told before the first put.")
        .def("close_writing", [](quorel::ByteQueue& queue) { queue.close_writing(); },
             "No more bytes come: the read sees the end of its file once it has taken those in.")
        .def("close_reading", [](quorel::ByteQueue& queue) { queue.close_reading(); },
             "The read needs no more bytes: every put from now on returns False.")
        .def("end_seen", [](const quorel::ByteQueue& queue) { return queue.end_seen(); },
             "Whether the read has met the end: every byte put was taken, and writing was closed.")
        .def("line_feeds_taken", [](const quorel::ByteQueue& queue) { return queue.line_feeds_taken(); },
             "How many line feeds the bytes the read took out hold.");

    nb::class_<PlotHead>(m, "PlotHead", "An open plot file, read up to its first block.")
        .def_prop_ro("count", &PlotHead::count, "The parameter count on line 1.")
        .def_prop_ro("names", &names, "Each name line's last token, in order.")
        .def_prop_ro("name_lines", &name_lines, "Each name line's whole text, trimmed of whitespace, in order.")
        .def_prop_ro("title", &title, "Line 1 before the parameter count, trimmed of whitespace.")
        .def_prop_ro("head_cut", [](const PlotHead& head) -> nb::object {
                if (!head.head_cut()) return nb::none();
                return fault_data(*head.head_cut());
             }, "The fault of a head that the end of the file cuts, read with keep_cut; else None.")
        .def("at_end", &at_end, nb::arg("stop") = nb::none(), "Whether the file ends right after its name lines.")
        .def("first_block_ended", [](PlotHead& head) {
                return unlocked(nullptr, [&](quorel::ReadStop* stop) {
                    const std::lock_guard<std::mutex> guard(head.lock());
                    return head.first_block_ended(stop);
                });
             }, "Whether the file holds block 0 whole, its every line ending in a line feed.")
        .def("first_block_fault", &first_block_fault, nb::arg("width"), nb::arg("stop") = nb::none(),
             nb::arg("keep_cut") = false,
             "Block 0 read at `width` from a copy: None if it reads whole, else its fault; with `keep_cut`, "
             "the fault says whether the end of the file caused it (\"cut\").")
        .def("read_blocks", &read_blocks, nb::arg("width"), nb::arg("fields"), nb::arg("threads") = 0,
             nb::arg("piece_bytes") = 0, nb::arg("stop") = nb::none(), nb::arg("keep_cut") = false,
             nb::arg("time64") = false,
             "A float32 array of one row per field of `fields` (ascending from 0; empty for all) and one "
             "column per block, read on up to `threads` threads (0: as many as pay) in pieces of "
             "`piece_bytes` (0: the reader's choice). With `keep_cut`, a last block that the end of the "
             "file cuts ends the read before it, and `cut` tells its fault. With `time64`, the pair "
             "(table, time): the time as float64, the table's row 0 unwritten. Once only.")
        .def_prop_ro("cut", [](PlotHead& head) -> nb::object {
                if (!head.cut()) return nb::none();
                return fault_data(*head.cut());
             }, "After read_blocks(keep_cut=True): the fault of the block that the end of the file cut, or None.")
        .def("extend_index", &extend_index, nb::arg("width"), nb::arg("threads") = 0, nb::arg("stop") = nb::none(),
             nb::arg("piece_bytes") = 0, nb::arg("time64") = false, nb::arg("times") = true,
             nb::arg("bin_blocks") = 0,
             "Indexes the blocks completed since the last call (the first makes the index at `width`) on up "
             "to `threads` threads (0: as many as pay) in pieces of `piece_bytes` (0: the index's choice), and "
             "returns how many blocks are indexed; file_changed where the file is shorter than them. The "
             "first call's `time64` decides how the times are read: binary64, or binary32; and its `times` "
             "whether they are kept at all (without them, the calls on times raise ValueError); its "
             "`bin_blocks`, where not 0, that the stride divides it.")
        .def_prop_ro("index_blocks", [](PlotHead& head) {
                const std::lock_guard<std::mutex> guard(head.lock());
                return head.index().blocks();
             }, "The complete blocks indexed.")
        .def_prop_ro("index_end", [](PlotHead& head) {
                const std::lock_guard<std::mutex> guard(head.lock());
                return head.index().end();
             }, "Where in the file the blocks indexed end.")
        .def_prop_ro("index_stride", [](PlotHead& head) {
                const std::lock_guard<std::mutex> guard(head.lock());
                return head.index().starts().stride;
             }, "Every how many blocks the index keeps a block's start.")
        .def("index_starts", [](PlotHead& head) {
                const std::lock_guard<std::mutex> guard(head.lock());
                return array_of<std::uint64_t>(head.index().starts().starts);
             }, "A copy of the starts the index keeps: block i x index_stride at element i.")
        .def("index_times", [](PlotHead& head, std::uint64_t first, std::uint64_t end) {
                const std::lock_guard<std::mutex> guard(head.lock());
                const std::span<const double> times = indexed_times(head).times();
                end = std::min<std::uint64_t>(end, times.size());
                first = std::min(first, end);
                return array_of<double>(times.subspan(first, end - first));
             }, nb::arg("first"), nb::arg("end"),
             "A float64 copy of the times of blocks first .. end - 1 (those of unknown_times are 0); "
             "binary32 values, exactly, where the index was made without time64.")
        .def("unknown_times", [](PlotHead& head) {
                const std::lock_guard<std::mutex> guard(head.lock());
                return array_of<std::uint64_t>(head.index().unknown_times());
             }, "The blocks whose time the index did not read, ascending.")
        .def("set_unknown_times", [](PlotHead& head, const GivenTimes& times) {
                const std::lock_guard<std::mutex> guard(head.lock());
                if (times.shape(0) != head.index().unknown_times().size()) {
                    throw std::invalid_argument("one time for each block of unknown_times");
                }
                head.index().set_unknown_times(std::span<const double>(times.data(), times.shape(0)));
             }, nb::arg("times"), "The reader's times of the blocks of unknown_times, in that order.")
        .def_prop_ro("times_rise", [](PlotHead& head) {
                const std::lock_guard<std::mutex> guard(head.lock());
                return head.index().times_rise();
             }, "Whether every time is known and none is below the one before it.")
        .def("time_bounds", &time_bounds, nb::arg("t0"), nb::arg("t1"),
             "Where the times rise: (first, end) of the blocks whose time t has t0 <= t <= t1; else None.")
        .def("time_matches", &time_matches, nb::arg("t0"), nb::arg("t1"),
             "The blocks whose time t has t0 <= t <= t1, ascending.")
        .def("read_selection", &read_selection, nb::arg("fields"), nb::arg("blocks"), nb::arg("stop") = nb::none(),
             nb::arg("hint_block") = 0, nb::arg("hint_offset") = 0, nb::arg("time64") = false,
             "The blocks of `blocks` (ascending, each once, indexed), read from their own bytes: a float32 "
             "array of one row per field of `fields` (ascending from 0; empty for all), one column per block. "
             "Block `hint_block` starts at byte `hint_offset`, where given (sparing the search for it). "
             "With `time64`, the pair (table, time), as read_blocks gives it.")
        .def("cut_after_index", [](PlotHead& head, const StopFlag* flag) -> nb::object {
                std::optional<quorel::OwnedFault> fault = unlocked(flag, [&](quorel::ReadStop* stop) {
                    const std::lock_guard<std::mutex> guard(head.lock());
                    return head.cut_after_index(stop);
                });
                if (!fault) return nb::none();
                return fault_data(*fault);
             }, nb::arg("stop") = nb::none(),
             "The fault of the block that the end of the file cuts after the blocks indexed (as "
             "incomplete='keep' keeps it), or None where the file ends with them; a last block that "
             "reads whole but for its line feed is indexed then (the file taken as finished).")
        .def("block_offsets", &block_offsets, nb::arg("blocks"), nb::arg("stop") = nb::none(),
             "Where each block of `blocks` (ascending, at most index_blocks) starts in the file.")
        .def("close", [](PlotHead& head) {
                LockReleased released;
                const std::lock_guard<std::mutex> guard(head.lock());
                head.close();
             }, "Closes the file; nothing more can be read from it.");
    m.def("read_selection_at", &read_selection_at, nb::arg("path"), nb::arg("count"), nb::arg("width"),
          nb::arg("fields"), nb::arg("stride"), nb::arg("starts"), nb::arg("indexed"), nb::arg("end"),
          nb::arg("blocks"), nb::arg("stop") = nb::none(), nb::arg("time64") = false,
          "PlotHead.read_selection of the file at `path`, opened here, through the block starts of an "
          "index of it made elsewhere (index_stride, index_starts); file_changed where it no longer has "
          "`count` parameters. Without `time64`, `fields` may leave out the time (0).");
    m.def("open_plot", &open_plot, nb::arg("path"), nb::arg("stop") = nb::none(), nb::arg("keep_cut") = false,
          "Opens the plot file at `path` (bytes) and reads its count and names. Every step may be "
          "ended by Ctrl-C, or by the StopFlag `stop` where given. A head that the end of the file "
          "cuts raises its fault, or with `keep_cut` is kept in head_cut.");
    nb::class_<PlotText>(m, "PlotText", "The blocks of a plot file to write, as text.")
        .def_prop_ro("blocks", [](const PlotText& plot) { return plot.text.blocks(); }, "The number of blocks.")
        .def("size", &text_bytes, nb::arg("first"), nb::arg("last"), "The bytes of blocks [first, last).")
        .def("format", &format_blocks, nb::arg("first"), nb::arg("last"),
             "The text of blocks [first, last), as a uint8 array.")
        .def("write", &write_plot, nb::arg("fd"), nb::arg("head"), nb::arg("threads") = 0,
             nb::arg("start_writeback") = false,
             "Writes `head`, then every block, to the descriptor `fd`: in a regular file, pieces of the "
             "blocks formatted and written in place on up to `threads` threads (0: as many as pay); with "
             "`start_writeback`, each piece written is handed to the disk at once.");
    m.def("plot_text", &make_plot_text, nb::arg("columns"), nb::arg("width"), nb::arg("time") = nb::none(),
          "The blocks of a plot file of these float32 columns (the time first), at this field width; "
          "with a float64 `time`, the time is that and the columns are the parameters after it.");
    m.def("open_plot_fd", &open_plot_fd, nb::arg("fd"), nb::arg("stop") = nb::none(), nb::arg("keep_cut") = false,
          "Reads the count and names of the plot file open at `fd`, from where it stands, as open_plot "
          "does. The head reads a duplicate of `fd`, which it owns; the caller keeps and closes `fd`. A "
          "file that is not regular (a pipe) must be open with O_NONBLOCK.");
    bind_band_check(m);
    m.def("open_plot_queue", &open_plot_queue, nb::arg("queue"), nb::arg("stop") = nb::none(),
          nb::arg("keep_cut") = false,
          "Reads the count and names of the plot file whose bytes a feeder puts into `queue`, as "
          "open_plot does; the head keeps the queue.");
}
