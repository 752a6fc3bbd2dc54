"""What the Python layer adds to an extraction and to a point test, as ratios
against baselines run in the same process:
- extract() wall time against the pipeline's own elapsed_time, on 12 tiles of
  50,000 points (a whole extraction) and on one met tile without a kept point
  (the fixed cost of a call: binding, logger lookup, runner thread);
- the same extraction with verbose=True and INFO logging on (every record
  forwarded to `logging`) against verbose=False;
- BoundingBox.contains() against the same test written in Python.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_bench.py [dir]
"""

import logging
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python" / "demo"))

import dataset  # noqa: E402
import karvik  # noqa: E402


def timed_extract(index, output, geometry, verbose=False, repeat=15):
    """Median wall time and median pipeline time of `repeat` extractions."""
    walls, inner = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        stats = karvik.extract(index, output, geometry, verbose)
        walls.append(time.perf_counter() - start)
        inner.append(stats.elapsed_time)
    return statistics.median(walls), statistics.median(inner)


def main(directory):
    tiles = dataset.write_dataset(directory, columns=4, rows=3, points_per_tile=50_000)
    index = str(Path(directory) / "index.gpkg")
    output = str(Path(directory) / "out.las")
    whole = karvik.BoundingBox(10000.005, 10400.005, 30000.005, 30300.005)
    empty = karvik.BoundingBox(10000.001, 10000.009, 30000.001, 30000.009)  # between the points' grid lines

    wall, inner = timed_extract(index, output, whole)
    print(f"extract, {len(tiles)} tiles x 50,000 points: wall {wall * 1e3:.1f} ms, pipeline {inner * 1e3:.1f} ms, "
          f"ratio {wall / inner:.3f}")
    logging.getLogger("karvik_core.pipeline.executor").setLevel(logging.ERROR)  # no "No points to write!"
    wall, inner = timed_extract(index, output, empty, repeat=200)
    print(f"extract, 1 tile, nothing kept: wall {wall * 1e6:.0f} us, pipeline {inner * 1e6:.0f} us, "
          f"added {(wall - inner) * 1e6:.0f} us per call")

    logger = logging.getLogger("karvik_core.pipeline.executor")
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    quiet, loud = [], []
    for _ in range(15):  # interleaved, so that a change in the machine's load hits both
        quiet.append(timed_extract(index, output, whole, verbose=False, repeat=1)[0])
        loud.append(timed_extract(index, output, whole, verbose=True, repeat=1)[0])
    quiet, loud = statistics.median(quiet), statistics.median(loud)
    print(f"verbose=True with INFO records forwarded ({2 * len(tiles) + 4} records) against verbose=False: "
          f"ratio {loud / quiet:.3f}")

    box = karvik.BoundingBox(0, 10, 0, 10)

    def python_contains(x, y, min_x=0.0, max_x=10.0, min_y=0.0, max_y=10.0):
        return min_x <= x <= max_x and min_y <= y <= max_y

    ours = min(timeit.repeat(lambda: box.contains(5.0, 5.0), number=200_000, repeat=5)) / 200_000
    theirs = min(timeit.repeat(lambda: python_contains(5.0, 5.0), number=200_000, repeat=5)) / 200_000
    print(f"BoundingBox.contains: {ours * 1e9:.0f} ns per call, a Python function {theirs * 1e9:.0f} ns, "
          f"ratio {ours / theirs:.2f}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as directory:
            main(directory)
