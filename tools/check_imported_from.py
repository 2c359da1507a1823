"""Exits non-zero unless `import quorel` finds the module built in the directory given.

    python3 tools/check_imported_from.py BUILD_DIR SCRIPT_NAME

The check scripts that run the test suite against a build of their own put that build first on
PYTHONPATH; this makes sure an installed quorel does not stand in for it.
"""
import os
import sys

import quorel

build, script = sys.argv[1], sys.argv[2]
where = os.path.realpath(quorel.__file__)
if not where.startswith(os.path.realpath(build) + os.sep):
    sys.exit(f"{script}: quorel imported from {where}, not from {build}")
