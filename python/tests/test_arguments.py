"""Argument binding and conversion, shared by every function and method."""

import math
import pathlib
from fractions import Fraction

import numpy as np
import pytest

import karvik
from karvik import BoundingBox, Cylinder, Frustum, extract

BOX = BoundingBox(0, 10, 0, 10)
DISC = Cylinder(0, 0, 5)
FRUSTUM = Frustum(0, 0, 0, 0, 0, 90, 45, 0, 10)
NINE = (0, 0, 0, 0, 0, 90, 45, 0, 10)


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (extract, ("i", "o"), {}, "extract() missing 1 required positional argument: 'geometry'"),
        (extract, ("i",), {}, "extract() missing 2 required positional arguments: 'output_path' and 'geometry'"),
        (extract, (), {},
         "extract() missing 3 required positional arguments: 'index_path', 'output_path', and 'geometry'"),
        (extract, (), {"verbose": True, "geometry": BOX},
         "extract() missing 2 required positional arguments: 'index_path' and 'output_path'"),
        (extract, ("i", "o", BOX, False, None, 5), {},
         "extract() takes from 3 to 5 positional arguments but 6 were given"),
        (extract, ("i", "o", BOX, False, None, 5), {"colour": 1},
         "extract() takes from 3 to 5 positional arguments but 6 were given"),
        (extract, ("i", "o"), {"geometry": BOX, "index_path": "x"},
         "extract() got multiple values for argument 'index_path'"),
        (extract, ("i", "o", BOX), {"geometry": BOX}, "extract() got multiple values for argument 'geometry'"),
        (extract, ("i", "o", BOX), {"colour": 1}, "extract() got an unexpected keyword argument 'colour'"),
        (extract, ("i", "o", BOX), {"\udc80": 1}, "extract() got an unexpected keyword argument '\udc80'"),
        (extract, ("i",), {"colour": 1}, "extract() got an unexpected keyword argument 'colour'"),
        (BoundingBox, (1, 2, 3), {}, "BoundingBox.__new__() missing 1 required positional argument: 'max_y'"),
        (BoundingBox, tuple(range(7)), {},
         "BoundingBox.__new__() takes from 4 to 6 positional arguments but 7 were given"),
        (BoundingBox, (0, 1, 0, 1), {"z": 1}, "BoundingBox.__new__() got an unexpected keyword argument 'z'"),
        (BoundingBox.new_2d, (0, 1, 0), {}, "BoundingBox.new_2d() missing 1 required positional argument: 'max_y'"),
        (BoundingBox.new_2d, (0, 1, 0, 1, 2), {}, "BoundingBox.new_2d() takes 4 positional arguments but 5 were given"),
        (BoundingBox.new_3d, (0, 1, 0, 1), {},
         "BoundingBox.new_3d() missing 2 required positional arguments: 'min_z' and 'max_z'"),
        (BOX.contains, (), {}, "BoundingBox.contains() missing 2 required positional arguments: 'x' and 'y'"),
        (BOX.contains, (1, 2, 3, 4), {}, "BoundingBox.contains() takes from 2 to 3 positional arguments but 4 were given"),
        (Cylinder, (1, 2), {}, "Cylinder.__new__() missing 1 required positional argument: 'radius'"),
        (Cylinder.from_diameter, (1, 2), {"diameter": 3, "radius": 1},
         "Cylinder.from_diameter() got an unexpected keyword argument 'radius'"),
        (DISC.contains, (1, 2), {"x": 1}, "Cylinder.contains() got multiple values for argument 'x'"),
        (Frustum, NINE[:8], {}, "Frustum.__new__() missing 1 required positional argument: 'max_distance'"),
        (Frustum, NINE + (1,), {}, "Frustum.__new__() takes 9 positional arguments but 10 were given"),
        (FRUSTUM.contains, (1, 2), {}, "Frustum.contains() missing 1 required positional argument: 'z'"),
    ],
)
def test_binding_errors_use_the_interpreters_texts(call, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: BoundingBox(max_z=3, min_y=0, max_y=1, min_x=0, max_x=1), "BoundingBox(min_x=0, max_x=1, min_y=0, max_y=1)"),
        (lambda: BoundingBox(0, 1, 0, max_y=1, min_z=-1, max_z=3),
         "BoundingBox(min_x=0, max_x=1, min_y=0, max_y=1, min_z=-1, max_z=3)"),
        (lambda: BoundingBox.new_2d(max_y=1, min_y=0, max_x=1, min_x=0), "BoundingBox(min_x=0, max_x=1, min_y=0, max_y=1)"),
        (lambda: BoundingBox.new_3d(0, 1, 0, 1, max_z=2, min_z=1),
         "BoundingBox(min_x=0, max_x=1, min_y=0, max_y=1, min_z=1, max_z=2)"),
        (lambda: Cylinder(radius=2, center_y=1, center_x=0), "Cylinder(center_x=0, center_y=1, radius=2)"),
        (lambda: Cylinder.from_diameter(diameter=4, center_x=0, center_y=1), "Cylinder(center_x=0, center_y=1, radius=2)"),
        (lambda: Frustum(max_distance=10, min_distance=1, theta2=5, phi2=6, theta1=7, phi1=8, origin_z=3, origin_y=2,
                         origin_x=1), "Frustum(origin=(1, 2, 3), min_distance=1, max_distance=10)"),
    ],
)
def test_every_parameter_binds_by_keyword(make, expected):
    assert repr(make()) == expected


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("value", [7, True, False, 2**60, -0.0, np.float32(0.5), np.int64(-4), Fraction(1, 4),
                                   Floaty(), Indexy()])
def test_float_parameters_accept_what_converts_to_float(value):
    assert Cylinder(value, 0, 1).center_x == float(value.__index__() if isinstance(value, Indexy) else value)


class BadFloat:
    def __float__(self):
        raise TypeError("no float today")


# Each argument fails to convert with TypeError; the message names the
# parameter and the conversion's own error is the cause.
@pytest.mark.parametrize(
    "call, args, parameter",
    [
        (BoundingBox, ("a", "b", 0, 1), "min_x"),
        (BoundingBox, (0, 0, "a", 1), "min_y"),  # conversions come before the bounds test
        (BoundingBox, (0, 1, 0, 1, "z"), "min_z"),
        (BoundingBox, (0, 1, 0, 1, None, []), "max_z"),
        (BoundingBox.new_3d, (0, 1, 0, 1, None, 2), "min_z"),  # None is absent only for the constructor
        (BoundingBox.new_2d, (0, None, 0, 1), "max_x"),
        (BOX.contains, (1, None), "y"),
        (BOX.contains, (1, 1, "3"), "z"),
        (DISC.contains, (3, 4, "a"), "z"),
        (DISC.contains, (3, 4, None), "z"),
        (Cylinder, (0, 0, BadFloat()), "radius"),
        (Cylinder.from_diameter, (0, 0, {}), "diameter"),
        (Frustum, (0, 0, 0, 0, 0, "90", 45, 0, 10), "phi2"),
        (FRUSTUM.contains, (0, 0, b"0"), "z"),
        (extract, (1, "o", 42), "index_path"),
        (extract, ("i", 2, 42), "output_path"),
        (extract, (b"i", "o", BOX), "index_path"),
        (extract, ("i", bytearray(b"o"), BOX), "output_path"),
        (extract, (None, "o", BOX), "index_path"),
        (extract, ("i", "o", 42, 1), "verbose"),  # before the geometry test
        (extract, ("i", "o", BOX, 0), "verbose"),
        (extract, ("i", "o", BOX, None), "verbose"),
        (extract, ("i", "o", BOX, "yes"), "verbose"),
        (extract, ("i", "o", BOX, np.int64(1)), "verbose"),
        (extract, ("i", "o", BOX, np.array([True])), "verbose"),
    ],
)
def test_conversion_type_errors_name_the_parameter(call, args, parameter):
    with pytest.raises(TypeError) as caught:
        call(*args)
    error = caught.value
    assert type(error) is TypeError
    assert isinstance(error.__cause__, TypeError)
    assert str(error) == f"argument '{parameter}': {error.__cause__}"
    assert str(error.__cause__)


@pytest.mark.parametrize("value", ["a", None, [], BadFloat()])
def test_float_conversion_message_is_the_interpreters(value):
    with pytest.raises(TypeError) as ours:
        Cylinder(value, 0, 1)
    with pytest.raises(TypeError) as theirs:
        math.fabs(value)  # converts with PyFloat_AsDouble as well
    assert str(ours.value) == f"argument 'center_x': {theirs.value}"


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("boom")


class RaisingPath:
    def __fspath__(self):
        raise RuntimeError("no path")


@pytest.mark.parametrize(
    "call, args, error, message",
    [
        (BoundingBox, (10**400, 1, 0, 1), OverflowError, "int too large to convert to float"),
        (Cylinder, (0, RaisingFloat(), 1), ZeroDivisionError, "boom"),
        (extract, ("\udc80", "o", BOX), UnicodeEncodeError, None),
        (extract, ("i", "o\ud800", BOX), UnicodeEncodeError, None),
        (extract, (RaisingPath(), "o", BOX), RuntimeError, "no path"),
    ],
)
def test_other_conversion_errors_pass_unchanged(call, args, error, message):
    with pytest.raises(error) as caught:
        call(*args)
    assert type(caught.value) is error
    assert not str(caught.value).startswith("argument")
    if message is not None:
        assert str(caught.value) == message


class StrPath:
    def __fspath__(self):
        return "index.gpkg"


class BytesPath:
    def __fspath__(self):
        return b"index.gpkg"


class Text(str):
    pass


# Accepted arguments reach the geometry test, the last step before extracting.
@pytest.mark.parametrize(
    "args",
    [
        ("i", "o", 42),
        (Text("i"), Text("o"), 42),
        (pathlib.Path("i"), pathlib.PurePosixPath("o"), 42),
        (StrPath(), "o", 42),
        ("i", "o", 42, True),
        ("i", "o", 42, False),
        ("i", "o", 42, np.True_),
        ("i", "o", 42, np.bool_(False)),
        ("i", "o", BOX.contains),
        ("i", "o", karvik.BoundingBox),
    ],
)
def test_accepted_arguments_reach_the_geometry_test(args):
    with pytest.raises(ValueError) as caught:
        extract(*args)
    assert str(caught.value) == "geometry must be BoundingBox, Cylinder, or Frustum"


def test_path_like_must_give_str():
    with pytest.raises(TypeError) as caught:
        extract(BytesPath(), "o", BOX)
    assert str(caught.value).startswith("argument 'index_path': ")
    assert isinstance(caught.value.__cause__, TypeError)


def test_none_means_absent_only_where_the_default_is_none():
    assert repr(BoundingBox(0, 1, 0, 1, None, None)) == repr(BoundingBox(0, 1, 0, 1))
    box = BoundingBox(0, 1, 0, 1, None, 3)
    assert (box.min_z, box.max_z) == (None, 3.0)
    assert box.contains(0.5, 0.5, None) is True
    assert box.contains(0.5, 0.5, 4) is False
