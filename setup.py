"""Builds the extension module korvel._korvel with CMake (the project's own
build, target korvel_python) for the interpreter that runs the build, and
packages it with the pure Python parts in python/korvel. Used through
pyproject.toml: `python3 -m pip install --no-build-isolation .`, `pip wheel`.

The CMake build tree stays in build-python/ between builds;
KORVEL_CMAKE_ARGS adds arguments to its configuration. KORVEL_CMAKE_BUILD_DIR
names an existing CMake build of the checkout to reuse instead (such as
build/, for the same Python), whose configuration stays as it is."""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    """The version of CMakeLists.txt's project(), which `korvel --version`
    prints too."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(korvel VERSION ([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        reused = os.environ.get("KORVEL_CMAKE_BUILD_DIR")
        build_dir = (pathlib.Path(reused).resolve() if reused else
                     pathlib.Path(self.build_temp).resolve() / "cmake")
        if not (reused and (build_dir / "CMakeCache.txt").exists()):
            build_dir.mkdir(parents=True, exist_ok=True)
            # The base interpreter of a virtual environment has its headers
            # and the same extension ABI.
            python = getattr(sys, "_base_executable", None) or sys.executable
            subprocess.run([
                "cmake", "-S", str(ROOT), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release", f"-DPython3_EXECUTABLE={python}",
                "-DKORVEL_BUILD_PYTHON=ON", "-DKORVEL_BUILD_TESTS=OFF",
                "-DKORVEL_BUILD_BENCHMARKS=OFF",
            ] + shlex.split(os.environ.get("KORVEL_CMAKE_ARGS", "")), check=True)
        jobs = str(os.cpu_count() or 2)
        subprocess.run(["cmake", "--build", str(build_dir), "-j", jobs,
                        "--target", "korvel_python"], check=True)
        built = build_dir / "python" / "korvel" / (
            "_korvel" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.exists():
            raise RuntimeError(f"{built} is missing: the CMake build in "
                               f"{build_dir} is for another Python")
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, destination)


# setuptools' own build folders, apart from CMake's build/ of the checkout.
(ROOT / "build-python").mkdir(exist_ok=True)

setup(
    version=project_version(),
    package_dir={"": "python"},
    packages=["korvel", "korvel.dask"],
    package_data={"korvel": ["py.typed", "*.pyi"], "korvel.dask": ["*.pyi"]},
    ext_modules=[CMakeExtension("korvel._korvel")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-python"},
             "egg_info": {"egg_base": "build-python"}},
    zip_safe=False,
)
