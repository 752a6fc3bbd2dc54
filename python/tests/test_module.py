"""The module object: its names, docstrings, signatures, the classes' shared
traits, initialisation, and the type stub."""

import ast
import importlib
import inspect
import os
import sys
import weakref
from pathlib import Path

import pytest

import karvik
from karvik import BoundingBox, Cylinder, ExtractedPoints, ExtractionProgress, ExtractionStats, Frustum, extract, read

EXTRACT_DOC = (
    "Extract points from LAS/LAZ files using a GeoPackage tile index.\n\n"
    "Args:\n"
    "    index_path: Path to the GeoPackage tile index file\n"
    "    output_path: Path where the extracted points will be written\n"
    "    geometry: Extraction geometry (BoundingBox or Cylinder)\n"
    "    verbose: Whether to log detailed progress information (default: False)\n"
    "    progress: Called about ten times a second and at the end with an ExtractionProgress (default: None)\n\n"
    "Returns:\n"
    "    ExtractionStats: Statistics about the extraction process\n\n"
    "Raises:\n"
    "    ValueError: If the geometry is not valid\n"
    "    RuntimeError: If the extraction fails\n\n"
    "Example:\n"
    "    ```python\n"
    "    import karvik\n\n"
    "    # Create a bounding box\n"
    "    bbox = karvik.BoundingBox(10000, 20000, 30000, 40000)\n\n"
    "    # Extract points\n"
    '    stats = karvik.extract("tiles.gpkg", "output.laz", bbox, verbose=True)\n'
    '    print(f"Extracted {stats.points_written} points")\n'
    "    ```"
)

FRUSTUM_DOC = (
    "Python wrapper for a frustum (truncated pyramid) geometry.\n\n"
    "A frustum is defined by an origin point, angular bounds (two corner angles),\n"
    "and distance bounds (near and far planes).\n\n"
    "Uses geographic coordinates:\n"
    "- phi (azimuth): measured clockwise from north (0-360 degrees)\n"
    "- theta (elevation): measured above/below horizontal (-90 to +90 degrees)"
)


def box_doc(dimensions, names):
    args = "".join(f"    {n}: {'Minimum' if n.startswith('min') else 'Maximum'} {n[-1].upper()} coordinate\n" for n in names)
    return (f"Create a new {dimensions} bounding box (convenience method).\n\nArgs:\n{args}\n"
            f"Returns:\n    BoundingBox: A new {dimensions} bounding box geometry")


@pytest.mark.parametrize(
    "obj, signature, doc",
    [
        (extract, "(index_path, output_path, geometry, verbose=False, progress=None)", EXTRACT_DOC),
        (BoundingBox, "(min_x, max_x, min_y, max_y, min_z=None, max_z=None)",
         "Python wrapper for a 2D/3D bounding box geometry."),
        (BoundingBox.new_2d, "(min_x, max_x, min_y, max_y)", box_doc("2D", ["min_x", "max_x", "min_y", "max_y"])),
        (BoundingBox.new_3d, "(min_x, max_x, min_y, max_y, min_z, max_z)",
         box_doc("3D", ["min_x", "max_x", "min_y", "max_y", "min_z", "max_z"])),
        (BoundingBox.contains, "($self, x, y, z=None)",
         "Check if a point is inside the bounding box.\n\nArgs:\n    x: X coordinate\n    y: Y coordinate\n"
         "    z: Optional Z coordinate (only checked for 3D boxes)\n\n"
         "Returns:\n    bool: True if the point is inside the bounding box"),
        (Cylinder, "(center_x, center_y, radius)", "Python wrapper for a vertical cylinder geometry."),
        (Cylinder.from_diameter, "(center_x, center_y, diameter)",
         "Create a new vertical cylinder from center coordinates and diameter.\n\nArgs:\n"
         "    center_x: X coordinate of the cylinder center\n    center_y: Y coordinate of the cylinder center\n"
         "    diameter: Diameter of the cylinder\n\nReturns:\n    Cylinder: A new vertical cylinder geometry"),
        (Cylinder.contains, "($self, x, y, z=0.0)",
         "Check if a point is inside the cylinder.\n\nArgs:\n    x: X coordinate\n    y: Y coordinate\n"
         "    z: Z coordinate (ignored for vertical cylinders)\n\n"
         "Returns:\n    bool: True if the point is inside the cylinder"),
        (Frustum,
         "(origin_x, origin_y, origin_z, phi1, theta1, phi2, theta2, min_distance, max_distance)", FRUSTUM_DOC),
        (Frustum.contains, "($self, x, y, z)",
         "Check if a 3D point is inside the frustum.\n\nArgs:\n    x: X coordinate\n    y: Y coordinate\n"
         "    z: Z coordinate\n\nReturns:\n    bool: True if the point is inside the frustum"),
        (ExtractionStats, None, "Python wrapper for extraction statistics."),
    ],
)
def test_docstrings_and_text_signatures(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


@pytest.mark.parametrize(
    "obj, signature",
    [
        (extract, "(index_path, output_path, geometry, verbose=False, progress=None)"),
        (read, "(index_path, geometry, progress=None)"),
        (BoundingBox, "(min_x, max_x, min_y, max_y, min_z=None, max_z=None)"),
        (BoundingBox.new_3d, "(min_x, max_x, min_y, max_y, min_z, max_z)"),
        (BoundingBox(0, 1, 0, 1).contains, "(x, y, z=None)"),
        (Cylinder(0, 0, 1).contains, "(x, y, z=0.0)"),
        (Frustum, "(origin_x, origin_y, origin_z, phi1, theta1, phi2, theta2, min_distance, max_distance)"),
    ],
)
def test_inspect_signature(obj, signature):
    assert str(inspect.signature(obj)) == signature


def test_module_attributes():
    assert karvik.__all__ == ["ExtractionStats", "BoundingBox", "Cylinder", "Frustum", "extract", "__doc__", "__version__",
                              "ExtractionProgress", "ExtractedPoints", "read", "IndexReport", "build_index"]
    assert karvik.__version__ == "0.1.2"
    assert karvik.__doc__ == (
        "Python bindings for karvik - extract points from LAS/LAZ files using GeoPackage tile indices")
    assert karvik.__name__ == "karvik"
    assert extract.__module__ == "karvik" and extract.__name__ == "extract"
    assert extract.__self__ is karvik
    assert read.__module__ == "karvik" and read.__self__ is karvik
    for cls in (ExtractionStats, BoundingBox, Cylinder, Frustum, ExtractionProgress, ExtractedPoints):
        assert cls.__module__ == "karvik"
        assert cls.__bases__ == (object,)
        assert getattr(karvik, cls.__qualname__) is cls


@pytest.mark.parametrize(
    "cls, members",
    [
        (BoundingBox, ["new_2d", "new_3d", "contains", "min_x", "max_x", "min_y", "max_y", "min_z", "max_z"]),
        (Cylinder, ["from_diameter", "contains", "center_x", "center_y", "radius", "diameter"]),
        (Frustum, ["contains", "origin_x", "origin_y", "origin_z", "min_distance", "max_distance"]),
        (ExtractionStats, ["_unpickle", "tiles_processed", "points_read", "points_written", "elapsed_time"]),
    ],
)
def test_class_members_in_order(cls, members):
    assert [name for name in vars(cls) if not name.startswith("__")] == members
    for name in members:
        member = vars(cls)[name]
        if type(member).__name__ == "getset_descriptor" and cls is not ExtractionStats:
            assert member.__doc__ is None, name


def test_statistics_properties_have_docstrings():
    assert ExtractionStats.tiles_processed.__doc__ == "Number of tiles that were successfully processed."
    assert ExtractionStats.points_read.__doc__ == "Total number of points read from all tiles."
    assert ExtractionStats.points_written.__doc__ == "Number of points that passed the geometry filter."
    assert ExtractionStats.elapsed_time.__doc__ == "Total time taken for the extraction in seconds."


INSTANCES = [BoundingBox(0, 1, 0, 1, 2, 3), Cylinder(0, 0, 1), Frustum(0, 0, 0, 0, 0, 90, 45, 0, 10)]


@pytest.mark.parametrize("obj", INSTANCES, ids=lambda o: type(o).__name__)
def test_instances_are_immutable_and_slim(obj):
    prop = next(name for name, v in vars(type(obj)).items() if type(v).__name__ == "getset_descriptor")
    before = repr(obj)
    with pytest.raises(AttributeError):
        setattr(obj, prop, 5)
    with pytest.raises(AttributeError):
        delattr(obj, prop)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert repr(obj) == before
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("cls", [ExtractionStats, BoundingBox, Cylinder, Frustum, ExtractionProgress, ExtractedPoints],
                         ids=lambda c: c.__name__)
def test_classes_are_final_and_immutable(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.contains = None
    with pytest.raises(TypeError):
        cls.anything = 1


@pytest.mark.parametrize("cls", [ExtractionStats, ExtractionProgress, ExtractedPoints], ids=lambda c: c.__name__)
def test_results_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)


def test_reimport_returns_the_first_module():
    first = sys.modules.pop("karvik")
    try:
        again = importlib.import_module("karvik")
        assert again is first
    finally:
        sys.modules["karvik"] = first


def test_second_interpreter_gets_import_error():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    read, write = os.pipe()
    script = (
        "import os, sys\n"
        f"sys.path[:0] = {[str(Path(karvik.__file__).parent)]!r}\n"
        "try:\n"
        "    import karvik\n"
        "    os.write(fd, b'imported')\n"
        "except ImportError as e:\n"
        "    os.write(fd, b'ImportError: ' + str(e).encode())\n"
    )
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, script, shared={"fd": write})
    finally:
        interpreters.destroy(interpreter)
        os.close(write)
    with os.fdopen(read, "rb") as pipe:
        outcome = pipe.read().decode()
    assert outcome.startswith("ImportError: ") and len(outcome) > len("ImportError: ")
    assert repr(BoundingBox(0, 1, 0, 1)) == "BoundingBox(min_x=0, max_x=1, min_y=0, max_y=1)"


def stub_signatures():
    """Parameter names and defaults of every function in karvik.pyi, by qualified name."""
    tree = ast.parse((Path(karvik.__file__).parent / "karvik.pyi").read_text())
    found = {}

    def collect(node, prefix):
        for item in node.body:
            if isinstance(item, ast.ClassDef):
                collect(item, item.name + ".")
            elif isinstance(item, ast.FunctionDef) and not any(
                isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list
            ) and (item.name == "__new__" or not item.name.startswith("__")):
                args = item.args.args
                defaults = [None] * (len(args) - len(item.args.defaults)) + [ast.literal_eval(d) for d in item.args.defaults]
                params = [(a.arg, d) for a, d in zip(args, defaults) if a.arg not in ("self", "cls")]
                found[prefix + item.name] = params
    collect(tree, "")
    return found


def runtime_parameters(obj):
    return [(p.name, None if p.default is inspect.Parameter.empty else p.default)
            for p in inspect.signature(obj).parameters.values() if p.name != "self"]


def test_stub_matches_the_module():
    stub = stub_signatures()
    runtime = {"extract": extract, "read": read, "build_index": karvik.build_index}
    for cls in (BoundingBox, Cylinder, Frustum):
        runtime[cls.__name__ + ".__new__"] = cls
        for name, member in vars(cls).items():
            if not name.startswith("__") and type(member).__name__ != "getset_descriptor":
                runtime[f"{cls.__name__}.{name}"] = getattr(cls, name)
    assert sorted(stub) == sorted(runtime)
    for name, obj in runtime.items():
        assert stub[name] == runtime_parameters(obj), name
    classes = (ExtractionStats, BoundingBox, Cylinder, Frustum, ExtractionProgress, ExtractedPoints, karvik.IndexReport)
    properties = {f"{cls.__name__}.{n}" for cls in classes
                  for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"}
    tree = ast.parse((Path(karvik.__file__).parent / "karvik.pyi").read_text())
    stub_properties = {f"{c.name}.{f.name}" for c in tree.body if isinstance(c, ast.ClassDef)
                       for f in c.body if isinstance(f, ast.FunctionDef)
                       and any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)}
    assert stub_properties == properties
    # Value semantics: the stub declares what every class defines.
    for cls in (ExtractionStats, BoundingBox, Cylinder, Frustum):
        stub_class = next(c for c in tree.body if isinstance(c, ast.ClassDef) and c.name == cls.__name__)
        declared = {f.name for f in stub_class.body if isinstance(f, ast.FunctionDef) and f.name.startswith("__")}
        assert declared - {"__new__"} == {"__eq__", "__hash__", "__reduce__"}
        assert all(name in vars(cls) for name in declared), cls
