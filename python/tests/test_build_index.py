"""build_index(): the GeoPackage as GDAL sees it, extractions through it,
updates, the arguments, the log records and the failures."""

import dataclasses
import logging
import pathlib
import shutil
import sqlite3

import numpy as np
import pytest

import dataset
import karvik
from karvik import Cylinder, IndexReport, build_index, extract

SAMPLES = pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "las-samples"
# One point each, all in NAD83 / UTM zone 15N (WKT and GeoTIFF keys).
PERMUTATIONS = sorted(SAMPLES.glob("pdal__permutations_*.las"))
BROKEN = ["laszip__broken_coder.laz", "laszip__broken_compressor.laz", "laszip__broken_type.laz",
          "laszip__broken_version.laz", "pdal__1.2-with-color-clipped.las", "pdal__garbage_nVariableLength.las"]


def rows(path, sql):
    with sqlite3.connect(path) as db:
        return db.execute(sql).fetchall()


@pytest.fixture
def tile_folder(tiles, tmp_path):
    """The dataset's tiles copied into a folder of their own."""
    folder = tmp_path / "tiles"
    folder.mkdir()
    for tile in tiles:
        shutil.copy(tile.path, folder / tile.path.name)
    return folder


def test_gdal_opens_the_index_and_uses_its_spatial_index(tmp_path, caplog):
    from osgeo import ogr

    ogr.UseExceptions()
    index = tmp_path / "index.gpkg"
    with caplog.at_level(logging.WARNING, logger="karvik"):
        report = build_index(index, PERMUTATIONS + [SAMPLES / name for name in BROKEN])
    assert (report.tiles_indexed, report.tiles_skipped) == (len(PERMUTATIONS), len(BROKEN))
    skipped = {r.getMessage().split(": ")[0] for r in caplog.records if r.name == "karvik" and r.levelno == logging.WARNING}
    assert skipped == {f"Skipped {SAMPLES / name}" for name in BROKEN}

    source = ogr.Open(str(index))
    assert source.GetDriver().GetName() == "GPKG"
    assert [source.GetLayer(i).GetName() for i in range(source.GetLayerCount())] == ["tiles", "tiles_chunks"]
    # The chunk bounds: a plain table, one row per chunk (each of these tiles is one).
    chunks = source.GetLayerByName("tiles_chunks")
    assert chunks.GetGeomType() == ogr.wkbNone
    assert chunks.GetFIDColumn() == "fid"
    fields = chunks.GetLayerDefn()
    assert [fields.GetFieldDefn(i).GetName() for i in range(fields.GetFieldCount())] == [
        "tile_fid", "chunk", "first_point", "point_count", "min_x", "max_x", "min_y", "max_y", "min_z", "max_z",
        "file_size", "file_modified_ns"]
    assert chunks.GetFeatureCount() == len(PERMUTATIONS)
    assert {(c.GetField("chunk"), c.GetField("first_point"), c.GetField("point_count")) for c in chunks} == {(0, 0, 1)}
    layer = source.GetLayerByName("tiles")
    assert layer.GetFeatureCount() == len(PERMUTATIONS)
    assert layer.GetGeomType() == ogr.wkbPolygon
    assert layer.GetSpatialRef().GetAuthorityCode(None) == "26915"
    definition = layer.GetLayerDefn()
    assert [definition.GetFieldDefn(i).GetName() for i in range(definition.GetFieldCount())] == [
        "location", "point_count", "point_format", "las_version", "min_z", "max_z", "file_size", "modified"]
    assert definition.GetFieldDefn(7).GetType() == ogr.OFTDateTime
    features = {f.GetField("location"): f for f in layer}
    assert set(features) == {str(p) for p in PERMUTATIONS}
    one = features[str(SAMPLES / "pdal__permutations_1.2_3.las")]
    assert (one.GetField("point_count"), one.GetField("point_format"), one.GetField("las_version")) == (1, 3, "1.2")
    assert one.GetField("file_size") == (SAMPLES / "pdal__permutations_1.2_3.las").stat().st_size
    assert one.GetGeometryRef().GetEnvelope() == pytest.approx((470692.44, 470692.44, 4602888.9, 4602888.9))
    assert layer.GetExtent() == pytest.approx((470692.44, 470692.44, 4602888.9, 4602888.9))

    has_index = source.ExecuteSQL("SELECT HasSpatialIndex('tiles', 'geom')", dialect="SQLite")
    assert has_index.GetNextFeature().GetField(0) == 1
    source.ReleaseResultSet(has_index)
    layer.SetSpatialFilterRect(470000, 4602000, 471000, 4603000)
    assert layer.GetFeatureCount() == len(PERMUTATIONS)
    layer.SetSpatialFilterRect(0, 0, 1, 1)
    assert layer.GetFeatureCount() == 0
    source = None

    # GDAL edits it as one of its own: its triggers keep the R-tree in step.
    source = ogr.Open(str(index), update=1)
    layer = source.GetLayerByName("tiles")
    layer.DeleteFeature(1)
    source = None
    assert rows(index, "SELECT count(*) FROM rtree_tiles_geom") == [(len(PERMUTATIONS) - 1,)]


def test_gdal_validator_finds_only_what_geopackage_1_4_changed(tile_folder, tmp_path):
    """GDAL's conformance checker, every failed requirement collected. Before
    GDAL 3.7 it knows the R-tree triggers of GeoPackage 1.3 only, whose
    update1 and update3 version 1.4 replaced by update5 to update7."""
    validator = pytest.importorskip("osgeo_utils.samples.validate_gpkg")
    index = tmp_path / "index.gpkg"
    build_index(index, PERMUTATIONS)
    checker = validator.GPKGChecker(str(index), abort_at_first_error=False, extra_checks=True, warning_msg=False)
    checker.check()
    assert {message for _, message in checker.errors} <= {
        "rtree_tiles_geom_update1 trigger missing", "rtree_tiles_geom_update3 trigger missing"}
    assert checker.warnings == []


def test_chunks_false_writes_headers_only_and_an_update_drops_them(tile_folder, tmp_path):
    index = tmp_path / "index.gpkg"
    build_index(index, tile_folder, chunks=False)
    assert rows(index, "SELECT table_name FROM gpkg_contents") == [("tiles",)]
    build_index(index, tile_folder, update=True)
    assert rows(index, "SELECT count(DISTINCT tile_fid) FROM tiles_chunks") == [(6,)]
    build_index(index, tile_folder, update=True, chunks=False)
    assert rows(index, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'tiles_chunks%'") == [(0,)]


def test_extracts_what_a_hand_made_index_extracts(tiles, tile_folder, tmp_path):
    built = tmp_path / "built.gpkg"
    assert build_index(built, tile_folder).tiles_indexed == len(tiles)
    # The same tiles, listed in the builder's order (by path).
    copies = sorted((dataclasses.replace(t, path=tile_folder / t.path.name) for t in tiles), key=lambda t: str(t.path))
    dataset.write_index(tmp_path / "hand.gpkg", copies)
    geometry = Cylinder(10150.003, 30100.007, 80.0021)
    by_hand = extract(tmp_path / "hand.gpkg", tmp_path / "by_hand.las", geometry)
    through_built = extract(built, tmp_path / "built.las", geometry)
    assert through_built.points_written == by_hand.points_written > 0
    assert (tmp_path / "built.las").read_bytes() == (tmp_path / "by_hand.las").read_bytes()


def test_update_adds_rereads_and_removes_tiles_keeping_fids(tile_folder, tmp_path):
    index = tmp_path / "index.gpkg"
    assert build_index(index, tile_folder).tiles_indexed == 6
    before = dict(rows(index, "SELECT location, fid FROM tiles"))

    gone, changed = tile_folder / "tile_0_0.las", tile_folder / "tile_1_0.las"
    gone.unlink()
    records = dataset.random_records(np.random.default_rng(5), 50, (0.0, 0.0), 10.0, 5.0)
    dataset.write_las(changed, records, (20000.0, 40000.0, 0.0))
    added = tile_folder / "more" / "extra.LAS"
    added.parent.mkdir()
    shutil.copy(tile_folder / "tile_2_1.las", added)

    report = build_index(index, [tile_folder], update=True)
    assert (report.tiles_indexed, report.tiles_skipped) == (6, 0)
    after = dict(rows(index, "SELECT location, fid FROM tiles"))
    assert str(gone) not in after
    assert after[str(added)] == max(before.values()) + 1
    assert {k: v for k, v in after.items() if k != str(added)} == {k: v for k, v in before.items() if k != str(gone)}
    assert rows(index, f"SELECT point_count FROM tiles WHERE location = '{changed}'") == [(50,)]
    assert rows(index, "SELECT min(minx) >= 10000, max(maxx) >= 20000 FROM rtree_tiles_geom") == [(1, 1)]


@pytest.mark.parametrize("as_paths", [
    lambda folder: str(folder),
    lambda folder: folder,
    lambda folder: [str(p) for p in sorted(folder.iterdir())],
    lambda folder: (p for p in sorted(folder.iterdir())),
], ids=["str", "PathLike", "list", "generator"])
def test_paths_are_a_path_or_an_iterable_of_paths(tile_folder, tmp_path, as_paths):
    report = build_index(str(tmp_path / "index.gpkg"), as_paths(tile_folder), layer="footprints")
    assert report.tiles_indexed == 6
    assert rows(tmp_path / "index.gpkg", "SELECT table_name FROM gpkg_contents ORDER BY 1") == [
        ("footprints",), ("footprints_chunks",)]


@pytest.mark.parametrize("arguments, message", [
    ((b"index.gpkg", "x"), "argument 'index_path': must be str or os.PathLike, not bytes"),
    (("index.gpkg", 5), "argument 'paths': must be str, os.PathLike or an iterable of them, not int"),
    (("index.gpkg", b"tiles"), "argument 'paths': must be str, os.PathLike or an iterable of them, not bytes"),
    (("index.gpkg", ["a.las", 5]), "argument 'paths': must be str or os.PathLike, not int"),
    (("index.gpkg", "x", 5), "argument 'layer': must be str, not int"),
    (("index.gpkg", "x", "tiles", 1), "argument 'update': must be bool, not int"),
])
def test_bad_arguments_raise_type_error(tmp_path, monkeypatch, arguments, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as raised:
        build_index(*arguments)
    assert str(raised.value) == message
    assert list(tmp_path.iterdir()) == []


def test_failures_raise_value_error_and_write_nothing(tile_folder, tmp_path):
    bad = tmp_path / "bad.las"
    bad.write_bytes(b"LASF but nothing else")
    index = tmp_path / "index.gpkg"
    with pytest.raises(ValueError) as raised:
        build_index(index, [bad])
    assert str(raised.value) == (
        f"Indexing failed: Output file error: none of the 1 LAS/LAZ files could be read; nothing written: {index}")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.las", "tiles"]

    # An index that is not ours is refused by an update, unchanged.
    foreign = tmp_path / "foreign.gpkg"
    with sqlite3.connect(foreign) as db:
        db.executescript("CREATE TABLE gpkg_contents (table_name TEXT, data_type TEXT);"
                         "INSERT INTO gpkg_contents VALUES ('tiles', 'features');"
                         "CREATE TABLE tiles (fid INTEGER PRIMARY KEY, filename TEXT, geom BLOB);")
    content = foreign.read_bytes()
    with pytest.raises(ValueError, match="^Indexing failed: Output file error: not a karvik tile index: the table "
                                         "'tiles' has no location column; the index is unchanged: "):
        build_index(foreign, tile_folder, update=True)
    assert foreign.read_bytes() == content


def test_index_report_is_a_read_only_result(tile_folder, tmp_path):
    report = build_index(tmp_path / "index.gpkg", tile_folder)
    assert type(report) is IndexReport and IndexReport.__module__ == "karvik"
    assert repr(report) == "IndexReport(tiles_indexed=6, tiles_skipped=0)"
    assert IndexReport.tiles_indexed.__doc__ == "Number of tiles the index lists."
    with pytest.raises(AttributeError):
        report.tiles_indexed = 1
    with pytest.raises(AttributeError):
        report.anything = 1
    with pytest.raises(TypeError):
        IndexReport()
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (IndexReport,), {})
    assert karvik.build_index.__doc__.startswith("Build a GeoPackage tile index of LAS/LAZ files")
