# Type information for the native module quorel (a single extension module at the top of
# site-packages, so its types ship as this stub-only package).  Valid for Python 3.9.
from typing import List, SupportsIndex, Tuple

__all__ = ["rust_read_tolvane"]

def rust_read_tolvane(
    file_path: str, n_digits: SupportsIndex
) -> Tuple[List[float], List[List[float]]]:
    """Read a TOLVANE plot file.

    file_path: the file's path, a str (not bytes, not a path object).
    n_digits: the width of one data field in bytes: 12 for files written with 6 significant
        digits, 15 for 9 digits; any int-like value from 0 to 2**64 - 1.

    Returns (time, columns): one float per time step, and one list of floats per further
    parameter in the order of the file's name lines.  Every float is the binary32 value nearest
    to the field's decimal text.

    Raises TypeError, OverflowError or UnicodeEncodeError for bad arguments, and PanicException
    (derived from BaseException, not Exception) for any failure while reading.
    """
