// Ending a read early from outside it: Ctrl-C, or a caller that no longer wants the read. The
// reader asks a ReadStop at every read of the file and between the short waits it makes on a
// pipe, a FIFO or a terminal, on every thread of the read; the ReadStop throws ReadStopped to
// end it, and the read unwinds from there, its threads joined, its file closed and its memory
// freed. A read without a ReadStop reads on until the file ends, as quorel's does.
#pragma once

namespace quorel {

// Thrown through the reader by ReadStop::check; the face that made the ReadStop knows why.
struct ReadStopped {};

class ReadStop {
public:
    // The longest a wait for bytes blocks between two checks.
    static constexpr int kWaitMilliseconds = 20;

    // Throws ReadStopped where the read is to end. May be called from several threads at once.
    virtual void check() = 0;

protected:
    ~ReadStop() = default;
};

}  // namespace quorel
