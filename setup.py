"""Installs c_sdk as a Python package, built by CMake:

    python3.8 -m pip install --no-build-isolation .
    python3.8 -m pip install --no-build-isolation --target DIR .   # or --prefix DIR, --user

The build runs CMake (Ninja when available) in build-pip/cmake and installs
what `cmake --install` installs (the module, c_sdk.pyi and, with the stand-in
SDK, libvqsdk.so, vqsim.py and the stand-in vq package) into site-packages.
The module finds libvqsdk.so next to itself (RUNPATH $ORIGIN).

Environment:
  VQSDK_LIBRARY=/path/libvqsdk.so or VQSDK_ROOT=/opt/vqsdk
                          build against the real SDK instead of the stand-in
  CSDK_CMAKE_ARGS         further CMake arguments, shell-quoted
                          (e.g. "-DCSDK_INSTALL_SDK_LIBRARY=ON")
  CSDK_CMAKE_BUILD_DIR    the CMake build directory to use; one that is
                          already configured is built as it is configured
"""
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def cmake_cache(build_dir, key):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            name, _, value = line.rstrip("\n").partition("=")
            if name.split(":")[0] == key:
                return value
    raise RuntimeError("%s is not set in %s/CMakeCache.txt" % (key, build_dir))


class CMakeBuild(build_ext):
    """Builds the extension with CMake instead of the compiler setuptools knows."""

    def run(self):
        for ext in self.extensions:
            self.build_cmake(ext)

    def build_cmake(self, ext):
        build_dir = os.path.abspath(os.environ.get("CSDK_CMAKE_BUILD_DIR") or os.path.join(HERE, "build-pip", "cmake"))
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            configure = ["cmake", "-S", HERE, "-B", build_dir, "-DPYTHON=" + sys.executable,
                         "-DCSDK_BUILD_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"]
            if shutil.which("ninja"):
                configure += ["-G", "Ninja"]
            if os.environ.get("VQSDK_LIBRARY"):
                configure.append("-DVQSDK_LIBRARY=" + os.environ["VQSDK_LIBRARY"])
            configure += shlex.split(os.environ.get("CSDK_CMAKE_ARGS", ""))
            self.spawn(configure)
        self.spawn(["cmake", "--build", build_dir])

        # `cmake --install` into a staging prefix; its module directory is
        # what this package installs.
        staging = tempfile.mkdtemp(prefix="c_sdk-install-")
        try:
            self.spawn(["cmake", "--install", build_dir, "--prefix", staging])
            installed = os.path.join(staging, cmake_cache(build_dir, "CSDK_INSTALL_PYTHONDIR"))
            module = "c_sdk" + sysconfig.get_config_var("EXT_SUFFIX")
            if not os.path.exists(os.path.join(installed, module)):
                raise RuntimeError("%s has no %s: is %s configured for %s?" % (installed, module, build_dir,
                                                                               sys.executable))
            target = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
            os.makedirs(target, exist_ok=True)
            shutil.copytree(installed, target, dirs_exist_ok=True)
        finally:
            shutil.rmtree(staging, ignore_errors=True)


def long_description():
    with open(os.path.join(HERE, "README.md")) as readme:
        return readme.read()


setup(
    name="c_sdk",
    version="1.0.0",
    description="CPython 3.8 binding of the trading platform's native SDK (libvqsdk.so)",
    long_description=long_description(),
    long_description_content_type="text/markdown",
    python_requires="~=3.8.0",
    ext_modules=[Extension("c_sdk", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
    zip_safe=False,
)
