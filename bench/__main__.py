"""Run every benchmark of bench/ and print their tables: ``python -m bench``."""

import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here.parent))
for script in sorted(here.glob("*_bench.py")):
    runpy.run_path(str(script), run_name="__main__")
