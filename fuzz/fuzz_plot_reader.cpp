// libFuzzer harness for the plot file reader.
//
// Input: one byte that selects the field width (0..40 mostly, a few huge widths), then the bytes
// of a whole plot file, whose first DEL byte is stretched into a run that reaches the reader's
// 64 KiB read boundary. The file is put in a memfd and read through /proc/self/fd/N by
// quorel::PlotFileReader. An independent model of the format (fuzz/reference.hpp: its own line
// cutting, UTF-8 check, whitespace set, count and exact big-integer binary32 conversion) predicts
// the outcome: either every series value bit for bit, or the exact failure message. Any
// difference aborts. (The model is in model.cpp, built without coverage feedback.)
//
// Every input is read three times: whole, as quorel reads it; step by step as tolvane does (names,
// name lines and title kept, block 0 tried at widths 12 and 15, the blocks read by the route that reads chosen fields,
// here all of them); and split on two threads into pieces of 1 to 16 bytes (the input's last
// byte picks the size; longer for a stretched file), so that blocks, lines, fields and
// characters straddle the pieces. A
// failure must be the model's, at the model's line, block and field. The
// reader writes nothing: descriptors 1 and 2 point at a memfd while it runs, which must stay
// empty. The harness asks libFuzzer for -close_fd_mask=3, so that anything else goes to
// /dev/null while libFuzzer's and the sanitizers' own output keeps the real standard error, and
// keeps a copy of standard error for its own mismatch reports.
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "failure/char_debug.hpp"
#include "failure/read_fault.hpp"
#include "failure/text.hpp"
#include "reader/plot_reader.hpp"
#include "model.hpp"

namespace {

int g_memfd = -1;
int g_report_fd = 2;
int g_output_fd = -1;  // a memfd that descriptors 1 and 2 point at while the reader runs
std::string g_path;

[[noreturn]] void fail(const std::string& what) {
    const std::string text = "\n*** fuzz_plot_reader: " + what + "\n";
    (void)!::write(g_report_fd, text.data(), text.size());
    std::abort();
}

constexpr std::uint64_t kHugeWidths[] = {
    UINT64_MAX, UINT64_MAX - 1, std::uint64_t(1) << 63, (std::uint64_t(1) << 63) - 1,
    std::uint64_t(1) << 32, (std::uint64_t(1) << 32) + 12, 8192, 100000,
};

std::uint64_t width_from(std::uint8_t b) {
    if (b >= 0xF8) return kHugeWidths[b - 0xF8];
    return b % 41;
}

// The message quorel raises for a fault (the faults an in-memory file can have).
std::string quorel_message(const quorel::ReadFault& fault) {
    using quorel::FaultKind;
    switch (fault.kind) {
    case FaultKind::not_utf8:
        return "Failed to read line!: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
    case FaultKind::empty_file: return "Failed ot read line!";
    case FaultKind::count_not_a_number:
        return "The first line should end with the number of parameters:\n'" + std::string(fault.line_text) + "'";
    case FaultKind::names_cut_short: return "Failed to read line!";
    case FaultKind::block_cut_short: return "Error reading line";
    case FaultKind::field_past_line_end:
        return "end byte index " + std::to_string(fault.field_end) + " is out of bounds for string of length " +
               std::to_string(fault.line_length);
    case FaultKind::field_splits_char:
        return "end byte index " + std::to_string(fault.field_end) + " is not a char boundary; it is inside " +
               std::string(quorel::char_debug_form(fault.character)) + " (bytes " + std::to_string(fault.char_start) +
               ".." + std::to_string(fault.char_end) + " of string)";
    case FaultKind::field_empty: return "Could not parse line: ParseFloatError { kind: Empty }";
    case FaultKind::field_not_a_number: return "Could not parse line: ParseFloatError { kind: Invalid }";
    case FaultKind::capacity_overflow: return "capacity overflow";
    default: return "unexpected fault kind " + std::to_string(int(fault.kind));
    }
}

// Points descriptors 1 and 2 at the output memfd for its lifetime; `written` tells whether
// anything reached them.
class OutputWatch {
public:
    OutputWatch() : saved_out_(::dup(1)), saved_err_(::dup(2)) {
        if (saved_out_ < 0 || saved_err_ < 0 || ::ftruncate(g_output_fd, 0) != 0 || ::dup2(g_output_fd, 1) < 0 ||
            ::dup2(g_output_fd, 2) < 0) {
            fail("cannot point descriptors 1 and 2 at the output memfd");
        }
    }
    OutputWatch(const OutputWatch&) = delete;
    OutputWatch& operator=(const OutputWatch&) = delete;
    ~OutputWatch() {
        ::dup2(saved_out_, 1);
        ::dup2(saved_err_, 2);
        ::close(saved_out_);
        ::close(saved_err_);
    }
    bool written() const { return ::lseek(g_output_fd, 0, SEEK_END) != 0; }

private:
    int saved_out_;
    int saved_err_;
};

std::string place_text(std::uint64_t line, std::uint64_t block, std::uint64_t field) {
    auto index = [](std::uint64_t i) { return i == quorel::kNoIndex ? std::string("-") : std::to_string(i); };
    return "line " + std::to_string(line) + ", block " + index(block) + ", field " + index(field);
}

// The fault must be the expected failure: its message as quorel gives it, and its place.
void check_fault(const quorel::ReadFault& fault, const model::PlotOutcome& expected, const char* route) {
    const std::string message = quorel_message(fault);
    if (!expected.failed) fail(std::string(route) + ": read failed with '" + message + "', expected success");
    if (fault.kind == quorel::FaultKind::count_zero) {
        if (expected.message != "capacity overflow" || fault.place.line != 1) fail(std::string(route) + ": count 0");
        return;
    }
    if (message != expected.message && (expected.alternative.empty() || message != expected.alternative)) {
        fail(std::string(route) + ": message '" + message + "', expected '" + expected.message + "'");
    }
    if (fault.kind == quorel::FaultKind::capacity_overflow) {
        if (fault.place.line != 0) fail(std::string(route) + ": capacity overflow with a place");
        return;
    }
    if (fault.place.line != expected.line || fault.place.block != expected.block || fault.place.field != expected.field) {
        fail(std::string(route) + ": fault at " + place_text(fault.place.line, fault.place.block, fault.place.field) +
             ", expected " + place_text(expected.line, expected.block, expected.field) + " (" + message + ")");
    }
}

std::string describe(const std::vector<std::uint32_t>& v) {
    std::string s = "[";
    for (const auto bits : v) {
        char b[16];
        std::snprintf(b, sizeof b, "%08X ", bits);
        s += b;
    }
    return s + "]";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Quiet the reader's descriptors 1 and 2 through libFuzzer itself, unless told otherwise.
    bool has_mask = false;
    for (int i = 1; i < *argc; ++i) has_mask |= std::strncmp((*argv)[i], "-close_fd_mask=", 15) == 0;
    if (!has_mask) {
        static std::vector<char*> args((*argv), (*argv) + *argc);
        static char mask[] = "-close_fd_mask=3";
        args.insert(args.begin() + 1, mask);
        args.push_back(nullptr);
        *argv = args.data();
        ++*argc;
    }
    g_report_fd = ::dup(2);
    if (const std::string broken = model::self_test(); !broken.empty()) fail("reference self-test fails on " + broken);
    g_memfd = ::memfd_create("plot", MFD_CLOEXEC);
    g_output_fd = ::memfd_create("output", MFD_CLOEXEC);
    if (g_memfd < 0 || g_output_fd < 0 || g_report_fd < 0) fail("memfd_create/dup failed");
    g_path = "/proc/self/fd/" + std::to_string(g_memfd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint64_t width = width_from(data[0]);
    std::string stretched(reinterpret_cast<const char*>(data + 1), size - 1);
    // The reader fills its buffer 64 KiB at a time; inputs stay far smaller. So the first DEL
    // byte (0x7F) stands for a run of 65,400 to 65,655 DEL bytes (the next byte sets the length):
    // what follows it lands around the first read boundary, where lines and characters are put
    // back together across reads. Reader and model both see the stretched file.
    if (const std::size_t del = stretched.find('\x7f'); del != std::string::npos) {
        const std::size_t extra = 65400 + (del + 1 < stretched.size() ? static_cast<unsigned char>(stretched[del + 1]) : 0);
        stretched.insert(del, extra - 1, '\x7f');
    }
    const std::string_view file(stretched);
    if (::ftruncate(g_memfd, 0) != 0 ||
        ::pwrite(g_memfd, file.data(), file.size(), 0) != ssize_t(file.size())) {
        fail("cannot fill the memfd");
    }

    const model::PlotOutcome expected = model::read_plot(file, width);
    const OutputWatch output;
    auto check_series = [&](const quorel::SeriesTable& table, const char* route) {
        if (expected.failed) fail(std::string(route) + ": read succeeded, expected failure: " + expected.message);
        const std::size_t count = expected.series.size();
        if (table.column_count() + 1 != count) fail(std::string(route) + ": column count " + std::to_string(table.column_count()));
        const std::size_t blocks = table.blocks();
        for (std::size_t i = 0; i < count; ++i) {
            std::vector<std::uint32_t> got(blocks);
            if (!got.empty()) std::memcpy(got.data(), table.values(i), got.size() * 4);
            if (got != expected.series[i]) {
                fail(std::string(route) + ": series " + std::to_string(i) + ": got " + describe(got) + ", expected " +
                     describe(expected.series[i]));
            }
        }
    };
    {
        // The fault's texts view the reader's buffers: it stays in scope while they are read.
        std::optional<quorel::PlotFileReader> reader;
        try {
            reader.emplace(g_path);
            check_series(reader->read_all(width), "whole");
        } catch (const quorel::ReadFault& fault) {
            check_fault(fault, expected, "whole");
        }
    }
    {
        std::optional<quorel::PlotFileReader> reader;
        quorel::NameList names;
        quorel::NameList name_lines;
        quorel::Text title;
        try {
            reader.emplace(g_path);
            const std::uint64_t count = reader->read_count(true, &title);
            reader->read_names(&names, &name_lines);
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (i >= expected.names.size() || names[i] != expected.names[i]) fail("name " + std::to_string(i));
                if (i >= expected.name_lines.size() || name_lines[i] != expected.name_lines[i]) {
                    fail("name line " + std::to_string(i));
                }
            }
            if (name_lines.size() != names.size()) fail("a name line for each name");
            if (std::string_view(title) != expected.title) fail("title");
            for (const std::uint64_t trial : {std::uint64_t(12), std::uint64_t(15)}) {
                // Block 0 reads whole at a width exactly when the whole file reads past it there.
                const auto fault = reader->first_block_fault(trial);
                if (fault && trial == width && !expected.failed) fail("block 0 fails where the file reads");
                if (fault && trial == width && fault->fault().place.block != 0) fail("a trial's fault is not in block 0");
            }
            std::vector<std::uint64_t> every(count);
            for (std::uint64_t i = 0; i < count; ++i) every[i] = i;
            check_series(reader->read_blocks(width, every), "chosen fields");
        } catch (const quorel::ReadFault& fault) {
            check_fault(fault, expected, "chosen fields");
        }
    }
    {
        std::optional<quorel::PlotFileReader> reader;
        // Pieces of 1 to 16 bytes; a file stretched past the first read (some 64 KiB) gets a few
        // hundred pieces, each that much longer, so that a run stays quick.
        const std::size_t piece = 1 + static_cast<unsigned char>(file.empty() ? 0 : file.back()) % 16u + file.size() / 256;
        const quorel::SplitOptions split{2, piece};
        try {
            reader.emplace(g_path);
            reader->read_count(true);
            reader->read_names(nullptr);
            check_series(reader->read_blocks(width, {}, split), "split");
        } catch (const quorel::ReadFault& fault) {
            check_fault(fault, expected, "split");
        } catch (const quorel::OwnedFault& fault) {
            check_fault(fault.fault(), expected, "split");
        }
    }
    if (output.written()) fail("the reader wrote to descriptor 1 or 2");
    return 0;
}
