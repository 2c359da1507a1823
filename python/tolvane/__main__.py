"""python -m tolvane: the tolvane command (info, convert, plot)."""

import sys

from ._cli import main

# Guarded so that importing the module (as mypy's stubtest does with every submodule) runs nothing.
if __name__ == "__main__":
    sys.exit(main())
