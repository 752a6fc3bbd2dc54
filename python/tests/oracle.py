"""What an extraction should give, computed without the module: a LAS reader
for its output, and the geometries' point and footprint tests in numpy."""

import dataclasses
import math
import struct
from pathlib import Path

import numpy as np


@dataclasses.dataclass
class LasFile:
    version: tuple
    point_format: int
    record_length: int
    count: int
    scale: tuple
    offset: tuple
    mins: tuple  # x, y, z
    maxs: tuple
    records: bytes


def read_las(path):
    data = Path(path).read_bytes()
    assert data[:4] == b"LASF"
    version = (data[24], data[25])
    (offset_to_points,) = struct.unpack_from("<I", data, 96)
    point_format = data[104] & 0x3F
    (record_length,) = struct.unpack_from("<H", data, 105)
    (count,) = struct.unpack_from("<I", data, 107)
    if version >= (1, 4) and count == 0:
        (count,) = struct.unpack_from("<Q", data, 247)
    scale = struct.unpack_from("<3d", data, 131)
    offset = struct.unpack_from("<3d", data, 155)
    max_x, min_x, max_y, min_y, max_z, min_z = struct.unpack_from("<6d", data, 179)
    records = data[offset_to_points : offset_to_points + count * record_length]
    assert len(records) == count * record_length
    return LasFile(version, point_format, record_length, count, scale, offset,
                   (min_x, min_y, min_z), (max_x, max_y, max_z), records)


@dataclasses.dataclass
class Box:
    min_x: float
    max_x: float
    min_y: float
    max_y: float
    min_z: float = None
    max_z: float = None

    def inside(self, xyz):
        x, y, z = xyz.T
        keep = (self.min_x <= x) & (x <= self.max_x) & (self.min_y <= y) & (y <= self.max_y)
        if self.min_z is not None:
            keep &= z >= self.min_z
        if self.max_z is not None:
            keep &= z <= self.max_z
        return keep

    def meets(self, bounds):
        min_x, min_y, max_x, max_y = bounds
        return self.min_x <= max_x and self.max_x >= min_x and self.min_y <= max_y and self.max_y >= min_y


@dataclasses.dataclass
class Disc:
    center_x: float
    center_y: float
    radius: float

    def inside(self, xyz):
        dx, dy = xyz[:, 0] - self.center_x, xyz[:, 1] - self.center_y
        return dy * dy + dx * dx <= self.radius * self.radius

    def meets(self, bounds):
        min_x, min_y, max_x, max_y = bounds
        nearest_x = min(max(self.center_x, min_x), max_x)
        nearest_y = min(max(self.center_y, min_y), max_y)
        return math.hypot(nearest_x - self.center_x, nearest_y - self.center_y) <= self.radius


@dataclasses.dataclass
class ViewSector:
    """A frustum whose azimuth interval runs clockwise from `azimuth_from` to
    `azimuth_to` (degrees from north), less than a full turn."""

    origin: tuple
    azimuth_from: float
    azimuth_to: float
    elevation_min: float
    elevation_max: float
    near: float
    far: float

    def inside(self, xyz):
        d = xyz - np.asarray(self.origin)
        r = np.linalg.norm(d, axis=1)
        elevation = np.degrees(np.arcsin(d[:, 2] / r))
        azimuth = np.degrees(np.arctan2(d[:, 0], d[:, 1])) % 360
        lo, hi = self.azimuth_from % 360, self.azimuth_to % 360
        in_azimuth = (lo <= azimuth) & (azimuth <= hi) if lo <= hi else (azimuth >= lo) | (azimuth <= hi)
        return (self.near <= r) & (r <= self.far) & (self.elevation_min <= elevation) & (
            elevation <= self.elevation_max) & in_azimuth


def expected_records(tiles, region):
    """The records inside the region, in index order then file order."""
    return b"".join(tile.records[region.inside(tile.xyz())].tobytes() for tile in tiles)


def record_xyz(records, record_length, scale, offset):
    view = np.frombuffer(records, dtype=np.dtype(
        {"names": ["X", "Y", "Z"], "formats": ["<i4"] * 3, "offsets": [0, 4, 8], "itemsize": record_length}))
    return np.stack([view["X"], view["Y"], view["Z"]], axis=1) * np.asarray(scale) + np.asarray(offset)
