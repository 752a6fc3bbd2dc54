"""read(): the points extract() would write, as a NumPy structured array of
the point format's fields, checked against the records extract() writes."""

import logging
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dataset
import karvik
from karvik import BoundingBox, Cylinder, Frustum, extract, read
from oracle import Box, Disc, ViewSector, expected_records, read_las, record_xyz

LOGGER = "karvik_core.pipeline.executor"
SAMPLES = pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "las-samples"
EVERYTHING = BoundingBox(-1e12, 1e12, -1e12, 1e12)

# The point formats' fields as the ASPRS LAS 1.4 standard places them: whole
# fields (name, byte offset, type) and bit fields (name, byte, shift, bits).
LEGACY_BITS = [("return_number", 14, 0, 3), ("number_of_returns", 14, 3, 3), ("scan_direction_flag", 14, 6, 1),
               ("edge_of_flight_line", 14, 7, 1), ("classification", 15, 0, 5), ("synthetic", 15, 5, 1),
               ("key_point", 15, 6, 1), ("withheld", 15, 7, 1)]
EXTENDED_BITS = [("return_number", 14, 0, 4), ("number_of_returns", 14, 4, 4), ("synthetic", 15, 0, 1),
                 ("key_point", 15, 1, 1), ("withheld", 15, 2, 1), ("overlap", 15, 3, 1),
                 ("scanner_channel", 15, 4, 2), ("scan_direction_flag", 15, 6, 1), ("edge_of_flight_line", 15, 7, 1)]
CORE = [("X", 0, "<i4"), ("Y", 4, "<i4"), ("Z", 8, "<i4"), ("intensity", 12, "<u2")]
LEGACY = CORE + [("scan_angle_rank", 16, "i1"), ("user_data", 17, "u1"), ("point_source_id", 18, "<u2")]
EXTENDED = CORE + [("classification", 16, "u1"), ("user_data", 17, "u1"), ("scan_angle", 18, "<i2"),
                   ("point_source_id", 20, "<u2"), ("gps_time", 22, "<f8")]


def rgb(at):
    return [("red", at, "<u2"), ("green", at + 2, "<u2"), ("blue", at + 4, "<u2")]


def wave_packet(at):
    return [("wavepacket_index", at, "u1"), ("wavepacket_offset", at + 1, "<u8"), ("wavepacket_size", at + 9, "<u4"),
            ("return_point_wave_location", at + 13, "<f4"), ("x_t", at + 17, "<f4"), ("y_t", at + 21, "<f4"),
            ("z_t", at + 25, "<f4")]


GPS = [("gps_time", 20, "<f8")]
FORMATS = {  # format: (whole fields, bit fields, base length)
    0: (LEGACY, LEGACY_BITS, 20), 1: (LEGACY + GPS, LEGACY_BITS, 28), 2: (LEGACY + rgb(20), LEGACY_BITS, 26),
    3: (LEGACY + GPS + rgb(28), LEGACY_BITS, 34), 4: (LEGACY + GPS + wave_packet(28), LEGACY_BITS, 57),
    5: (LEGACY + GPS + rgb(28) + wave_packet(34), LEGACY_BITS, 63),
    6: (EXTENDED, EXTENDED_BITS, 30), 7: (EXTENDED + rgb(30), EXTENDED_BITS, 36),
    8: (EXTENDED + rgb(30) + [("nir", 36, "<u2")], EXTENDED_BITS, 38),
    9: (EXTENDED + wave_packet(30), EXTENDED_BITS, 59),
    10: (EXTENDED + rgb(30) + [("nir", 36, "<u2")] + wave_packet(38), EXTENDED_BITS, 67),
}


def check_against_records(result, written):
    """The array holds, field by field, what the LAS records say."""
    whole, bits, base_length = FORMATS[written.point_format]
    raw = np.frombuffer(written.records, dtype=np.uint8).reshape(-1, written.record_length)
    points = result.points
    assert len(points) == written.count
    assert result.point_format == written.point_format
    assert result.scale == written.scale and result.offset == written.offset
    for name, offset, kind in whole:
        expected = np.frombuffer(raw[:, offset:offset + np.dtype(kind).itemsize].tobytes(), dtype=kind)
        assert np.array_equal(points[name], expected, equal_nan=kind.startswith("<f")), name
    for name, byte, shift, count in bits:
        expected = (raw[:, byte] >> shift) & ((1 << count) - 1)
        assert np.array_equal(points[name].astype(np.uint8), expected), name
    # The extra bytes, in whatever fields they were given, hold the records'
    # bytes: the rows end with those fields.
    known = {name for name, *_ in whole + bits}
    extra = [name for name in points.dtype.names if name not in known]
    size = written.record_length - base_length
    assert sum(points.dtype.fields[name][0].itemsize for name in extra) == size
    rows = np.frombuffer(points.tobytes(), dtype=np.uint8).reshape(len(points), points.dtype.itemsize)
    assert rows[:, points.dtype.itemsize - size:].tobytes() == raw[:, base_length:].tobytes()
    # Scaled coordinates, as the header says.
    xyz = record_xyz(written.records, written.record_length, written.scale, written.offset)
    assert np.array_equal(np.stack([result.x, result.y, result.z], axis=1), xyz)
    return extra


@pytest.mark.parametrize("geometry, region", [
    (BoundingBox(10050.005, 10149.995, 30020.005, 30150.005), Box(10050.005, 10149.995, 30020.005, 30150.005)),
    (Cylinder(10150.003, 30100.007, 60.0021), Disc(10150.003, 30100.007, 60.0021)),
    (Frustum(10150.003, 30100.007, 100.001, 30, -80, 120, -20, 10, 250),
     ViewSector((10150.003, 30100.007, 100.001), 30, 120, -80, -20, 10, 250)),
], ids=["box", "cylinder", "frustum"])
def test_points_are_the_records_extract_writes(tiles, index, tmp_path, geometry, region):
    result = read(index, geometry)
    extract(index, tmp_path / "out.las", geometry)
    written = read_las(tmp_path / "out.las")
    assert written.records == expected_records(tiles, region)
    assert check_against_records(result, written) == []
    assert result.points.dtype.names[:5] == ("X", "Y", "Z", "intensity", "return_number")
    assert repr(result) == f"ExtractedPoints(point_format=1, points={written.count})"


@pytest.mark.parametrize("name, extra", [
    ("laz-perf__rand1_6.las", []),
    ("laz-rs__point-color.laz", []),
    ("laz-rs__point-time-color.laz", []),
    ("laspy__fullwave.laz", []),
    ("laszip__5points_14.las", ["height above ground", "coverage count"]),
    ("laspy__unregistered_extra_bytes.las", ["extra_bytes"]),
    ("laspy__append-bug.laz", None),  # named by two Extra Bytes VLRs
    ("laz-rs__extra-bytes.las", None),  # deprecated array types and undocumented bytes
    ("lidR__dbh.laz", None),
])
def test_real_files_with_their_extra_bytes(tmp_path, name, extra):
    tile = dataset.Tile(path=SAMPLES / name, bounds=(-1e9, -1e9, 1e9, 1e9), offset=None, records=None)
    dataset.write_index(tmp_path / "index.gpkg", [tile])
    result = read(tmp_path / "index.gpkg", EVERYTHING)
    extract(tmp_path / "index.gpkg", tmp_path / "out.las", EVERYTHING)
    found = check_against_records(result, read_las(tmp_path / "out.las"))
    if extra is None:
        assert found and "extra_bytes" not in found  # every byte named by the VLRs
    else:
        assert found == extra


def test_the_array_owns_its_memory(index):
    result = read(index, BoundingBox(10000.005, 10300.005, 30000.005, 30200.005))
    points = result.points
    expected = points["gps_time"].sum()
    del result
    points["intensity"] += 1  # writable, and not shared with anything else
    assert points["gps_time"].sum() == expected
    assert read(index, BoundingBox(10000.005, 10300.005, 30000.005, 30200.005)).points["intensity"][0] + 1 == \
        points["intensity"][0]


def test_results_pickle_to_other_processes(index):
    # As a process pool or a Dask worker returns them.
    result = read(index, BoundingBox(10000.005, 10300.005, 30000.005, 30200.005))
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        again = pickle.loads(pickle.dumps(result, protocol))
        assert np.array_equal(again.points, result.points) and again.points.dtype == result.points.dtype
        assert (again.scale, again.offset, again.point_format) == (result.scale, result.offset, result.point_format)
        assert np.array_equal(again.z, result.z)
    with pytest.raises(TypeError, match="3-tuples"):
        karvik.ExtractedPoints._unpickle(result.points, (1.0, 1.0), result.offset, 1)


def test_nothing_inside_gives_an_empty_array_and_the_warning(index, caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    result = read(index, BoundingBox(10000.001, 10000.009, 30000.001, 30000.009))
    assert len(result.points) == 0 and len(result.x) == 0
    assert result.points.dtype.names[:3] == ("X", "Y", "Z")
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == ["No points to write!"]


@pytest.mark.parametrize("index_path, geometry, error, message", [
    ("garbage.gpkg", EVERYTHING, ValueError, "Extraction failed: "),
    (None, BoundingBox(0, 1, 0, 1), ValueError,
     "Extraction failed: No tiles found intersecting the extraction geometry"),
    (None, 42, ValueError, "geometry must be BoundingBox, Cylinder, or Frustum"),
    (1, EVERYTHING, TypeError, "argument 'index_path': "),
])
def test_errors_are_those_of_extract(index, tmp_path, index_path, geometry, error, message):
    path = index if index_path is None else index_path
    if path == "garbage.gpkg":
        path = tmp_path / "garbage.gpkg"
        path.write_bytes(b"not a database" * 100)
    with pytest.raises(error) as read_error:
        read(path, geometry)
    assert str(read_error.value).startswith(message)
    with pytest.raises(error) as extract_error:
        extract(path, tmp_path / "out.las", geometry)
    assert str(extract_error.value) == str(read_error.value)


def test_numpy_is_imported_by_read_only_and_its_absence_is_clear(index, tmp_path):
    script = textwrap.dedent(f"""
        import sys
        sys.path[:0] = [{str(pathlib.Path(karvik.__file__).parent)!r}]
        import karvik
        print("numpy" in sys.modules)
        sys.modules["numpy"] = None  # as if it were not installed
        box = karvik.BoundingBox(10050.005, 10149.995, 30020.005, 30150.005)
        try:
            karvik.read({index!r}, box)
        except ImportError as error:
            print(error, isinstance(error.__cause__, ImportError), sep="|")
        print(karvik.extract({index!r}, {str(tmp_path / "out.las")!r}, box).points_written > 0)
    """)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                           env=dict(os.environ, PYTHONPATH=""))
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "False", "karvik.read() needs NumPy, which cannot be imported|True", "True"]
