"""Geometries and statistics as values: pickling, copying, equality and hashing."""

import copy
import math
import pickle

import pytest

from karvik import BoundingBox, Cylinder, ExtractionStats, Frustum, extract

NAN = math.nan

# Each value, and one that differs from it in a single field.
PAIRS = [
    (BoundingBox(0, 1, 0, 1), BoundingBox(0, 1, 0, 2)),
    (BoundingBox(0.1, 1, 0, 1, 5), BoundingBox(0.1, 1, 0, 1, None, 5)),
    (BoundingBox.new_3d(-1e300, 1e300, 0, 1, -2.25, 3), BoundingBox.new_3d(-1e300, 1e300, 0, 1, -2.25, 4)),
    (Cylinder(1, 2, 0.3), Cylinder(1, 2, 0.30000000000000004)),
    (Cylinder.from_diameter(1, 2, 5e-324), Cylinder(1, 2, 5e-324)),  # radius 0, which the constructor refuses
    (Frustum(1, 2, 3, 350, -10, 10, 10, 0, 100), Frustum(1, 2, 3, 350, -10, 10, 11, 0, 100)),
    # The same core frustum from other corner angles is another value: the angles are what it was made of.
    (Frustum(0, 0, 0, 0, 0, 90, 45, 0.5, 10), Frustum(0, 0, 0, 360, 0, 90, 45, 0.5, 10)),
    (ExtractionStats._unpickle(3, 1200, 800, 1.5), ExtractionStats._unpickle(3, 1200, 800, 1.25)),
]
IDS = [repr(a) for a, _ in PAIRS]

# What a value's properties say, to compare a copy with its original field by field.
PROPERTIES = {
    BoundingBox: ["min_x", "max_x", "min_y", "max_y", "min_z", "max_z"],
    Cylinder: ["center_x", "center_y", "radius"],
    Frustum: ["origin_x", "origin_y", "origin_z", "min_distance", "max_distance"],
    ExtractionStats: ["tiles_processed", "points_read", "points_written", "elapsed_time"],
}


def same_value(a, b):
    return type(a) is type(b) and all(
        repr(getattr(a, p)) == repr(getattr(b, p)) for p in PROPERTIES[type(a)])


def copies(value):
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        yield pickle.loads(pickle.dumps(value, protocol))
    yield copy.copy(value)
    yield copy.deepcopy(value)


@pytest.mark.parametrize("value, other", PAIRS, ids=IDS)
def test_copies_equal_the_original_and_hash_alike(value, other):
    for duplicate in copies(value):
        assert duplicate is not value
        assert same_value(duplicate, value)
        assert duplicate == value and not duplicate != value
        assert hash(duplicate) == hash(value)
        assert repr(duplicate) == repr(value)
    assert value != other and not value == other
    assert len({value, copy.copy(value), other}) == 2


def test_copied_geometries_select_the_same_points(index, tmp_path):
    frustum = Frustum(10150.003, 30000.007, 60.001, 340, -60, 20, -5, 5, 400)
    duplicate = pickle.loads(pickle.dumps(frustum))
    for name, geometry in (("a", frustum), ("b", duplicate)):
        extract(index, tmp_path / f"{name}.las", geometry)
    assert (tmp_path / "a.las").read_bytes()[227:] == (tmp_path / "b.las").read_bytes()[227:]
    for x, y, z in [(10150, 30100, 50), (10100, 30050, 40), (10300, 30100, 0)]:
        assert frustum.contains(x, y, z) == duplicate.contains(x, y, z)


@pytest.mark.parametrize(
    "value",
    [BoundingBox(NAN, 1, 0, 1), BoundingBox(0, 1, 0, 1, NAN), Cylinder(0, 0, NAN),
     Frustum(NAN, 0, 0, 0, 0, 90, 45, 0, 10), ExtractionStats._unpickle(1, 2, 1, NAN)],
    ids=lambda v: type(v).__name__,
)
def test_a_value_holding_nan_is_unequal_to_itself_but_hashes_and_pickles(value):
    assert value != value and not value == value
    assert hash(value) == hash(value) == hash(copy.copy(value))
    assert {value: 1}[value] == 1  # found by identity, as a NaN float is
    assert same_value(pickle.loads(pickle.dumps(value)), value)


def test_signed_zeros_are_equal_and_hash_alike():
    a, b = BoundingBox(-0.0, 1, 0, 1), BoundingBox(0.0, 1, 0, 1)
    assert a == b and hash(a) == hash(b)
    assert math.copysign(1, pickle.loads(pickle.dumps(a)).min_x) == -1


def test_values_of_different_classes_or_other_types_are_unequal():
    box = BoundingBox(0, 1, 0, 1)
    assert box != (0.0, 1.0, 0.0, 1.0, None, None)
    assert box != Cylinder(0, 1, 0.5)
    assert box.__eq__(1) is NotImplemented
    with pytest.raises(TypeError):
        box < BoundingBox(0, 2, 0, 1)


def test_pickles_name_the_public_constructor():
    # A pickle holds the class and the constructor's arguments, nothing of the
    # instance's memory, so that the next version loads it.
    data = pickle.dumps(Frustum(1, 2, 3, 350, -10, 10, 10, 0, 100), 2)
    assert b"karvik" in data and b"Frustum" in data
    assert BoundingBox(0, 1, 0, 1, 5).__reduce__() == (BoundingBox, (0.0, 1.0, 0.0, 1.0, 5.0, None))
    assert Cylinder(1, 2, 3).__reduce__() == (Cylinder, (1.0, 2.0, 3.0))
    assert ExtractionStats._unpickle(3, 1200, 800, 1.5).__reduce__() == (
        ExtractionStats._unpickle, (3, 1200, 800, 1.5))


def test_unpickling_statistics_checks_its_arguments():
    with pytest.raises(TypeError, match="argument 'points_read'"):
        ExtractionStats._unpickle(1, "2", 0, 0.0)
    for out_of_range in (-1, 2**64):
        with pytest.raises(OverflowError):
            ExtractionStats._unpickle(1, out_of_range, 0, 0.0)
    with pytest.raises(TypeError):
        ExtractionStats()
