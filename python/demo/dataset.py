"""A small tiled point cloud: LAS 1.2 tiles (point format 1) on a square grid,
and the GeoPackage index that lists them, one feature per tile."""

import dataclasses
import sqlite3
import struct
from pathlib import Path

import numpy as np

SCALE = 0.01

# LAS point data record format 1: format 0 plus the GPS time.
RECORD = np.dtype(
    [
        ("X", "<i4"),
        ("Y", "<i4"),
        ("Z", "<i4"),
        ("intensity", "<u2"),
        ("returns", "u1"),
        ("classification", "u1"),
        ("scan_angle_rank", "i1"),
        ("user_data", "u1"),
        ("point_source_id", "<u2"),
        ("gps_time", "<f8"),
    ]
)

# The LAS 1.2 public header block, 227 bytes, without VLRs.
HEADER = struct.Struct("<4sHHIHH8sBB32s32sHHHIIBHI5I3d3d6d")


@dataclasses.dataclass
class Tile:
    path: Path
    bounds: tuple  # min_x, min_y, max_x, max_y of the footprint
    offset: tuple  # x, y, z
    records: np.ndarray  # of RECORD

    def xyz(self):
        """The real-world coordinates of the records, one row per point."""
        ints = np.stack([self.records["X"], self.records["Y"], self.records["Z"]], axis=1)
        return ints * SCALE + np.asarray(self.offset)


def write_las(path, records, offset):
    """Writes records of RECORD as a LAS 1.2 file with scale 0.01 on every axis."""
    xyz = np.stack([records["X"], records["Y"], records["Z"]], axis=1) * SCALE + np.asarray(offset)
    lows = xyz.min(axis=0) if len(records) else np.zeros(3)
    highs = xyz.max(axis=0) if len(records) else np.zeros(3)
    by_return = np.bincount(records["returns"] & 7, minlength=6)[1:6]
    header = HEADER.pack(
        b"LASF", 0, 0, 0, 0, 0, bytes(8), 1, 2,
        b"karvik demo".ljust(32, b"\0"), b"karvik dataset generator".ljust(32, b"\0"),
        1, 2026, HEADER.size, HEADER.size, 0, 1, RECORD.itemsize, len(records), *by_return,
        SCALE, SCALE, SCALE, *offset,
        highs[0], lows[0], highs[1], lows[1], highs[2], lows[2],
    )
    with open(path, "wb") as out:
        out.write(header)
        out.write(records.astype(RECORD, copy=False).tobytes())


def random_records(rng, count, corner, size, height):
    """Points spread evenly over the size x size square at corner (relative to
    the offset), heights in [0, height)."""
    records = np.zeros(count, RECORD)
    for axis, start in zip("XY", corner):
        low = round(start / SCALE)
        records[axis] = rng.integers(low, low + round(size / SCALE), count)
    records["Z"] = rng.integers(0, round(height / SCALE), count)
    records["intensity"] = rng.integers(0, 65536, count)
    number_of_returns = rng.integers(1, 4, count)
    return_number = np.minimum(rng.integers(1, 4, count), number_of_returns)
    records["returns"] = return_number | (number_of_returns << 3)
    records["classification"] = rng.choice([1, 2, 6], count)
    records["scan_angle_rank"] = rng.integers(-20, 21, count)
    records["point_source_id"] = 7
    records["gps_time"] = np.sort(rng.uniform(1e8, 1e8 + 600, count))
    return records


def envelope_geometry(min_x, min_y, max_x, max_y, srs_id):
    """A GeoPackage geometry blob: header with an x/y envelope, then the
    footprint as a little-endian WKB polygon."""
    header = b"GP" + bytes([0, 0b011]) + struct.pack("<i4d", srs_id, min_x, max_x, min_y, max_y)
    ring = [(min_x, min_y), (max_x, min_y), (max_x, max_y), (min_x, max_y), (min_x, min_y)]
    wkb = struct.pack("<BIII", 1, 3, 1, len(ring)) + b"".join(struct.pack("<2d", *p) for p in ring)
    return header + wkb


def write_index(path, tiles, srs_id=-1):
    """Writes the GeoPackage index: table `tiles` with the tile paths in
    `location` and their footprints in `geom`, in the order given."""
    with sqlite3.connect(path) as db:
        db.executescript(
            """
            PRAGMA application_id = 0x47504B47;
            PRAGMA user_version = 10200;
            CREATE TABLE gpkg_spatial_ref_sys (
              srs_name TEXT NOT NULL, srs_id INTEGER PRIMARY KEY, organization TEXT NOT NULL,
              organization_coordsys_id INTEGER NOT NULL, definition TEXT NOT NULL, description TEXT);
            INSERT INTO gpkg_spatial_ref_sys VALUES
              ('Undefined cartesian SRS', -1, 'NONE', -1, 'undefined', NULL),
              ('Undefined geographic SRS', 0, 'NONE', 0, 'undefined', NULL);
            CREATE TABLE gpkg_contents (
              table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT NULL, identifier TEXT UNIQUE,
              description TEXT DEFAULT '', last_change DATETIME NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')),
              min_x DOUBLE, min_y DOUBLE, max_x DOUBLE, max_y DOUBLE, srs_id INTEGER);
            CREATE TABLE gpkg_geometry_columns (
              table_name TEXT NOT NULL, column_name TEXT NOT NULL, geometry_type_name TEXT NOT NULL,
              srs_id INTEGER NOT NULL, z TINYINT NOT NULL, m TINYINT NOT NULL,
              PRIMARY KEY (table_name, column_name));
            CREATE TABLE tiles (fid INTEGER PRIMARY KEY AUTOINCREMENT, geom POLYGON, location TEXT NOT NULL);
            """
        )
        bounds = np.array([t.bounds for t in tiles]) if tiles else np.zeros((1, 4))
        db.execute(
            "INSERT INTO gpkg_contents (table_name, data_type, identifier, min_x, min_y, max_x, max_y, srs_id)"
            " VALUES ('tiles', 'features', 'tiles', ?, ?, ?, ?, ?)",
            (bounds[:, 0].min(), bounds[:, 1].min(), bounds[:, 2].max(), bounds[:, 3].max(), srs_id),
        )
        db.execute("INSERT INTO gpkg_geometry_columns VALUES ('tiles', 'geom', 'POLYGON', ?, 0, 0)", (srs_id,))
        db.executemany(
            "INSERT INTO tiles (geom, location) VALUES (?, ?)",
            [(envelope_geometry(*t.bounds, srs_id), str(t.path)) for t in tiles],
        )


def write_dataset(directory, columns=3, rows=2, tile_size=100.0, points_per_tile=1000,
                  origin=(10000.0, 30000.0), height=50.0, seed=1, offset_per_tile=False):
    """Writes columns x rows tiles of tile_size units from origin, row by row,
    and their index `index.gpkg`, into directory. Returns the tiles in index order.

    The tiles share the offset `origin`, so that their records keep their bytes
    in an output; with offset_per_tile each has its own corner as offset."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    tiles = []
    for row in range(rows):
        for column in range(columns):
            min_x = origin[0] + column * tile_size
            min_y = origin[1] + row * tile_size
            offset = (min_x, min_y, 0.0) if offset_per_tile else (origin[0], origin[1], 0.0)
            tile = Tile(
                path=(directory / f"tile_{column}_{row}.las").resolve(),
                bounds=(min_x, min_y, min_x + tile_size, min_y + tile_size),
                offset=offset,
                records=random_records(rng, points_per_tile, (min_x - offset[0], min_y - offset[1]), tile_size, height),
            )
            write_las(tile.path, tile.records, offset)
            tiles.append(tile)
    write_index(directory / "index.gpkg", tiles)
    return tiles
