"""The karvik command line: its subcommands' output, errors and exit statuses,
the progress line on a terminal only, and Ctrl-C."""

import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import time

import pytest

from pathlib import Path

import dataset
import karvik

SAMPLES = Path(__file__).resolve().parents[3] / "shared" / "data" / "las-samples"

STATS_LINE = re.compile(r"^Extracted (\d+) points from (\d+) tiles in \d+\.\d\d seconds\n$")


def run(cli, *args, **kwargs):
    return subprocess.run([cli, *map(str, args)], capture_output=True, text=True, timeout=120, **kwargs)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """Six tiles of 1000 points and their index."""
    directory = tmp_path_factory.mktemp("small")
    tiles = dataset.write_dataset(directory)
    return directory / "index.gpkg", tiles


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """Twelve tiles of 400,000 points: an extraction into LAZ takes a few seconds."""
    directory = tmp_path_factory.mktemp("large")
    dataset.write_dataset(directory, columns=4, rows=3, points_per_tile=400_000)
    return directory / "index.gpkg"


GEOMETRIES = [
    (["--box", 10050, 10250, 30020, 30180], karvik.BoundingBox(10050, 10250, 30020, 30180)),
    (["--box", 10050, 10250, 30020, 30180, 10, 30], karvik.BoundingBox(10050, 10250, 30020, 30180, 10, 30)),
    (["--cylinder", 10150, 30100, 60], karvik.Cylinder(10150, 30100, 60)),
    (["--frustum", 10000, 30000, 0, 20, -60, 70, 60, 0, 400],
     karvik.Frustum(10000, 30000, 0, 20, -60, 70, 60, 0, 400)),
]


@pytest.mark.parametrize("option, geometry", GEOMETRIES, ids=lambda v: str(v[0]) if isinstance(v, list) else "")
@pytest.mark.parametrize("extension", [".las", ".laz"])
def test_extract_writes_what_the_module_writes(cli, small, tmp_path, option, geometry, extension):
    index, _ = small
    result = run(cli, "extract", index, tmp_path / f"cli{extension}", *option)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    match = STATS_LINE.match(result.stdout)
    assert match, result.stdout
    stats = karvik.extract(str(index), str(tmp_path / f"module{extension}"), geometry)
    assert (int(match[1]), int(match[2])) == (stats.points_written, stats.tiles_processed)
    assert stats.points_written > 0
    assert (tmp_path / f"cli{extension}").read_bytes() == (tmp_path / f"module{extension}").read_bytes()


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "give a command"),
        (["frobnicate"], "unknown command frobnicate"),
        (["extract", "i.gpkg", "o.las"], "give one geometry: --box, --cylinder or --frustum"),
        (["extract", "i.gpkg", "o.las", "--box", 0, 1, 0, 1, "--cylinder", 0, 0, 1],
         "give one geometry: --box, --cylinder or --frustum"),
        (["extract", "i.gpkg", "o.las", "--box", 0, 1, 0, 1, 2], "--box takes 4 or 6 numbers, got 5"),
        (["extract", "i.gpkg", "o.las", "--box", 0, 1, "x", 1], "--box takes 4 or 6 numbers, got 2"),
        (["extract", "i.gpkg", "o.las", "--box", 1, 0, 0, 1], "min_x must be less than max_x"),
        (["extract", "i.gpkg", "o.las", "--cylinder", 0, 0, -1], "radius must be positive"),
        (["extract", "i.gpkg", "o.las", "--frustum", 0, 0, 0, 0, 0, 10, 10, 5, 1],
         "max_distance must be >= min_distance"),
        (["extract", "i.gpkg", "--box", 0, 1, 0, 1], "give the index and the output path"),
        (["extract", "i.gpkg", "o.las", "--box", 0, 1, 0, 1, "--loud"], "unknown option --loud"),
        (["extract", "i.gpkg", "o.las", "--box", 0, 1, 0, 1, "--verbose", "--quiet"],
         "--verbose and --quiet exclude each other"),
        (["info"], "give at least one LAS or LAZ file"),
        (["index", "i.gpkg"], "give the index and at least one file or folder"),
        (["index", "i.gpkg", "d", "--layer"], "--layer needs a value"),
        (["index", "i.gpkg", "d", "--chunks", "--no-chunks"], "give --chunks or --no-chunks, not both"),
    ],
)
def test_usage_errors_print_the_usage_and_exit_2(cli, tmp_path, args, message):
    result = run(cli, *args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    first, rest = result.stderr.split("\n", 1)
    assert first == f"karvik: {message}"
    assert rest.startswith("usage: karvik")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args, usage", [(["--help"], "usage: karvik COMMAND"),
                                         (["extract", "--help"], "usage: karvik extract"),
                                         (["info", "-h"], "usage: karvik info"),
                                         (["index", "x", "--help"], "usage: karvik index")])
def test_help(cli, args, usage):
    result = run(cli, *args)
    assert result.returncode == 0
    assert result.stdout.startswith(usage)


def test_failed_extraction_exits_1_and_keeps_the_old_output(cli, tmp_path):
    output = tmp_path / "out.las"
    output.write_bytes(b"previous result")
    result = run(cli, "extract", tmp_path / "missing.gpkg", output, "--box", 0, 1, 0, 1)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == (f"karvik: Extraction failed: Failed to open GeoPackage: unable to open database file: "
                             f"{tmp_path / 'missing.gpkg'}\n")
    assert output.read_bytes() == b"previous result"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.las"]


def test_log_levels(cli, small, tmp_path):
    index, tiles = small
    broken = tmp_path / "index.gpkg"
    missing = dataset.Tile(tmp_path / "missing.las", tiles[1].bounds, tiles[1].offset, tiles[1].records)
    dataset.write_index(broken, [tiles[0], missing] + tiles[2:])
    box = ["--box", 10000, 10300, 30000, 30200]
    default = run(cli, "extract", broken, tmp_path / "a.las", *box)
    assert default.returncode == 0
    assert re.fullmatch(r"karvik: warning: Failed to open \".*missing.las\": .*\n", default.stderr), default.stderr
    verbose = run(cli, "extract", broken, tmp_path / "b.las", *box, "--verbose")
    assert "karvik: info: Processing tile: " in verbose.stderr
    assert "karvik: warning: Failed to open" in verbose.stderr
    quiet = run(cli, "extract", broken, tmp_path / "c.las", *box, "--quiet")
    assert quiet.stderr == ""
    assert STATS_LINE.match(quiet.stdout)

    nothing = run(cli, "extract", index, tmp_path / "none.las", "--box", 10000, 10300, 30000, 30200, 1000, 2000)
    assert nothing.returncode == 0
    assert nothing.stderr == "karvik: warning: No points to write!\n"
    assert nothing.stdout.startswith("Extracted 0 points from 6 tiles")
    assert not (tmp_path / "none.las").exists()


def run_on_terminal(cli, *args):
    """Runs the program with a pseudo-terminal as stderr; returns its status and what the terminal got."""
    leader, follower = pty.openpty()
    process = subprocess.Popen([cli, *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=follower)
    os.close(follower)
    screen = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 60)
        if not ready:
            break
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the program closed the terminal
            break
        if not chunk:
            break
        screen += chunk
    os.close(leader)
    process.wait(timeout=60)
    return process.returncode, process.stdout.read().decode(), screen.decode()


def test_progress_line_only_on_a_terminal(cli, large, tmp_path):
    box = ["--box", 10000, 10400, 30000, 30300]
    status, stdout, screen = run_on_terminal(cli, "extract", large, tmp_path / "a.laz", *box)
    assert status == 0
    assert STATS_LINE.match(stdout)
    assert re.search(r"\d+/12 tiles, [\d,]+ points read", screen), screen
    assert screen.endswith("\r\x1b[K")  # erased at the end
    assert "\x1b" not in stdout

    piped = run(cli, "extract", large, tmp_path / "b.laz", *box)
    assert piped.returncode == 0
    assert piped.stderr == ""
    quiet_status, _, quiet_screen = run_on_terminal(cli, "extract", large, tmp_path / "c.laz", *box, "--quiet")
    assert quiet_status == 0
    assert quiet_screen == ""


def test_ctrl_c_stops_at_once_and_writes_nothing(cli, large, tmp_path):
    output = tmp_path / "out.laz"
    output.write_bytes(b"previous result")
    args = ["extract", large, output, "--box", 10000, 10400, 30000, 30300]
    process = subprocess.Popen([cli, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)
    assert process.poll() is None, "the extraction ended before it could be interrupted"
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    waited = time.monotonic() - sent
    assert process.returncode == 130
    assert stdout == ""
    assert stderr == "karvik: interrupted; nothing was written\n"
    assert waited < 2.0, waited  # a fraction of a second, with room for a loaded machine
    assert output.read_bytes() == b"previous result"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.laz"]


def header_fields(path):
    """Version, point format, record length and point count, read from the header bytes."""
    data = path.read_bytes()[:375]
    major, minor = data[24], data[25]
    point_format = data[104] & 0x3F
    record_length = struct.unpack_from("<H", data, 105)[0]
    count = struct.unpack_from("<I", data, 107)[0]
    if (major, minor) >= (1, 4) and len(data) >= 255:
        count = struct.unpack_from("<Q", data, 247)[0]
    return f"{major}.{minor}", point_format, record_length, count


def test_info_json_describes_every_readable_sample(cli):
    samples = sorted(p for p in SAMPLES.iterdir() if p.suffix.lower() in (".las", ".laz"))
    result = run(cli, "info", "--json", *samples)
    described = {json.loads(line)["path"]: json.loads(line) for line in result.stdout.splitlines()}
    failed = {line.split(": ", 2)[1] for line in result.stderr.splitlines()}
    assert result.returncode == (1 if failed else 0)
    assert set(described) | failed == {str(p) for p in samples}
    assert not set(described) & failed
    assert all(re.search(r"(broken|garbage|truncat|corrupt)", name) for name in failed), failed
    for path in samples:
        info = described.get(str(path))
        if info is None:
            continue
        assert (info["las_version"], info["point_format"], info["record_length"], info["point_count"]) == \
            header_fields(path), path
        assert (info["laz"] is not None) == bool(path.read_bytes()[104] & 0xC0), path
        assert len(info["points_by_return"]) == (15 if info["las_version"] == "1.4" else 5)


def test_info_text_of_a_laz_file(cli):
    result = run(cli, "info", SAMPLES / "laz-rs__point-time-color.laz")
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[0] == str(SAMPLES / "laz-rs__point-time-color.laz")
    assert "  points              1065" in lines
    assert "  points by return    925 114 21 5 0" in lines
    assert "  compression         LAZ pointwise chunked, chunks of 50000, 1 chunk" in lines
    assert "  LAZ items           POINT10 v2 (20 bytes), GPSTIME11 v2 (8 bytes), RGB12 v2 (6 bytes)" in lines
    assert lines[-3:] == ["  VLRs                1", "    laszip encoded/22204, 52 bytes: http://laszip.org",
                          "  EVLRs               0"]


def test_info_of_an_unreadable_file_exits_1(cli, tmp_path):
    bad = tmp_path / "bad.las"
    bad.write_bytes(b"not a point cloud")
    result = run(cli, "info", bad, SAMPLES / "laz-rs__point10.las")
    assert result.returncode == 1
    assert result.stderr.startswith(f"karvik: {bad}: LAS/LAZ file error: ")
    assert result.stdout.startswith(str(SAMPLES / "laz-rs__point10.las"))


def test_index_builds_what_extract_reads(cli, small, tmp_path):
    _, tiles = small
    # The builder lists the tiles in the order of their paths.
    hand_made = tmp_path / "hand.gpkg"
    dataset.write_index(hand_made, sorted(tiles, key=lambda t: str(t.path)))
    index = tmp_path / "built.gpkg"
    result = run(cli, "index", index, tiles[0].path.parent, "--layer", "footprints")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"Indexed 6 tiles into {index} (6 read, 0 removed)\n"
    # The demo's tiles carry no coordinate system.
    assert result.stderr.startswith("karvik: warning: No tile has a coordinate system (e.g. ")
    assert result.stderr.count("\n") == 1
    import sqlite3
    with sqlite3.connect(index) as db:
        assert db.execute("SELECT table_name FROM gpkg_contents WHERE data_type = 'features'").fetchall() == \
            [("footprints",)]
    box = ["--box", 10050, 10250, 30020, 30180]
    assert run(cli, "extract", index, tmp_path / "built.las", *box).returncode == 0
    assert run(cli, "extract", hand_made, tmp_path / "hand.las", *box).returncode == 0
    assert (tmp_path / "built.las").read_bytes() == (tmp_path / "hand.las").read_bytes()


def test_index_names_what_it_leaves_out_and_updates(cli, tmp_path):
    folder = tmp_path / "tiles"
    tiles = dataset.write_dataset(folder, columns=2, rows=1)
    (folder / "broken.LAS").write_bytes(b"LASF" + bytes(100))
    index = tmp_path / "index.gpkg"
    first = run(cli, "index", index, folder)
    assert first.returncode == 1
    skipped = [line for line in first.stderr.splitlines() if "Skipped" in line]
    assert len(skipped) == 1
    assert re.fullmatch(rf"karvik: warning: Skipped {re.escape(str(folder / 'broken.LAS'))}: .+", skipped[0])
    assert first.stdout == f"Indexed 2 tiles into {index} (2 read, 0 removed); 1 files left out\n"

    (folder / "broken.LAS").unlink()
    tiles[0].path.unlink()
    dataset.write_las(folder / "new.las", tiles[1].records, tiles[1].offset)
    updated = run(cli, "index", index, folder, "--update")
    assert updated.returncode == 0, updated.stderr
    assert updated.stdout == f"Indexed 2 tiles into {index} (1 read, 1 removed)\n"

    # Chunk bounds by default; --no-chunks drops them on update, --chunks brings them back for every tile.
    import sqlite3
    chunk_tables = "SELECT count(*) FROM sqlite_master WHERE name = 'tiles_chunks'"
    with sqlite3.connect(index) as db:
        assert db.execute(chunk_tables).fetchone() == (1,)
    assert run(cli, "index", index, folder, "--update", "--no-chunks").returncode == 0
    with sqlite3.connect(index) as db:
        assert db.execute(chunk_tables).fetchone() == (0,)
    again = run(cli, "index", index, folder, "--update", "--chunks")
    assert again.stdout == f"Indexed 2 tiles into {index} (2 read, 0 removed)\n"
    with sqlite3.connect(index) as db:
        assert db.execute("SELECT count(DISTINCT tile_fid) FROM tiles_chunks").fetchone() == (2,)

    nothing = run(cli, "index", tmp_path / "empty.gpkg", tmp_path / "no-such-folder")
    assert nothing.returncode == 1
    assert nothing.stderr.splitlines()[-1].startswith("karvik: Indexing failed: ")
    assert not (tmp_path / "empty.gpkg").exists()
