"""The three geometry classes: construction checks, point tests, properties, reprs."""

import math
import sys
from decimal import Decimal

import pytest

from karvik import BoundingBox, Cylinder, Frustum

NAN = float("nan")
INF = float("inf")
SMALLEST = 5e-324


def positional(value):
    """The shortest round-trip digits of a float, written without exponent
    and without a fractional part when integral."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: BoundingBox(0, 0, 0, 1), "min_x must be less than max_x"),
        (lambda: BoundingBox(1, 0, 0, 1), "min_x must be less than max_x"),
        (lambda: BoundingBox(0, 0, 1, 0), "min_x must be less than max_x"),
        (lambda: BoundingBox(0, 1, 2, 2), "min_y must be less than max_y"),
        (lambda: BoundingBox(0, 1, 0, 1, 5, 5), "min_z must be less than max_z"),
        (lambda: BoundingBox(0, 1, 0, 1, 6, -6), "min_z must be less than max_z"),
        (lambda: BoundingBox.new_2d(0, 1, 1, 0), "min_y must be less than max_y"),
        (lambda: BoundingBox.new_3d(0, 1, 0, 1, 3, 2), "min_z must be less than max_z"),
        (lambda: Cylinder(0, 0, 0), "radius must be positive"),
        (lambda: Cylinder(0, 0, -1), "radius must be positive"),
        (lambda: Cylinder(0, 0, -INF), "radius must be positive"),
        (lambda: Cylinder.from_diameter(0, 0, 0), "diameter must be positive"),
        (lambda: Cylinder.from_diameter(0, 0, -2), "diameter must be positive"),
        (lambda: Frustum(0, 0, 0, 0, 0, 90, 45, -1, 10), "min_distance must be non-negative"),
        (lambda: Frustum(0, 0, 0, 0, 0, 90, 45, 5, 2), "max_distance must be >= min_distance"),
        (lambda: Frustum(0, 0, 0, 0, 0, 90, 45, -1, NAN), "min_distance must be non-negative"),
        # The ordered tests let NaN through; the core's refusal is a ValueError too.
        (lambda: Frustum(0, 0, 0, 0, 0, 90, 45, NAN, 10), "min_distance must be non-negative, got NaN"),
        (lambda: Frustum(0, 0, 0, 0, 0, 90, 45, 5, NAN), "max_distance (NaN) must be >= min_distance (5)"),
        (lambda: Frustum(0, 0, 0, 0, 0, 90, 45, 0.1, NAN), "max_distance (NaN) must be >= min_distance (0.1)"),
        (lambda: Frustum(0, 0, 0, 0, 0, 90, 45, NAN, NAN), "min_distance must be non-negative, got NaN"),
    ],
)
def test_refused_values_raise_value_error_with_fixed_text(make, message):
    with pytest.raises(ValueError) as caught:
        make()
    assert type(caught.value) is ValueError
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "geometry, values",
    [
        (BoundingBox(1, 2, 3, 4), {"min_x": 1.0, "max_x": 2.0, "min_y": 3.0, "max_y": 4.0, "min_z": None, "max_z": None}),
        (BoundingBox(0, 1, 0, 1, 5), {"min_z": 5.0, "max_z": None}),
        (BoundingBox(0, 1, 0, 1, None, 3), {"min_z": None, "max_z": 3.0}),
        (BoundingBox(0, 1, 0, 1, None, None), {"min_z": None, "max_z": None}),
        (BoundingBox.new_2d(-3, -2, -1, 0), {"min_x": -3.0, "max_y": 0.0, "min_z": None, "max_z": None}),
        (BoundingBox.new_3d(0, 1, 0, 1, -2.25, 3), {"min_z": -2.25, "max_z": 3.0}),
        (BoundingBox(NAN, 1, 0, 1), {"min_x": NAN, "max_x": 1.0}),
        (Cylinder(1, 2, 3), {"center_x": 1.0, "center_y": 2.0, "radius": 3.0, "diameter": 6.0}),
        (Cylinder.from_diameter(1, 2, 10), {"radius": 5.0, "diameter": 10.0}),
        # Half the smallest positive double is 0: accepted, though Cylinder(0, 0, 0) is not.
        (Cylinder.from_diameter(0, 0, SMALLEST), {"radius": 0.0, "diameter": 0.0}),
        (Cylinder(0, 0, NAN), {"radius": NAN}),
        (Cylinder.from_diameter(0, 0, NAN), {"radius": NAN}),
        (Frustum(1, 2, 3, 0, 0, 90, 45, 0.5, 100),
         {"origin_x": 1.0, "origin_y": 2.0, "origin_z": 3.0, "min_distance": 0.5, "max_distance": 100.0}),
        (Frustum(0, 0, 0, 0, 0, 90, 45, 0, 0), {"min_distance": 0.0, "max_distance": 0.0}),
    ],
)
def test_properties_return_the_stored_values(geometry, values):
    for name, expected in values.items():
        actual = getattr(geometry, name)
        if expected is None:
            assert actual is None, name
        else:
            assert type(actual) is float, name
            assert actual == expected or (math.isnan(actual) and math.isnan(expected)), name


BOX_3D = BoundingBox(0, 10, 0, 10, 0, 5)
HALF_OPEN_Z = BoundingBox(0, 1, 0, 1, 5)
NAN_BOX = BoundingBox(NAN, 1, 0, 1)
DISC = Cylinder(0, 0, 5)
NORTH = Frustum(0, 0, 0, 350, -10, 10, 10, 0, 100)
QUADRANT = Frustum(10, 20, 30, 0, 0, 90, 45, 1, 10)


@pytest.mark.parametrize(
    "geometry, point, expected",
    [
        (BOX_3D, (10, 10), True),  # bounds inclusive, z not looked at
        (BOX_3D, (0, 0, 0), True),
        (BOX_3D, (10, 10, 5), True),
        (BOX_3D, (5, 5, 6), False),
        (BOX_3D, (5, 5, -1e-9), False),
        (BOX_3D, (5, 5, None), True),
        (BOX_3D, (5, 5, NAN), True),
        (BOX_3D, (10.000001, 5), False),
        (BOX_3D, (5, -1e-300), False),
        (BOX_3D, (NAN, 5), False),
        (BOX_3D, (5, NAN, 1), False),
        (HALF_OPEN_Z, (0.5, 0.5, 4), False),
        (HALF_OPEN_Z, (0.5, 0.5, 1e300), True),
        (NAN_BOX, (0.5, 0.5), False),
        (NAN_BOX, (0.5, 0.5, 0), False),
        (DISC, (3, 4), True),  # on the boundary
        (DISC, (3, 4, 1e9), True),
        (DISC, (-3, -4, -1e9), True),
        (DISC, (3, 4.000001), False),
        (DISC, (NAN, 0), False),
        (Cylinder(0, 0, NAN), (0, 0), False),
        (Cylinder.from_diameter(0, 0, SMALLEST), (0, 0), True),
        (NORTH, (0, 50, 0), True),  # due north, inside the interval through north
        (NORTH, (50 * math.sin(math.radians(8)), 50 * math.cos(math.radians(8)), 0), True),
        (NORTH, (50 * math.sin(math.radians(-8)), 50 * math.cos(math.radians(-8)), 0), True),
        (NORTH, (50 * math.sin(math.radians(12)), 50 * math.cos(math.radians(12)), 0), False),
        (NORTH, (0, -50, 0), False),
        (NORTH, (0, 100.5, 0), False),
        (NORTH, (0, 50, 50), False),  # 45 degrees up
        (NORTH, (0, 50, -5), True),
        (QUADRANT, (13, 23, 31), True),
        (QUADRANT, (7, 23, 31), False),  # north-west
        (QUADRANT, (13, 23, 29), False),  # below the horizon
        (QUADRANT, (10.1, 20.1, 30), False),  # nearer than 1
    ],
)
def test_contains(geometry, point, expected):
    assert geometry.contains(*point) is expected


def test_contains_takes_keywords():
    assert BOX_3D.contains(z=6, y=5, x=5) is False
    assert DISC.contains(y=4, x=3) is True
    assert NORTH.contains(x=0, z=0, y=50) is True


@pytest.mark.parametrize(
    "geometry, text",
    [
        (BoundingBox(10000, 20000, 30000, 40000), "BoundingBox(min_x=10000, max_x=20000, min_y=30000, max_y=40000)"),
        (BoundingBox.new_3d(0.5, 1, 0, 1, -2.25, 3),
         "BoundingBox(min_x=0.5, max_x=1, min_y=0, max_y=1, min_z=-2.25, max_z=3)"),
        (BoundingBox(0, 1, 0, 1, 5), "BoundingBox(min_x=0, max_x=1, min_y=0, max_y=1)"),
        (BoundingBox(0, 1, 0, 1, None, 5), "BoundingBox(min_x=0, max_x=1, min_y=0, max_y=1)"),
        (BoundingBox(-0.0, 1e21, 1e-7, 0.30000000000000004),
         "BoundingBox(min_x=-0, max_x=1000000000000000000000, min_y=0.0000001, max_y=0.30000000000000004)"),
        (BoundingBox(NAN, 1, -INF, INF), "BoundingBox(min_x=NaN, max_x=1, min_y=-inf, max_y=inf)"),
        (Cylinder.from_diameter(1, 2, 10), "Cylinder(center_x=1, center_y=2, radius=5)"),
        (Cylinder(-1.5, 2.25, SMALLEST), "Cylinder(center_x=-1.5, center_y=2.25, radius=0." + "0" * 323 + "5)"),
        (Frustum(1, 2, 3, 0, 0, 90, 45, 0.5, 100), "Frustum(origin=(1, 2, 3), min_distance=0.5, max_distance=100)"),
    ],
)
def test_repr(geometry, text):
    assert repr(geometry) == text
    assert str(geometry) == text


@pytest.mark.parametrize(
    "value",
    [0.1, 1 / 3, -123.456, 2.0**53, 2.0**53 + 2, 1e16, 1e22, 1e23, 2.0**70, 123456789012345678.0, 1e-300, 2.5e-308,
     SMALLEST, sys.float_info.max, -sys.float_info.min, 4.35, 0.0],
)
def test_repr_renders_shortest_round_trip_digits_in_positional_notation(value):
    assert repr(Cylinder(value, -value, 1)) == f"Cylinder(center_x={positional(value)}, center_y={positional(-value)}, radius=1)"


def test_frustum_angles_cannot_be_read():
    frustum = Frustum(0, 0, 0, 350, -10, 10, 10, 0, 100)
    for name in ("phi1", "theta1", "phi2", "theta2"):
        with pytest.raises(AttributeError):
            getattr(frustum, name)
