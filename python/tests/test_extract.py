"""End-to-end extractions: written points against the input points, the
statistics, the failure texts and the log records."""

import logging
import math
import pathlib
import threading

import numpy as np
import pytest

import dataset
import karvik
from karvik import BoundingBox, Cylinder, Frustum, extract
from oracle import Box, Disc, ViewSector, expected_records, read_las, record_xyz

LOGGER = "karvik_core.pipeline.executor"
SAMPLES = pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "las-samples"

# Bounds off the 0.01 grid of the points, so that no point lies on a boundary
# where the last bit of a different arithmetic could decide.
CASES = [
    ("box_2d", BoundingBox(10050.005, 10149.995, 30020.005, 30150.005), Box(10050.005, 10149.995, 30020.005, 30150.005)),
    ("box_3d", BoundingBox.new_3d(10000.005, 10300.005, 30000.005, 30200.005, 10.005, 20.005),
     Box(10000.005, 10300.005, 30000.005, 30200.005, 10.005, 20.005)),
    ("box_min_z_only", BoundingBox(10210.005, 10290.005, 30110.005, 30190.005, 40.005),
     Box(10210.005, 10290.005, 30110.005, 30190.005, 40.005)),
    ("cylinder", Cylinder(10150.003, 30100.007, 60.0021), Disc(10150.003, 30100.007, 60.0021)),
    ("cylinder_from_diameter", Cylinder.from_diameter(10010.003, 30190.007, 30.0042), Disc(10010.003, 30190.007, 15.0021)),
    ("frustum", Frustum(10150.003, 30100.007, 100.001, 30, -80, 120, -20, 10, 250),
     ViewSector((10150.003, 30100.007, 100.001), 30, 120, -80, -20, 10, 250)),
    ("frustum_through_north", Frustum(10150.003, 30000.007, 60.001, 340, -60, 20, -5, 5, 400),
     ViewSector((10150.003, 30000.007, 60.001), 340, 20, -60, -5, 5, 400)),
]


@pytest.mark.parametrize("geometry, region", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_written_points_are_the_input_points_inside_the_geometry(tiles, index, tmp_path, geometry, region):
    output = tmp_path / "out.las"
    stats = extract(index, str(output), geometry)

    expected = expected_records(tiles, region)
    written = read_las(output)
    assert written.records == expected
    assert stats.points_written == written.count == len(expected) // dataset.RECORD.itemsize > 0
    # The header follows the tiles', with count and bounds recomputed.
    assert (written.version, written.point_format, written.record_length) == ((1, 2), 1, dataset.RECORD.itemsize)
    assert written.scale == (dataset.SCALE,) * 3 and written.offset == tiles[0].offset
    xyz = record_xyz(written.records, written.record_length, written.scale, written.offset)
    assert written.mins == pytest.approx(tuple(xyz.min(axis=0)), rel=1e-12)
    assert written.maxs == pytest.approx(tuple(xyz.max(axis=0)), rel=1e-12)

    assert stats.points_read == stats.tiles_processed * len(tiles[0].records)
    if hasattr(region, "meets"):
        assert stats.tiles_processed == sum(region.meets(t.bounds) for t in tiles)
    else:
        assert stats.tiles_processed >= sum(region.inside(t.xyz()).any() for t in tiles)
    assert type(stats.elapsed_time) is float and stats.elapsed_time >= 0
    assert str(stats) == (f"Extracted {stats.points_written} points from {stats.tiles_processed} tiles "
                          f"in {stats.elapsed_time:.2f} seconds")
    assert repr(stats) == (f"ExtractionStats(tiles_processed={stats.tiles_processed}, points_read={stats.points_read}, "
                           f"points_written={stats.points_written}, elapsed_time={stats.elapsed_time:.2f}s)")


def test_tiles_with_their_own_offsets_have_their_coordinates_re_encoded(tmp_path):
    tiles = dataset.write_dataset(tmp_path, offset_per_tile=True)
    region = Box(10050.005, 10249.995, 30020.005, 30150.005)
    output = tmp_path / "out.las"
    extract(tmp_path / "index.gpkg", output, BoundingBox(region.min_x, region.max_x, region.min_y, region.max_y))

    written = read_las(output)
    assert written.offset == tiles[0].offset
    kept = [t.records[region.inside(t.xyz())] for t in tiles]
    expected_xyz = np.concatenate([t.xyz()[region.inside(t.xyz())] for t in tiles])
    xyz = record_xyz(written.records, written.record_length, written.scale, written.offset)
    assert len(xyz) == len(expected_xyz) > 0
    assert np.abs(xyz - expected_xyz).max() < 1e-6  # a unit off would be 0.01
    # Everything but the coordinates keeps its bytes.
    rest = np.frombuffer(written.records, dtype="V28").view(np.uint8).reshape(-1, 28)[:, 12:]
    assert rest.tobytes() == np.concatenate(kept).view(np.uint8).reshape(-1, 28)[:, 12:].tobytes()


def test_paths_may_be_path_like(tiles, index, tmp_path):
    output = tmp_path / "out.las"
    stats = extract(pathlib.Path(index), output, Cylinder(10150.003, 30100.007, 60.0021), verbose=True)
    assert read_las(output).records == expected_records(tiles, Disc(10150.003, 30100.007, 60.0021))
    assert stats.points_written > 0


def test_geometry_value_is_copied(tiles, index, tmp_path):
    box = BoundingBox(10050.005, 10149.995, 30020.005, 30150.005)
    extract(index, str(tmp_path / "out.las"), box)
    assert repr(box) == "BoundingBox(min_x=10050.005, max_x=10149.995, min_y=30020.005, max_y=30150.005)"


def replace_path(tile, path):
    return dataset.Tile(path=path, bounds=tile.bounds, offset=tile.offset, records=tile.records)


@pytest.fixture
def broken_tiles(tiles, tmp_path):
    """The dataset with its second tile's file missing and its third not a LAS file."""
    not_las = tmp_path / "not_las.las"
    not_las.write_bytes(b"this is not a point cloud")
    return [tiles[0], replace_path(tiles[1], tmp_path / "missing.las"), replace_path(tiles[2], not_las)] + tiles[3:]


@pytest.mark.parametrize(
    "make_index, geometry, message",
    [
        (lambda d: str(d / "no" / "such" / "dir.gpkg"), BoundingBox(0, 1, 0, 1),
         "Extraction failed: Failed to open GeoPackage: unable to open database file: {path}"),
        (lambda d: str(d / "index\0.gpkg"), BoundingBox(0, 1, 0, 1),
         f"Extraction failed: Failed to open GeoPackage: nul byte found in provided data at position: "),
        (lambda d: str(d / "mistyped.gpkg"), BoundingBox(0, 1, 0, 1),
         "Extraction failed: Failed to open GeoPackage: unable to open database file: {path}"),
        (None, BoundingBox(0, 1, 0, 1), "Extraction failed: No tiles found intersecting the extraction geometry"),
        (None, Cylinder(0, 0, 100), "Extraction failed: No tiles found intersecting the extraction geometry"),
    ],
)
def test_failed_extraction_raises_value_error_with_the_cores_text(index, tmp_path, make_index, geometry, message):
    path = make_index(tmp_path) if make_index else index
    message = message.format(path=path)
    if "\0" in path:
        message += str(path.index("\0"))
    output = tmp_path / "out.las"
    output.write_bytes(b"previous result")
    with pytest.raises(ValueError) as caught:
        extract(path, str(output), geometry)
    assert type(caught.value) is ValueError
    if message.endswith(": "):
        assert str(caught.value).startswith(message) and len(str(caught.value)) > len(message)
    else:
        assert str(caught.value) == message
    assert output.read_bytes() == b"previous result"
    assert [p.name for p in tmp_path.iterdir()] == ["out.las"]


def test_unwritable_output_is_an_output_error(index, tmp_path):
    output = tmp_path / "missing_dir" / "out.las"
    with pytest.raises(ValueError, match="^Extraction failed: Output file error: .+"):
        extract(index, str(output), BoundingBox(10050.005, 10149.995, 30020.005, 30150.005))
    assert not output.parent.exists()


def test_unreadable_tiles_are_skipped_with_warnings(tiles, broken_tiles, tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    dataset.write_index(tmp_path / "index.gpkg", broken_tiles)
    region = Box(10000.005, 10300.005, 30000.005, 30200.005)
    output = tmp_path / "out.las"
    stats = extract(str(tmp_path / "index.gpkg"), str(output), BoundingBox(10000.005, 10300.005, 30000.005, 30200.005))
    assert read_las(output).records == expected_records([tiles[0]] + tiles[3:], region)
    assert (stats.tiles_processed, stats.points_read) == (6, 4000)
    warnings = [r for r in caplog.records if r.name == LOGGER]
    assert sorted(r.getMessage().split(": LAS/LAZ file error: ")[0] for r in warnings) == [
        f'Failed to open "{broken_tiles[1].path}"', f'Failed to open "{broken_tiles[2].path}"']
    for record in warnings:
        assert record.levelno == logging.WARNING
        assert record.thread == threading.get_ident()  # emitted on the calling thread
        assert "pipeline/executor" in record.pathname and record.lineno > 0


def test_unreadable_first_tile_fails_without_output(broken_tiles, tmp_path):
    dataset.write_index(tmp_path / "index.gpkg", broken_tiles[1:])
    output = tmp_path / "out.las"
    with pytest.raises(ValueError, match="^Extraction failed: LAS/LAZ file error: .+"):
        extract(str(tmp_path / "index.gpkg"), str(output), BoundingBox(10000.005, 10300.005, 30000.005, 30200.005))
    assert not output.exists()


def test_no_point_inside_writes_nothing_and_warns(index, tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    output = tmp_path / "out.las"
    output.write_bytes(b"previous result")
    # Between the points' 0.01 grid lines: tiles are met, no point is inside.
    stats = extract(index, str(output), BoundingBox(10000.001, 10000.009, 30000.001, 30000.009))
    assert (stats.tiles_processed, stats.points_read, stats.points_written) == (1, 1000, 0)
    assert output.read_bytes() == b"previous result"
    assert [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER] == [
        (logging.WARNING, "No points to write!")]


def test_verbose_progress_reaches_python_logging(tiles, index, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    region = Box(10050.005, 10149.995, 30020.005, 30150.005)
    output = tmp_path / "out.las"
    stats = extract(index, str(output), BoundingBox(10050.005, 10149.995, 30020.005, 30150.005), verbose=True)
    records = [r for r in caplog.records if r.name == LOGGER]
    assert all(r.levelno == logging.INFO and r.thread == threading.get_ident() for r in records)
    messages = [r.getMessage() for r in records]
    selected = [t for t in tiles if region.meets(t.bounds)]
    assert messages[:2] == [f'Opening tile index: "{index}"', f"Found {len(selected)} intersecting tiles"]
    assert messages[-2:] == [f"Total: read {stats.points_read} points, writing {stats.points_written} points",
                             f'Wrote output to: "{output}"']
    per_tile = sorted(messages[2:-2])
    assert per_tile == sorted(
        [f'Processing tile: "{t.path}"' for t in selected]
        + [f'Tile "{t.path}": {len(t.records)} -> {region.inside(t.xyz()).sum()} points' for t in selected])


@pytest.mark.parametrize(
    "level, verbose, expected_levels",
    [
        (logging.DEBUG, False, [logging.WARNING]),
        (logging.INFO, False, [logging.WARNING]),
        (logging.WARNING, True, [logging.WARNING]),
        (logging.INFO, True, [logging.INFO] * 5 + [logging.WARNING]),
        (logging.ERROR, True, []),
    ],
)
def test_records_follow_the_logger_level_and_verbose(index, tmp_path, caplog, level, verbose, expected_levels):
    caplog.set_level(level, logger=LOGGER)
    extract(index, str(tmp_path / "out.las"), BoundingBox(10000.001, 10000.009, 30000.001, 30000.009), verbose)
    assert [r.levelno for r in caplog.records if r.name == LOGGER] == expected_levels


def test_a_failing_log_filter_does_not_fail_the_extraction(index, tmp_path, monkeypatch):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)

    def refuse(record):
        raise RuntimeError("filter failed")

    logger = logging.getLogger(LOGGER)
    logger.addFilter(refuse)
    try:
        stats = extract(index, str(tmp_path / "out.las"), BoundingBox(10000.001, 10000.009, 30000.001, 30000.009))
    finally:
        logger.removeFilter(refuse)
    assert stats.points_read == 1000
    assert [type(u.exc_value) for u in unraisable] == [RuntimeError]


def test_module_stays_usable_after_failures(index, tmp_path):
    for _ in range(3):
        with pytest.raises(ValueError):
            extract(index, str(tmp_path / "out.las"), BoundingBox(0, 1, 0, 1))
    assert extract(index, str(tmp_path / "out.las"), BoundingBox(10050.005, 10149.995, 30020.005, 30150.005)).points_written > 0
    assert karvik.BoundingBox(0, 1, 0, 1).contains(0.5, 0.5)


def test_index_written_by_gdal(tiles, tmp_path):
    from osgeo import ogr

    ogr.UseExceptions()
    path = str(tmp_path / "gdal.gpkg")
    source = ogr.GetDriverByName("GPKG").CreateDataSource(path)
    layer = source.CreateLayer("footprints", geom_type=ogr.wkbPolygon)
    layer.CreateField(ogr.FieldDefn("location", ogr.OFTString))
    for tile in tiles:
        min_x, min_y, max_x, max_y = tile.bounds
        feature = ogr.Feature(layer.GetLayerDefn())
        feature.SetField("location", str(tile.path))
        feature.SetGeometry(ogr.CreateGeometryFromWkt(
            f"POLYGON(({min_x} {min_y},{max_x} {min_y},{max_x} {max_y},{min_x} {max_y},{min_x} {min_y}))"))
        layer.CreateFeature(feature)
    source = None  # closes the file

    region = Disc(10150.003, 30100.007, 60.0021)
    output = tmp_path / "out.las"
    stats = extract(path, output, Cylinder(10150.003, 30100.007, 60.0021))
    assert read_las(output).records == expected_records(tiles, region)
    assert stats.tiles_processed == sum(region.meets(t.bounds) for t in tiles)


@pytest.mark.parametrize("name", ["lasR__Megaplot.las", "laspy__vegetation_1_3.las", "laz-perf__rand1_6.las"])
def test_real_file_as_the_only_tile(tmp_path, name):
    source = read_las(SAMPLES / name)
    xyz = record_xyz(source.records, source.record_length, source.scale, source.offset)
    lows, highs = xyz.min(axis=0), xyz.max(axis=0)

    def between_grid_lines(value, axis):
        steps = math.floor((value - source.offset[axis]) / source.scale[axis])
        return source.offset[axis] + (steps + 0.5) * source.scale[axis]

    # The middle half in x and y.
    region = Box(*[between_grid_lines(lows[a] + (highs[a] - lows[a]) * f, a) for a in (0, 1) for f in (0.25, 0.75)])
    tile = dataset.Tile(path=SAMPLES / name, bounds=(lows[0], lows[1], highs[0], highs[1]), offset=None, records=None)
    dataset.write_index(tmp_path / "index.gpkg", [tile])
    output = tmp_path / "out.las"
    stats = extract(tmp_path / "index.gpkg", output,
                    BoundingBox(region.min_x, region.max_x, region.min_y, region.max_y))

    records = np.frombuffer(source.records, dtype=f"V{source.record_length}")
    expected = records[region.inside(xyz)].tobytes()
    written = read_las(output)
    assert (written.version, written.point_format, written.record_length) == (
        source.version, source.point_format, source.record_length)
    assert written.records == expected
    assert (stats.tiles_processed, stats.points_read, stats.points_written) == (
        1, source.count, len(expected) // source.record_length)
    assert 0 < stats.points_written < source.count
