import pathlib
import sys

# Tests run against the freshly built module in build/, unless one is installed.
BUILD = pathlib.Path(__file__).resolve().parent.parent / "build"
if BUILD.is_dir():
    sys.path.insert(0, str(BUILD))
