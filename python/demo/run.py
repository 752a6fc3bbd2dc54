"""The demo: writes a small tiled point cloud (LAS tiles and their GeoPackage
index) and extracts a box, a vertical cylinder and a frustum from it with the
module karvik, printing the statistics of each extraction.

    python3 python/demo/run.py DIRECTORY
"""

import sys
from pathlib import Path

import dataset
import karvik


def main(directory):
    directory = Path(directory)
    tiles = dataset.write_dataset(directory, columns=4, rows=3, points_per_tile=50_000)
    index = directory / "index.gpkg"
    print(f"Wrote {len(tiles)} tiles of {len(tiles[0].records)} points each and their index {index}")
    # The output's extension chooses LAS or LAZ.
    extractions = {
        "box.las": karvik.BoundingBox(10050, 10250, 30050, 30200),
        "cylinder.laz": karvik.Cylinder(10200, 30150, 75),
        "frustum.las": karvik.Frustum(10000, 30000, 120, 20, -60, 70, -20, 10, 400),
    }
    for name, geometry in extractions.items():
        output = directory / name
        stats = karvik.extract(index, output, geometry)
        print(f"{geometry!r} -> {output}")
        print(f"    {stats!r}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
