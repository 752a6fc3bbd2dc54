import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# The dataset generator of the demo; the module, for extractions to compare with.
sys.path.insert(0, str(ROOT / "python" / "demo"))
if os.environ.get("KARVIK_MODULE_DIR"):
    sys.path.insert(0, os.environ["KARVIK_MODULE_DIR"])


@pytest.fixture(scope="session")
def cli():
    """The karvik program under test: KARVIK_CLI, else the release build's."""
    path = Path(os.environ.get("KARVIK_CLI", ROOT / "build" / "release" / "cli" / "karvik")).resolve()
    assert path.is_file(), f"no karvik program at {path}"
    return str(path)
