"""Packages the extension module karvik and its type stub as an abi3 wheel.
The module is built by the project's CMake build: in a fresh build directory,
or in the configured one that KARVIK_BUILD_DIR names."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
VERSION = re.search(r"project\(karvik VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.environ.get("KARVIK_BUILD_DIR")
        if build_dir is None:
            build_dir = str(Path(self.build_temp).resolve() / "cmake")
            subprocess.run(
                ["cmake", "-S", str(ROOT), "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DKARVIK_TESTS=OFF",
                 "-DKARVIK_BENCH=OFF", f"-DPython3_EXECUTABLE={sys.executable}"],
                check=True,
            )
        subprocess.run(["cmake", "--build", build_dir, "--target", "karvik", "-j", str(os.cpu_count() or 1)],
                       check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(Path(build_dir) / "python" / "karvik.abi3.so", target)
        shutil.copyfile(ROOT / "python" / "karvik.pyi", target.parent / "karvik.pyi")


setup(
    name="karvik",
    version=VERSION,
    description="Python bindings for karvik - extract points from LAS/LAZ files using GeoPackage tile indices",
    python_requires=">=3.11",
    ext_modules=[Extension("karvik", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build/python-package"}, "bdist_wheel": {"py_limited_api": "cp311"}},
)
