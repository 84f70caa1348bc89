"""Installing c_sdk (`cmake --install` into a prefix, pip through pyproject.toml,
a wheel built by `pip wheel`) with the interpreter that runs the suite, and
importing the installed module from outside the source tree.  All of them
reuse the suite's build directory, so nothing is compiled again."""
import base64
import csv
import glob
import hashlib
import io
import os
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("CSDK_BUILD_DIR")
pytestmark = pytest.mark.skipif(not BUILD_DIR, reason="needs $CSDK_BUILD_DIR, the build ctest runs in")

# What a build tool must not inherit from a sanitizer run of the suite.
SANITIZER = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
# What must not lead the installed module back to the tree.
TREE = ("PYTHONPATH", "VQSDK_STANDIN_LIB", "LD_LIBRARY_PATH")
# The interpreter's wheel tag, as pip must find it in the file name.
TAG = "cp%d%d-cp%d%d-linux_x86_64" % (sys.version_info[:2] * 2)
# What the backend needs of the tree; the build directory is given, so the
# tree itself is neither needed nor written to.
BACKEND_FILES = ("pyproject.toml", "README.md", "tools/build_backend/csdk_build.py")


def env_without(*names, **extra):
    env = {k: v for k, v in os.environ.items() if k not in names}
    env.update(extra)
    return env


def run(command, env, cwd):
    result = subprocess.run(command, env=env, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True, timeout=120)
    assert result.returncode == 0, "%s failed:\n%s" % (" ".join(command), result.stdout)
    return result.stdout


def pip(args, cwd):
    # Offline and without dependencies, so no index and no find-links.
    env = env_without(*(SANITIZER + TREE + ("PIP_FIND_LINKS",)), CSDK_CMAKE_BUILD_DIR=BUILD_DIR, PIP_NO_INPUT="1",
                      PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_ROOT_USER_ACTION="ignore")
    out = run([sys.executable, "-m", "pip"] + args, env, cwd)
    assert "DEPRECATION" not in out and "WARNING" not in out, out
    return out


def cache_value(key):
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.split("=")[0].split(":")[0] == key:
                return line.rstrip("\n").split("=", 1)[1]
    raise KeyError(key)


def source_copy(tmp_path):
    source = tmp_path / "source"
    for name in BACKEND_FILES:
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(os.path.join(ROOT, name), str(source / name))
    return source


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel `pip wheel` builds for this interpreter."""
    tmp_path = tmp_path_factory.mktemp("wheel")
    pip(["wheel", "--no-build-isolation", "--no-deps", "--no-index", "-w", str(tmp_path / "dist"),
         str(source_copy(tmp_path))], tmp_path)
    wheels = glob.glob(str(tmp_path / "dist" / "*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def cmake_install(tmp_path, wheel):
    prefix = tmp_path / "prefix"
    run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], env_without(*SANITIZER), tmp_path)
    return prefix / cache_value("CSDK_INSTALL_PYTHONDIR")


def pip_install(tmp_path, wheel):
    target = tmp_path / "target"
    pip(["install", "--no-build-isolation", "--no-index", "--no-warn-script-location", "--target", str(target),
         str(source_copy(tmp_path))], tmp_path)
    return target


def wheel_install(tmp_path, wheel):
    target = tmp_path / "empty"
    target.mkdir()
    pip(["install", "--no-index", "--no-deps", "--target", str(target), wheel], tmp_path)
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
print(status, vqsim.decode(order)["status"], c_sdk.py_vqi_run(), len(fills), c_sdk.py_vqi_strerror(42).decode(),
      c_sdk.vqi_get_c_version().decode().replace(" ", "_"))
"""


@pytest.mark.parametrize("install", [cmake_install, pip_install, wheel_install], ids=["cmake", "pip", "wheel"])
def test_installed_module_works_outside_the_tree(tmp_path, install, wheel):
    import c_sdk
    site = install(tmp_path, wheel)
    names = sorted(os.path.relpath(path, str(site)) for path in glob.glob(str(site / "**"), recursive=True)
                   if os.path.isfile(path) and ".dist-info" not in path and "__pycache__" not in path)
    module = os.path.basename(glob.glob(os.path.join(BUILD_DIR, "python", "c_sdk*.so"))[0])
    assert names == sorted([module, "c_sdk.pyi", "libvqsdk.so", "vqsim.py",
                            "vq/__init__.py", "vq/constant.py", "vq/utils.py"])
    if install is not cmake_install:
        # pip records the installed files, so that it can uninstall them.
        with open(glob.glob(str(site / "c_sdk-*.dist-info" / "RECORD"))[0]) as record:
            recorded = {row[0] for row in csv.reader(record)}
        assert set(names) <= recorded
    dynamic = subprocess.run(["readelf", "-d", str(site / module)], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
    assert "(RUNPATH)" in dynamic and "[$ORIGIN]" in dynamic and "[libvqsdk.so]" in dynamic
    with open(str(site / "c_sdk.pyi")) as installed, open(os.path.join(ROOT, "src", "c_sdk.pyi")) as shipped:
        assert installed.read() == shipped.read()
    workdir = tmp_path / "elsewhere"
    workdir.mkdir()
    out = run([sys.executable, "-c", IMPORT_CHECK, str(site)], env_without(*TREE, PYTHONPATH=str(site)), workdir)
    version = c_sdk.vqi_get_c_version().decode().replace(" ", "_")
    assert out.split() == ["0", "1", "0", "1", "vqsdk", "error", "42", version]


def project_table():
    try:
        import tomllib
    except ImportError:
        import tomli as tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as source:
        return tomllib.load(source)["project"]


def test_wheel_is_tagged_for_the_interpreter_and_records_every_file(wheel):
    project = project_table()
    assert os.path.basename(wheel) == "c_sdk-%s-%s.whl" % (project["version"], TAG)
    dist_info = "c_sdk-%s.dist-info/" % project["version"]
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        files = {name: archive.read(name) for name in names}
    module = os.path.basename(glob.glob(os.path.join(BUILD_DIR, "python", "c_sdk*.so"))[0])
    assert {module, "c_sdk.pyi", "libvqsdk.so", "vqsim.py", "vq/__init__.py"} <= set(names)
    assert names[-3:] == [dist_info + "METADATA", dist_info + "WHEEL", dist_info + "RECORD"]

    wheel_file = files[dist_info + "WHEEL"].decode().splitlines()
    assert {"Wheel-Version: 1.0", "Root-Is-Purelib: false", "Tag: " + TAG} <= set(wheel_file)
    metadata = files[dist_info + "METADATA"].decode()
    headers, _, description = metadata.partition("\n\n")
    for line in ("Metadata-Version: 2.1", "Name: c_sdk", "Version: " + project["version"],
                 "Summary: " + project["description"], "Requires-Python: " + project["requires-python"],
                 "Description-Content-Type: text/markdown"):
        assert line in headers.splitlines()
    with open(os.path.join(ROOT, "README.md")) as readme:
        assert description == readme.read()

    rows = list(csv.reader(io.StringIO(files[dist_info + "RECORD"].decode())))
    assert rows[-1] == [dist_info + "RECORD", "", ""]
    assert sorted(row[0] for row in rows) == sorted(names)
    for name, digest, size in rows[:-1]:
        expected = base64.urlsafe_b64encode(hashlib.sha256(files[name]).digest()).rstrip(b"=").decode()
        assert (digest, size) == ("sha256=" + expected, str(len(files[name]))), name

    extracted = os.path.join(os.path.dirname(wheel), module)
    with open(extracted, "wb") as out:
        out.write(files[module])
    dynamic = subprocess.run(["readelf", "-d", extracted], stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert "Library runpath: [$ORIGIN]" in dynamic


TOML_SAMPLE = r"""# comment
[build-system]
requires = []
a.b = "x\u00e9\n\"q\""   # trailing comment
c = [1, -2_000, true, 'lit\', { d = "e", f.g = [] },]
["quoted key".t]
h = false
[[arr]]
i = 1
[[arr]]
i = 2
[arr.sub]
j = 'k'
"""


def backend():
    sys.path.insert(0, os.path.join(ROOT, "tools", "build_backend"))
    try:
        import csdk_build
    finally:
        sys.path.pop(0)
    return csdk_build


with open(os.path.join(ROOT, "pyproject.toml")) as _pyproject:
    PYPROJECT = _pyproject.read()


@pytest.mark.parametrize("text", [PYPROJECT, TOML_SAMPLE],
                         ids=["pyproject", "sample"])
def test_backend_reads_toml_like_tomllib_without_it(text):
    # Interpreters before 3.11 have no tomllib: the backend parses itself.
    try:
        import tomllib
    except ImportError:
        import tomli as tomllib
    assert backend().parse_toml(text) == tomllib.loads(text)


def test_backend_configures_against_a_real_sdk_under_vqsdk_root(tmp_path, monkeypatch):
    # A copy of the stand-in library plays the real SDK; the configured
    # build shows what the wheel would link and install.
    sdk = tmp_path / "sdk"
    (sdk / "lib").mkdir(parents=True)
    shutil.copy(os.environ.get("VQSDK_STANDIN_LIB") or os.path.join(BUILD_DIR, "standin", "libvqsdk.so"),
                str(sdk / "lib"))
    monkeypatch.setenv("VQSDK_ROOT", str(sdk))
    monkeypatch.delenv("VQSDK_LIBRARY", raising=False)
    monkeypatch.delenv("CSDK_CMAKE_ARGS", raising=False)
    build = tmp_path / "build"
    run(backend().configure_command(str(build)), env_without(*SANITIZER), tmp_path)
    with open(str(build / "CMakeCache.txt")) as cache:
        entries = dict(line.rstrip("\n").split("=", 1) for line in cache if "=" in line and line[0] not in "#/")
    assert entries["VQSDK_LIBRARY:FILEPATH"] == str(sdk / "lib" / "libvqsdk.so")
    assert entries["CSDK_INSTALL_PYTHONDIR:STRING"] == "."
    scripts = glob.glob(str(build / "**" / "cmake_install.cmake"), recursive=True)
    installs = ""
    for script in scripts:
        with open(script) as source:
            installs += source.read()
    assert "c_sdk.pyi" in installs
    assert "vqsim.py" not in installs and "libvqsdk.so" not in installs
