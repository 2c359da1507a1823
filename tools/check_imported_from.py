"""Exits non-zero unless `import quorel` (and `import tolvane`, where the interpreter is one
tolvane is built for) find the modules built in the directory given.

    python3 tools/check_imported_from.py BUILD_DIR SCRIPT_NAME

The check scripts that run the test suite against a build of their own put that build first on
PYTHONPATH; this makes sure an installed quorel or tolvane does not stand in for it.
"""
import os
import sys

import quorel

build, script = sys.argv[1], sys.argv[2]
modules = [quorel]
if sys.version_info >= (3, 10):
    import tolvane._native

    modules.append(tolvane._native)
for module in modules:
    where = os.path.realpath(module.__file__)
    if not where.startswith(os.path.realpath(build) + os.sep):
        sys.exit(f"{script}: {module.__name__} imported from {where}, not from {build}")
