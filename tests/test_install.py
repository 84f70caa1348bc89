"""Installing c_sdk (`cmake --install` into a prefix, `pip install --target`)
and importing the installed module from outside the source tree.  Both reuse
the suite's build directory, so nothing is compiled again."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("CSDK_BUILD_DIR")
pytestmark = pytest.mark.skipif(not BUILD_DIR, reason="needs $CSDK_BUILD_DIR, the build ctest runs in")

# What a build tool must not inherit from a sanitizer run of the suite.
SANITIZER = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
# What must not lead the installed module back to the tree.
TREE = ("PYTHONPATH", "VQSDK_STANDIN_LIB", "LD_LIBRARY_PATH")


def env_without(*names, **extra):
    env = {k: v for k, v in os.environ.items() if k not in names}
    env.update(extra)
    return env


def run(command, env, cwd):
    result = subprocess.run(command, env=env, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True, timeout=120)
    assert result.returncode == 0, "%s failed:\n%s" % (" ".join(command), result.stdout)
    return result.stdout


def cache_value(key):
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.split("=")[0].split(":")[0] == key:
                return line.rstrip("\n").split("=", 1)[1]
    raise KeyError(key)


def cmake_install(tmp_path):
    prefix = tmp_path / "prefix"
    run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], env_without(*SANITIZER), tmp_path)
    return prefix / cache_value("CSDK_INSTALL_PYTHONDIR")


def pip_install(tmp_path):
    # pip gets a copy of setup.py: the build directory is given, so the tree
    # itself is neither needed nor written to.
    source = tmp_path / "source"
    source.mkdir()
    for name in ("setup.py", "README.md"):
        shutil.copy(os.path.join(ROOT, name), str(source / name))
    target = tmp_path / "target"
    env = env_without(*(SANITIZER + TREE), CSDK_CMAKE_BUILD_DIR=BUILD_DIR, PIP_NO_INPUT="1")
    run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-warn-script-location",
         "--target", str(target), str(source)], env, tmp_path)
    assert glob.glob(str(target / "c_sdk-*.egg-info"))
    return target


IMPORT_CHECK = """
import os, sys
import c_sdk, vqsim
site = os.path.realpath(sys.argv[1])
assert os.path.dirname(os.path.realpath(c_sdk.__file__)) == site, c_sdk.__file__
assert os.path.dirname(os.path.realpath(vqsim.sdk().path)) == site, vqsim.sdk().path
sim = vqsim.sdk()
sim.simulate(steps=3)
status, order = c_sdk.py_vqi_place_order(vqsim.encode(symbol="SHSE.600000", volume=100, side=1))
fills = []
c_sdk.py_vqi_set_data_callback(lambda text, data: fills.append(text) if text == "on_execution_report" else None)
print(status, vqsim.decode(order)["status"], c_sdk.py_vqi_run(), len(fills), c_sdk.py_vqi_strerror(42).decode())
"""


@pytest.mark.parametrize("install", [cmake_install, pip_install], ids=["cmake", "pip"])
def test_installed_module_works_outside_the_tree(tmp_path, install):
    site = install(tmp_path)
    names = sorted(os.path.relpath(path, str(site)) for path in glob.glob(str(site / "**"), recursive=True)
                   if os.path.isfile(path) and ".egg-info" not in path)
    module = os.path.basename(glob.glob(os.path.join(BUILD_DIR, "python", "c_sdk*.so"))[0])
    assert names == sorted([module, "c_sdk.pyi", "libvqsdk.so", "vqsim.py",
                            "vq/__init__.py", "vq/constant.py", "vq/utils.py"])
    dynamic = subprocess.run(["readelf", "-d", str(site / module)], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
    assert "(RUNPATH)" in dynamic and "[$ORIGIN]" in dynamic and "[libvqsdk.so]" in dynamic
    with open(str(site / "c_sdk.pyi")) as installed, open(os.path.join(ROOT, "src", "c_sdk.pyi")) as shipped:
        assert installed.read() == shipped.read()
    workdir = tmp_path / "elsewhere"
    workdir.mkdir()
    out = run([sys.executable, "-c", IMPORT_CHECK, str(site)], env_without(*TREE, PYTHONPATH=str(site)), workdir)
    assert out.split() == ["0", "1", "0", "1", "vqsdk", "error", "42"]
