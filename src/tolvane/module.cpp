// tolvane._native: the reader for the Python package tolvane. Each step runs without the
// interpreter lock; its faults come back as tolvane._native.Fault, whose one argument is the
// fault as a dict (fault_data.hpp), for the Python layer to raise as the exception a user
// expects. Values are handed to numpy in the reader's own storage, which the arrays then own.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"
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

std::unique_ptr<PlotHead> open_plot(const nb::bytes& path, const StopFlag* flag) {
    const std::string_view text(path.c_str(), path.size());
    // Held out here, so that a fault's texts outlive the catch in `unlocked`.
    std::unique_ptr<PlotHead> head;
    unlocked(flag, [&](quorel::ReadStop* stop) {
        head = std::make_unique<PlotHead>(text, stop);
        head->read_head(stop);
        return 0;
    });
    return head;
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

// The blocks at `width`: a float32 array of one row per field of `fields` (ascending from 0;
// empty for every field), one column per block, on up to `threads` threads (0: as many as pay),
// in pieces of `piece_bytes` (0: the reader's choice). The rows lie in the reader's own storage,
// at the distance its capacity sets, which the array owns.
FloatTable read_blocks(PlotHead& head, std::uint64_t width, const std::vector<std::uint64_t>& fields,
                       unsigned threads, std::size_t piece_bytes, const StopFlag* flag, bool keep_cut) {
    for (std::size_t s = 0; s < fields.size(); ++s) {
        if (fields[s] >= head.count() || (s == 0 ? fields[s] != 0 : fields[s] <= fields[s - 1])) {
            throw std::invalid_argument("fields must rise from 0 and stay below the parameter count");
        }
    }
    if (width == 0) throw std::invalid_argument("a field is at least one byte wide");
    OwnedValues storage;
    std::size_t shape[2] = {0, 0};
    std::int64_t strides[2] = {0, 1};
    unlocked(flag, [&](quorel::ReadStop* stop) {
        const std::lock_guard<std::mutex> guard(head.lock());
        quorel::BlockCut cut;
        quorel::SeriesTable table = head.read_blocks(width, fields, quorel::SplitOptions{threads, piece_bytes}, stop,
                                                     keep_cut ? &cut : nullptr);
        head.set_cut(std::move(cut.fault));
        shape[0] = table.column_count() + 1;
        shape[1] = table.blocks();
        storage.reset(table.hand_over_all());
        strides[0] = std::int64_t(table.capacity());
        return 0;
    });
    nb::capsule owner(storage.get(), [](void* values) noexcept { std::free(values); });
    return FloatTable(storage.release(), 2, shape, owner, strides);
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

    nb::class_<PlotHead>(m, "PlotHead", "An open plot file, read up to its first block.")
        .def_prop_ro("count", &PlotHead::count, "The parameter count on line 1.")
        .def_prop_ro("names", &names, "Each name line's last token, in order.")
        .def_prop_ro("name_lines", &name_lines, "Each name line's whole text, trimmed of whitespace, in order.")
        .def_prop_ro("title", &title, "Line 1 before the parameter count, trimmed of whitespace.")
        .def("at_end", &at_end, nb::arg("stop") = nb::none(), "Whether the file ends right after its name lines.")
        .def("first_block_fault", &first_block_fault, nb::arg("width"), nb::arg("stop") = nb::none(),
             nb::arg("keep_cut") = false,
             "Block 0 read at `width` from a copy: None if it reads whole, else its fault; with `keep_cut`, "
             "the fault says whether the end of the file caused it (\"cut\").")
        .def("read_blocks", &read_blocks, nb::arg("width"), nb::arg("fields"), nb::arg("threads") = 0,
             nb::arg("piece_bytes") = 0, nb::arg("stop") = nb::none(), nb::arg("keep_cut") = false,
             "A float32 array of one row per field of `fields` (ascending from 0; empty for all) and one "
             "column per block, read on up to `threads` threads (0: as many as pay) in pieces of "
             "`piece_bytes` (0: the reader's choice). With `keep_cut`, a last block that the end of the "
             "file cuts ends the read before it, and `cut` tells its fault. Once only.")
        .def_prop_ro("cut", [](PlotHead& head) -> nb::object {
                if (!head.cut()) return nb::none();
                return fault_data(*head.cut());
             }, "After read_blocks(keep_cut=True): the fault of the block that the end of the file cut, or None.")
        .def("close", [](PlotHead& head) {
                LockReleased released;
                const std::lock_guard<std::mutex> guard(head.lock());
                head.close();
             }, "Closes the file; nothing more can be read from it.");
    m.def("open_plot", &open_plot, nb::arg("path"), nb::arg("stop") = nb::none(),
          "Opens the plot file at `path` (bytes) and reads its count and names. Every step may be "
          "ended by Ctrl-C, or by the StopFlag `stop` where given.");
}
