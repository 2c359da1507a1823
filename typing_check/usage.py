"""Typed use of quorel, checked with ``mypy --strict`` by tools/check_types.sh.

Nothing here runs at import; the file exists so that mypy proves the installed type
information says what callers rely on.  Each annotated assignment fails the check if the
declared result type drifts, and each ``# type: ignore[...]`` fails it (as an unused ignore,
which --strict reports) if a wrong call stops being an error.
"""

from __future__ import annotations

import operator
from typing import Callable, List, Optional, SupportsIndex, Tuple, Type

import quorel

Reader = Callable[[str, SupportsIndex], Tuple[List[float], List[List[float]]]]


class Width:
    """An int-like object: anything with __index__ is a valid n_digits."""

    def __index__(self) -> int:
        return 15


def read_all(path: str) -> None:
    result: Tuple[List[float], List[List[float]]] = quorel.rust_read_tolvane(path, 12)
    time: List[float] = result[0]
    columns: List[List[float]] = result[1]
    first: float = columns[0][0] + time[0]
    print(first)

    # Keywords, bool, and __index__ objects are all accepted for n_digits.
    quorel.rust_read_tolvane(file_path=path, n_digits=15)
    quorel.rust_read_tolvane(path, n_digits=True)
    quorel.rust_read_tolvane(path, Width())
    quorel.rust_read_tolvane(path, operator.index(12))

    # The function fits a plain callable type.
    reader: Reader = quorel.rust_read_tolvane
    reader(path, 12)

    names: List[str] = quorel.__all__
    print(names)


def read_or_report(path: str) -> Optional[Tuple[List[float], List[List[float]]]]:
    # Read failures raise PanicException, a BaseException; its class is only reachable
    # through a caught instance.
    try:
        return quorel.rust_read_tolvane(path, 12)
    except (TypeError, OverflowError):
        raise
    except BaseException as exc:
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        panic_class: Type[BaseException] = type(exc)
        print(panic_class.__name__, exc)
        return None


def wrong_calls(path: str) -> None:
    quorel.rust_read_tolvane(path.encode(), 12)  # type: ignore[arg-type]
    quorel.rust_read_tolvane(path, 12.0)  # type: ignore[arg-type]
    quorel.rust_read_tolvane(path, "12")  # type: ignore[arg-type]
    quorel.rust_read_tolvane(path)  # type: ignore[call-arg]
    quorel.rust_read_tolvane(path, 12, 3)  # type: ignore[call-arg]
    quorel.rust_read_tolvane(path, width=12)  # type: ignore[call-arg]
    text: str = quorel.rust_read_tolvane(path, 12)  # type: ignore[assignment]
    print(text)
