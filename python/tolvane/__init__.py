"""tolvane: TOLVANE plot files as named numpy float32 arrays.

    >>> import tolvane
    >>> plot = tolvane.read("run42.plt")            # the width, 12 or 15, found from the file
    >>> plot.names[:3]
    ('TIME', 'SPEED', 'TORQUE')
    >>> plot["SPEED"]                               # a numpy.float32 array, one value per block
    >>> plot.to_pandas()                            # indexed by the time
    >>> plot.to_polars(), plot.to_arrow(), plot.to_xarray()
    >>> tolvane.read_many("sweep/*.plt")            # a sweep as one long DataFrame
    >>> tolvane.read("s3://bucket/run42.plt.zst")   # a URL, a file object, compressed or not
    >>> tolvane.write("edited.plt", plot, 12)       # a plot file again, fields of 12 bytes
    >>> with tolvane.open("run42.plt") as f:        # windows of a large or growing file
    ...     f.read(time=(4.9, 5.1))
    >>> tolvane.compare("reference.plt", "run42.plt").ok   # every signal within its tolerance

The same reader as quorel.rust_read_tolvane, with the same values, bit for bit; but the values
stay float32 arrays, the GIL is released while a file is read, and a file that breaks the
format raises FormatError, which says where. tolvane.write writes a Plot, a mapping of arrays or
a table as a plot file, every field the nearest decimal of its width's digits.
tolvane.dask.read_many reads a sweep on a Dask cluster; `tolvane` (or `python -m tolvane`) is a
command: info, convert, plot, tail, compare, view. tolvane.compare checks a run against a
reference within tolerances (compare_many a folder of runs). tolvane.open reads windows of a
large file and follows a
growing one. ``tolvane.__version__`` is the version of the distribution,
quorel, that holds it.
"""

from ._compare import Comparison, compare
from ._compare_many import SweepComparison, compare_many
from ._errors import CompressionError, FileChangedError, FormatError
from ._native import ReadInterrupted
from ._plot import Plot
from ._many import read_many
from ._open import PlotFile, open
from ._read import read
from ._version import __version__ as __version__  # the explicit form re-exports it to type checkers
from ._view import View, view
from ._write import write

__all__ = ["Comparison", "CompressionError", "FileChangedError", "FormatError", "Plot", "PlotFile",
           "ReadInterrupted", "SweepComparison", "View", "compare", "compare_many", "open", "read", "read_many",
           "view", "write"]
