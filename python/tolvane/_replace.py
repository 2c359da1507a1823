"""Writing a file whole or not at all: into a temporary file beside it, renamed into place
only once everything is written, so that a failure (a full disk, a file size limit, an error
of the writer, Ctrl-C) leaves an earlier file whole and no partial one. What is there and is
not a regular file (a FIFO, a device) is not replaced: it is written in place, as a stream."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from typing import Iterator, Union

PathArg = Union[str, "os.PathLike[str]"]


@contextlib.contextmanager
def replacing(path: PathArg) -> Iterator[str]:
    """A path to write the file at ``path`` to: a new temporary file in the same folder (so
    that the rename cannot cross file systems), renamed over ``path`` when the block ends
    without an exception, removed when it raises. The file gets the mode a new file gets
    (0o666 less the umask), or the mode of the file it replaces. Through a symbolic link, the
    file it points to is replaced, and the link stays."""
    # realpath() of a magic link (/dev/stdout of a pipe) names nothing, but that is no regular
    # file, which is all that is replaced.
    target = os.path.realpath(os.fspath(path))
    folder, name = os.path.split(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        os.close(fd)
        yield temporary
        os.chmod(temporary, _mode_for(target))
        with open(temporary, "rb") as written:
            # On disk before the rename, so that a crash cannot leave a renamed empty file.
            os.fsync(written.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _mode_for(target: str) -> int:
    try:
        return os.stat(target).st_mode & 0o7777
    except OSError:
        return 0o666 & ~_umask()


def _umask() -> int:
    # Linux tells the umask without changing it; setting it to read it back would change it
    # for a moment for every thread of the process.
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


def is_stream(path: PathArg) -> bool:
    """Whether ``path`` names (through links) something there that is neither a regular file
    nor a folder: a FIFO, a device, a socket, to be written in place rather than replaced."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):  # not there yet, or not to be seen: replacing() says why
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)
