"""Exhausted resources become Python exceptions; no C++ exception crosses into
the interpreter, and the module stays usable. Each case runs in a child
process whose address space is limited to a little above what it uses."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import karvik

CHILD = """
import resource, sys
sys.path.insert(0, {module_dir!r})
import logging
import karvik

def limit_to(headroom):
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + headroom, resource.RLIM_INFINITY))

box = karvik.BoundingBox(10050.005, 10149.995, 30020.005, 30150.005)
{prepare}
limit_to({headroom})
try:
    {call}
except BaseException as error:
    caught = error
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(type(caught).__name__, isinstance(caught, Exception), caught.__class__.__mro__[1].__name__, sep=",")
print(karvik.extract({index!r}, {output!r}, box).points_written)
"""


@pytest.mark.parametrize(
    "prepare, headroom, call, expected",
    [
        # Copying the path needs 256 MiB.
        ("path = 'x' * (256 << 20)", 64 << 20, "karvik.extract(path, 'out.las', box)", "MemoryError,True,Exception"),
        # No room for the stack of a thread: an internal error, outside Exception.
        ("", 2 << 20, "karvik.extract({index!r}, {output!r}, box)", "FatalError,False,BaseException"),
    ],
)
def test_exhaustion_raises_and_the_module_stays_usable(index, tmp_path, prepare, headroom, call, expected):
    output = str(tmp_path / "out.las")
    script = CHILD.format(module_dir=str(Path(karvik.__file__).parent), prepare=prepare, headroom=headroom,
                          call=call.format(index=index, output=output), index=index, output=output)
    env = dict(os.environ, KARVIK_NUM_THREADS="1")
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                           timeout=120, env=env)
    assert child.returncode == 0, child.stderr
    kind, written = child.stdout.split()
    assert kind == expected
    assert int(written) > 0
