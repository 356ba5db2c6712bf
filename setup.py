"""The Python module csv_line, built with this project's CMake build.

`pip install .` configures the project for the extension alone (no tests,
examples, programs or install rules) in a temporary directory, for the
interpreter that runs pip, builds the target csv_line_python there and
puts the extension in the package beside the package's Python files from
python/csv_line. Offline, with the build tools the system has:
`pip install --no-build-isolation --no-index .` in a virtual environment.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = os.path.dirname(os.path.abspath(__file__))
# setuptools' own work (the package staged for the wheel, its metadata) in
# a fresh directory, removed at exit: nothing written among the sources,
# and nothing staged by an earlier build, such as a module since removed
# or an extension this build failed to make, reaches the wheel.
WORK = tempfile.TemporaryDirectory(prefix="csv_line-setuptools-")


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as cmake:
        found = re.search(r"project\(csv_line\s+VERSION\s+([0-9.]+)", cmake.read())
    if not found:
        raise RuntimeError("CMakeLists.txt names no version of the csv_line project")
    return found.group(1)


class CMakeExtension(Extension):
    """An extension that the CMake target `target` builds."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        destination = os.path.abspath(self.get_ext_fullpath(ext.name))
        with tempfile.TemporaryDirectory(prefix="csv_line-build-") as build:
            subprocess.run(
                ["cmake", "-S", SOURCE, "-B", build,
                 "-DCMAKE_BUILD_TYPE=" + ("Debug" if self.debug else "Release"),
                 "-DCSV_LINE_BUILD_PYTHON=ON", "-DCSV_LINE_BUILD_TESTS=OFF", "-DCSV_LINE_BUILD_EXAMPLES=OFF",
                 "-DCSV_LINE_BUILD_PROGRAM=OFF", "-DCSV_LINE_BUILD_CSV_CUT=OFF", "-DCSV_LINE_INSTALL=OFF",
                 "-DPython3_EXECUTABLE=" + sys.executable],
                check=True)
            command = ["cmake", "--build", build, "--target", ext.target]
            # As many jobs as asked (build_ext -j, or CMAKE_BUILD_PARALLEL_LEVEL,
            # which cmake reads itself), else one a processor.
            jobs = self.parallel or (None if os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") else os.cpu_count())
            if jobs:
                command += ["--parallel", str(jobs)]
            subprocess.run(command, check=True)
            # CMake names the extension by the interpreter's own suffix, as
            # setuptools does: a difference means another interpreter's.
            built = os.path.join(build, "python", "csv_line", os.path.basename(destination))
            if not os.path.isfile(built):
                made = os.listdir(os.path.join(build, "python", "csv_line"))
                raise RuntimeError(f"CMake built none of {built} (it made {made}): not for {sys.executable}?")
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            shutil.copyfile(built, destination)


setup(
    name="csv_line",
    version=project_version(),
    description="Fast, safe CSV reader: rows as the csv module gives them, columns as numpy arrays",
    packages=["csv_line"],
    package_dir={"": "python"},
    package_data={"csv_line": ["*.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("csv_line._core", "csv_line_python")],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.8",
    install_requires=["numpy"],
    extras_require={"pandas": ["pandas"], "dask": ["dask[dataframe]", "pandas"]},
    zip_safe=False,
    options={"build": {"build_base": WORK.name}, "egg_info": {"egg_base": WORK.name}},
)
