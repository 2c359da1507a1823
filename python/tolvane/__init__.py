"""tolvane: TOLVANE plot files as named numpy float32 arrays.

    >>> import tolvane
    >>> plot = tolvane.read("run42.plt")            # the width, 12 or 15, found from the file
    >>> plot.names[:3]
    ('TIME', 'SPEED', 'TORQUE')
    >>> plot["SPEED"]                               # a numpy.float32 array, one value per block
    >>> plot.to_pandas()                            # indexed by the time

The same reader as quorel.rust_read_tolvane, with the same values, bit for bit; but the values
stay float32 arrays, the GIL is released while a file is read, and a file that breaks the
format raises FormatError, which says where.
"""

from ._errors import FormatError
from ._plot import Plot
from ._read import read

__all__ = ["FormatError", "Plot", "read"]
