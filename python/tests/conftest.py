import os
import sys
from pathlib import Path

# The module under test: a build directory when KARVIK_MODULE_DIR names one,
# else the installed module. The dataset generator comes from python/demo.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "demo"))
if os.environ.get("KARVIK_MODULE_DIR"):
    sys.path.insert(0, os.environ["KARVIK_MODULE_DIR"])
