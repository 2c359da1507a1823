"""tolvane: TOLVANE plot files as named numpy float32 arrays.

    >>> import tolvane
    >>> plot = tolvane.read("run42.plt")            # the width, 12 or 15, found from the file
    >>> plot.names[:3]
    ('TIME', 'SPEED', 'TORQUE')
    >>> plot["SPEED"]                               # a numpy.float32 array, one value per block
    >>> plot.to_pandas()                            # indexed by the time
    >>> plot.to_polars(), plot.to_arrow(), plot.to_xarray()
from ._version import __version__ as __version__  # the explicit form re-exports it to type checkers
from ._write import write

__all__ = ["FileChangedError", "FormatError", "Plot", "ReadInterrupted", "read", "read_many", "write"]
"""

from ._errors import FileChangedError, FormatError
from ._native import ReadInterrupted
from ._plot import Plot
from ._many import read_many
from ._read import read
from ._version import __version__ as __version__  # the explicit form re-exports it to type checkers
from ._write import write

__all__ = ["FileChangedError", "FormatError", "Plot", "ReadInterrupted", "read", "read_many", "write"]
