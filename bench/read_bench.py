"""karvik.read() against what it replaces: extract() to a LAS file, then the
file's records read back with NumPy (np.fromfile at the header's offset to
the point data), for the same geometry, interleaved runs in one process.
Prints the median wall times and their ratio, and, each measured in a fresh
process, the peak memory read() adds beyond the bytes of the array it returns
against the peak memory extract() adds: what both need besides the points.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/read_bench.py [dir]
"""

import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python" / "demo"))

import dataset  # noqa: E402
import karvik  # noqa: E402


def extract_then_fromfile(index, output, geometry):
    karvik.extract(index, output, geometry)
    with open(output, "rb") as f:
        header = f.read(227)
    (offset_to_points,) = struct.unpack_from("<I", header, 96)
    (count,) = struct.unpack_from("<I", header, 107)
    return np.fromfile(output, dtype=dataset.RECORD, count=count, offset=offset_to_points)


# Peak RSS growth of one read() or extract() in a process that has done
# nothing else, and the bytes of read()'s array. The peak is the process's
# VmHWM: ru_maxrss would carry the parent's over exec.
MEMORY_CHILD = """
import sys
import numpy, karvik

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))

before = status("VmRSS")
mode, index, output, *bounds = sys.argv[1:]
box = karvik.BoundingBox(*map(float, bounds))
if mode == "read":
    points = karvik.read(index, box).points
    print(status("VmHWM") - before, points.nbytes, len(points))
else:
    karvik.extract(index, output, box)
    print(status("VmHWM") - before, 0, 0)
"""


def peak_growth(mode, index, output, geometry):
    bounds = [geometry.min_x, geometry.max_x, geometry.min_y, geometry.max_y]
    child = subprocess.run([sys.executable, "-c", MEMORY_CHILD, mode, index, output, *map(repr, bounds)], check=True,
                           capture_output=True, text=True, env={"PYTHONPATH": str(Path(karvik.__file__).parent)})
    return map(int, child.stdout.split())


def main(directory):
    tiles = dataset.write_dataset(directory, columns=4, rows=3, points_per_tile=500_000)
    index = str(Path(directory) / "index.gpkg")
    output = str(Path(directory) / "out.las")
    # Half of the area: 3 million of the 6 million points.
    half = karvik.BoundingBox(10000.005, 10200.005, 30000.005, 30300.005)

    added, array_bytes, kept = peak_growth("read", index, output, half)
    extract_added, _, _ = peak_growth("extract", index, output, half)

    ours, theirs = [], []
    for _ in range(7):  # interleaved, so that a change in the machine's load hits both
        start = time.perf_counter()
        via_read = karvik.read(index, half).points
        ours.append(time.perf_counter() - start)
        start = time.perf_counter()
        via_file = extract_then_fromfile(index, output, half)
        theirs.append(time.perf_counter() - start)
        assert len(via_read) == len(via_file) == kept
        assert (via_read["X"] == via_file["X"]).all() and (via_read["gps_time"] == via_file["gps_time"]).all()
        del via_read, via_file
    ours, theirs = statistics.median(ours), statistics.median(theirs)
    print(f"{len(tiles)} tiles x 500,000 points, {kept} kept:")
    print(f"  read(): {ours * 1e3:.0f} ms; extract() + np.fromfile: {theirs * 1e3:.0f} ms; ratio {ours / theirs:.2f}")
    print(f"  read() peak memory growth {added / 2**20:.0f} MiB, of which the array {array_bytes / 2**20:.0f} MiB; "
          f"the rest {(added - array_bytes) / 2**20:.0f} MiB against extract()'s {extract_added / 2**20:.0f} MiB: "
          f"ratio {(added - array_bytes) / extract_added:.2f}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as directory:
            main(directory)
