"""python -m tolvane: the tolvane command (info, convert, plot)."""

import sys

from ._cli import main

sys.exit(main())
