"""Python bindings for karvik - extract points from LAS/LAZ files using GeoPackage tile indices"""

import os
from collections.abc import Callable, Iterable
from typing import Any, Final, final

import numpy as np
import numpy.typing as npt

__all__: list[str]
__version__: Final[str]

@final
class ExtractionStats:
    """Python wrapper for extraction statistics."""

    @property
    def tiles_processed(self) -> int:
        """Number of tiles that were successfully processed."""
    @property
    def points_read(self) -> int:
        """Total number of points read from all tiles."""
    @property
    def points_written(self) -> int:
        """Number of points that passed the geometry filter."""
    @property
    def elapsed_time(self) -> float:
        """Total time taken for the extraction in seconds."""
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

@final
class BoundingBox:
    """Python wrapper for a 2D/3D bounding box geometry."""

    def __new__(
        cls,
        min_x: float,
        max_x: float,
        min_y: float,
        max_y: float,
        min_z: float | None = None,
        max_z: float | None = None,
    ) -> BoundingBox: ...
    @staticmethod
    def new_2d(min_x: float, max_x: float, min_y: float, max_y: float) -> BoundingBox: ...
    @staticmethod
    def new_3d(min_x: float, max_x: float, min_y: float, max_y: float, min_z: float, max_z: float) -> BoundingBox: ...
    def contains(self, x: float, y: float, z: float | None = None) -> bool: ...
    @property
    def min_x(self) -> float: ...
    @property
    def max_x(self) -> float: ...
    @property
    def min_y(self) -> float: ...
    @property
    def max_y(self) -> float: ...
    @property
    def min_z(self) -> float | None: ...
    @property
    def max_z(self) -> float | None: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

@final
class Cylinder:
    """Python wrapper for a vertical cylinder geometry."""

    def __new__(cls, center_x: float, center_y: float, radius: float) -> Cylinder: ...
    @staticmethod
    def from_diameter(center_x: float, center_y: float, diameter: float) -> Cylinder: ...
    def contains(self, x: float, y: float, z: float = 0.0) -> bool: ...
    @property
    def center_x(self) -> float: ...
    @property
    def center_y(self) -> float: ...
    @property
    def radius(self) -> float: ...
    @property
    def diameter(self) -> float: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

@final
class Frustum:
    """Python wrapper for a frustum (truncated pyramid) geometry."""

    def __new__(
        cls,
        origin_x: float,
        origin_y: float,
        origin_z: float,
        phi1: float,
        theta1: float,
        phi2: float,
        theta2: float,
        min_distance: float,
        max_distance: float,
    ) -> Frustum: ...
    def contains(self, x: float, y: float, z: float) -> bool: ...
    @property
    def origin_x(self) -> float: ...
    @property
    def origin_y(self) -> float: ...
    @property
    def origin_z(self) -> float: ...
    @property
    def min_distance(self) -> float: ...
    @property
    def max_distance(self) -> float: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

@final
class ExtractionProgress:
    """How far an extraction has got: what a progress callback receives."""

    @property
    def tiles_done(self) -> int:
        """Tiles read and written so far."""
    @property
    def tiles_total(self) -> int:
        """Tiles whose footprint meets the geometry; 0 until known."""
    @property
    def points_read(self) -> int:
        """Points read so far."""
    @property
    def points_written(self) -> int:
        """Points written so far."""

def extract(
    index_path: str | os.PathLike[str],
    output_path: str | os.PathLike[str],
    geometry: BoundingBox | Cylinder | Frustum,
    verbose: bool = False,
    progress: Callable[[ExtractionProgress], object] | None = None,
) -> ExtractionStats:
    """Extract points from LAS/LAZ files using a GeoPackage tile index."""

@final
class ExtractedPoints:
    """The points that read() kept, as a NumPy structured array, with the scale and offset of their coordinates."""

    @property
    def points(self) -> npt.NDArray[np.void]:
        """The points: a NumPy structured array of the point format's fields."""
    @property
    def scale(self) -> tuple[float, float, float]:
        """The scale of X, Y and Z, as the output's header would have it."""
    @property
    def offset(self) -> tuple[float, float, float]:
        """The offset of X, Y and Z, as the output's header would have it."""
    @property
    def point_format(self) -> int:
        """The LAS point format of the points."""
    @property
    def x(self) -> npt.NDArray[np.float64]:
        """The x coordinates, scaled: a new float64 array."""
    @property
    def y(self) -> npt.NDArray[np.float64]:
        """The y coordinates, scaled: a new float64 array."""
    @property
    def z(self) -> npt.NDArray[np.float64]:
        """The z coordinates, scaled: a new float64 array."""
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

def read(
    index_path: str | os.PathLike[str],
    geometry: BoundingBox | Cylinder | Frustum,
    progress: Callable[[ExtractionProgress], object] | None = None,
) -> ExtractedPoints:
    """Read the points inside a geometry from LAS/LAZ files using a GeoPackage tile index."""
class IndexReport:
    """What build_index() did: the tiles the index lists and the files it left out."""

    @property
    def tiles_indexed(self) -> int:
        """Number of tiles the index lists."""
    @property
    def tiles_skipped(self) -> int:
        """Number of files left out because they could not be read."""

def build_index(
    index_path: str | os.PathLike[str],
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    layer: str = "tiles",
    update: bool = False,
    chunks: bool = True,
) -> IndexReport:
    """Build a GeoPackage tile index of LAS/LAZ files, as extract() reads it."""
