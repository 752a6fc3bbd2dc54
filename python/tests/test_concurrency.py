"""Extractions and other Python threads, concurrent extractions, and
extractions in processes forked after the parent ran one."""

import multiprocessing
import sqlite3
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from karvik import BoundingBox, Cylinder, Frustum, extract
from oracle import Box, Disc, expected_records, read_las

GEOMETRIES = [
    (BoundingBox(10050.005, 10149.995, 30020.005, 30150.005), Box(10050.005, 10149.995, 30020.005, 30150.005)),
    (Cylinder(10150.003, 30100.007, 60.0021), Disc(10150.003, 30100.007, 60.0021)),
    (BoundingBox(10000.005, 10300.005, 30000.005, 30200.005, 10.005), Box(10000.005, 10300.005, 30000.005, 30200.005, 10.005)),
    (Cylinder(10250.003, 30050.007, 20.0021), Disc(10250.003, 30050.007, 20.0021)),
]


def test_other_threads_run_while_extracting(index, tmp_path):
    # Another thread holds the index locked; the extraction waits on the lock
    # (up to 5 s) and can only succeed if that thread gets to release it
    # while the extraction runs, which it cannot while the GIL is held.
    locked = threading.Event()
    released_at = []

    def hold_lock():
        db = sqlite3.connect(index, isolation_level=None)
        db.execute("BEGIN EXCLUSIVE")
        locked.set()
        time.sleep(0.5)
        released_at.append(time.monotonic())
        db.execute("COMMIT")
        db.close()

    holder = threading.Thread(target=hold_lock)
    holder.start()
    locked.wait()
    started = time.monotonic()
    stats = extract(index, str(tmp_path / "out.las"), GEOMETRIES[0][0])
    finished = time.monotonic()
    holder.join()
    assert stats.points_written > 0
    assert started < released_at[0] < finished


def test_concurrent_extractions_from_threads(tiles, index, tmp_path):
    def run(i):
        geometry, _ = GEOMETRIES[i % len(GEOMETRIES)]
        output = tmp_path / f"out{i}.las"
        return extract(index, str(output), geometry, verbose=True), output

    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(run, range(8)))
    for i, (stats, output) in enumerate(results):
        region = GEOMETRIES[i % len(GEOMETRIES)][1]
        expected = expected_records(tiles, region)
        assert read_las(output).records == expected
        assert stats.points_written * 28 == len(expected)


def extract_in_child(arguments):
    index, output, i = arguments
    stats = extract(index, output, GEOMETRIES[i][0])
    return stats.points_written, stats.points_read


def test_forked_children_extract_after_the_parent_did(tiles, index, tmp_path):
    parent = extract(index, str(tmp_path / "parent.las"), GEOMETRIES[0][0])  # starts the worker pool
    assert parent.points_written > 0
    context = multiprocessing.get_context("fork")
    jobs = [(index, str(tmp_path / f"child{i}.las"), i) for i in range(len(GEOMETRIES))]
    with context.Pool(2) as pool:
        counts = pool.map_async(extract_in_child, jobs).get(timeout=120)
    for (_, output, i), (written, read) in zip(jobs, counts):
        expected = expected_records(tiles, GEOMETRIES[i][1])
        assert read_las(output).records == expected
        assert written * 28 == len(expected) and read > 0
    assert read_las(tmp_path / "parent.las").records == read_las(tmp_path / "child0.las").records
