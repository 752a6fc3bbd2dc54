import os
import sys
from pathlib import Path

# The module under test: a build directory when KARVIK_MODULE_DIR names one,
# else the installed module. The dataset generator comes from python/demo.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "demo"))
if os.environ.get("KARVIK_MODULE_DIR"):
    sys.path.insert(0, os.environ["KARVIK_MODULE_DIR"])


import pytest  # noqa: E402

import dataset  # noqa: E402


@pytest.fixture(scope="session")
def tiles(tmp_path_factory):
    """Six tiles of 1000 points, 3 x 2 of 100 x 100 units from (10000, 30000)."""
    return dataset.write_dataset(tmp_path_factory.mktemp("dataset"))


@pytest.fixture(scope="session")
def index(tiles):
    return str(tiles[0].path.parent / "index.gpkg")
