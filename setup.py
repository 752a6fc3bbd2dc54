"""Packages the extension module karvik and its type stub as an abi3 wheel,
with the command-line program karvik as the wheel's script (installed on the
PATH). Both are built by the project's CMake build: in a fresh build
directory, or in the configured one that KARVIK_BUILD_DIR names."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from distutils.command.build_scripts import build_scripts

ROOT = Path(__file__).resolve().parent
# Where the build puts the command-line program for the wheel's scripts.
PROGRAM = ROOT / "build" / "python-package" / "program" / "karvik"
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
        subprocess.run(["cmake", "--build", build_dir, "--target", "karvik", "karvik_cli", "-j",
                        str(os.cpu_count() or 1)], check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(Path(build_dir) / "python" / "karvik.abi3.so", target)
        shutil.copyfile(ROOT / "python" / "karvik.pyi", target.parent / "karvik.pyi")
        PROGRAM.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(Path(build_dir) / "cli" / "karvik", PROGRAM)


class CopyProgram(build_scripts):
    """The script is a native program: copied as it is, not read as Python."""

    def copy_scripts(self):
        self.mkpath(self.build_dir)
        copied = []
        for script in self.scripts:
            target = os.path.join(self.build_dir, os.path.basename(script))
            self.copy_file(script, target)
            copied.append(target)
        return copied, copied


setup(
    name="karvik",
    version=VERSION,
    description="Python bindings for karvik - extract points from LAS/LAZ files using GeoPackage tile indices",
    python_requires=">=3.11",
    ext_modules=[Extension("karvik", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild, "build_scripts": CopyProgram},
    scripts=[str(PROGRAM.relative_to(ROOT))],
    options={"build": {"build_base": "build/python-package"}, "bdist_wheel": {"py_limited_api": "cp311"}},
)
