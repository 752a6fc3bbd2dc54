"""Batch jobs: many extractions, one per task, in process pools started with
spawn and forkserver and on a Dask cluster of worker processes. Every output
must be the bytes the same extraction writes in this process."""

import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

import karvik
from karvik import BoundingBox, Cylinder, Frustum


def plot_geometries():
    """A cylinder around every plot and a box around every building, as a
    survey would have them, and a few views."""
    geometries = []
    for i in range(6):
        for j in range(3):
            x, y = 10020.003 + 50 * i, 30020.007 + 70 * j
            geometries.append(Cylinder(x, y, 15.0021 + i))
            geometries.append(BoundingBox(x - 10.005, x + 12.005, y - 8.005, y + 9.005))
    geometries.append(Frustum(10150.003, 30100.007, 100.001, 30, -80, 120, -20, 10, 250))
    geometries.append(BoundingBox(10000.005, 10300.005, 30000.005, 30200.005, 10.005, 20.005))
    return geometries


GEOMETRIES = plot_geometries()


def counts(stats):
    return stats.tiles_processed, stats.points_read, stats.points_written


@pytest.fixture(scope="module")
def serial(index, tmp_path_factory):
    """The outputs and statistics of every extraction, run here one after another."""
    directory = tmp_path_factory.mktemp("serial")
    results = []
    for i, geometry in enumerate(GEOMETRIES):
        output = directory / f"{i}.las"
        stats = karvik.extract(index, str(output), geometry)
        results.append((output.read_bytes(), counts(stats)))
    assert all(written > 0 for _, (_, _, written) in results)
    return results


def check_against_serial(serial, outputs, stats):
    assert len(stats) == len(serial)
    for (expected_bytes, expected_counts), output, got in zip(serial, outputs, stats):
        assert type(got) is karvik.ExtractionStats
        assert counts(got) == expected_counts
        assert Path(output).read_bytes() == expected_bytes


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_process_pool(index, serial, tmp_path, method, monkeypatch):
    # Two workers of one thread each: workers times threads match two cores.
    monkeypatch.setenv("KARVIK_NUM_THREADS", "1")
    outputs = [str(tmp_path / f"{i}.las") for i in range(len(GEOMETRIES))]
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context(method)) as pool:
        stats = list(pool.map(karvik.extract, [index] * len(GEOMETRIES), outputs, GEOMETRIES, timeout=300))
    check_against_serial(serial, outputs, stats)


def test_dask_cluster_of_worker_processes(index, serial, tmp_path):
    import distributed  # installed for the tests only; the module does not need it
    outputs = [str(tmp_path / f"{i}.las") for i in range(len(GEOMETRIES))]
    # The workers find the module under test where this process found it.
    env = {"KARVIK_NUM_THREADS": "1", "PYTHONPATH": os.pathsep.join(
        [str(Path(karvik.__file__).parent), os.environ.get("PYTHONPATH", "")])}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  env=env) as cluster, distributed.Client(cluster) as client:
        futures = client.map(karvik.extract, [index] * len(GEOMETRIES), outputs, GEOMETRIES, pure=False)
        stats = client.gather(futures)
        # read() too: its arrays come back to the client.
        arrays = client.gather(client.map(karvik.read, [index] * 4, GEOMETRIES[:4], pure=False))
        worker_pids = client.run(os.getpid)
    assert len(set(worker_pids.values()) | {os.getpid()}) == 3  # the work ran in other processes
    check_against_serial(serial, outputs, stats)
    for geometry, result in zip(GEOMETRIES, arrays):
        here = karvik.read(index, geometry)
        assert result.points.tobytes() == here.points.tobytes() and result.points.dtype == here.points.dtype
        assert (result.scale, result.offset) == (here.scale, here.offset)
