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
import re
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
BACKEND_FILES = ("pyproject.toml", "README.md", "tools/build_backend/csdk_build.py", "standin/README.md")
DISTS = ("c_sdk", "vqsim", "vq-standin")


def env_without(*names, **extra):
    env = {k: v for k, v in os.environ.items() if k not in names}
    env.update(extra)
    return env


def run(command, env, cwd):
    result = subprocess.run(command, env=env, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True, timeout=120)
    assert result.returncode == 0, "%s failed:\n%s" % (" ".join(command), result.stdout)
    return result.stdout


def pip(args, cwd, **extra):
    # Offline and without dependencies, so no index and no find-links.
    env = env_without(*(SANITIZER + TREE + ("PIP_FIND_LINKS",)), CSDK_CMAKE_BUILD_DIR=BUILD_DIR, PIP_NO_INPUT="1",
                      PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_ROOT_USER_ACTION="ignore", **extra)
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
    shutil.copytree(os.path.join(ROOT, "standin", "python"), str(source / "standin" / "python"), dirs_exist_ok=True)
    return source


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    """The wheels `pip wheel` builds for this interpreter: c_sdk, vqsim and vq-standin."""
    tmp_path = tmp_path_factory.mktemp("wheel")
    for dist in DISTS:
        pip(["wheel", "--no-build-isolation", "--no-deps", "--no-index", "-w", str(tmp_path / dist),
             "--config-settings", "dist=" + dist, str(source_copy(tmp_path))], tmp_path)
    found = {dist: glob.glob(str(tmp_path / dist / "*.whl")) for dist in DISTS}
    assert all(len(paths) == 1 for paths in found.values()), found
    return {dist: paths[0] for dist, paths in found.items()}


# Each installs c_sdk and returns (site directory, directory of the module,
# PYTHONPATH for the stand-in's vqsim and vq where they are not installed).
STANDIN = os.path.join(ROOT, "standin", "python")


def cmake_install(tmp_path, wheels):
    prefix = tmp_path / "prefix"
    run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], env_without(*SANITIZER), tmp_path)
    site = prefix / cache_value("CSDK_INSTALL_PYTHONDIR")
    # By default the interpreter's own site directory, below its prefix.
    assert os.path.join(sys.prefix, cache_value("CSDK_INSTALL_PYTHONDIR")) in sys.path
    return site, site, [STANDIN]


def pip_install(tmp_path, wheels):
    target = tmp_path / "target"
    pip(["install", "--no-build-isolation", "--no-index", "--no-warn-script-location", "--target", str(target),
         str(source_copy(tmp_path))], tmp_path)
    return target, target, [STANDIN]


def wheel_install(tmp_path, wheels):
    target = tmp_path / "empty"
    target.mkdir()
    pip(["install", "--no-index", "--no-deps", "--target", str(target)] + [wheels[d] for d in DISTS], tmp_path)
    return target, target, []


def editable_install(tmp_path, wheels):
    target = tmp_path / "editable"
    pip(["install", "--no-index", "--no-deps", "--target", str(target), "-e", str(source_copy(tmp_path))], tmp_path)
    with open(str(target / "c_sdk-editable.pth")) as pth:
        module_dir = pth.read().strip()
    return target, module_dir, [STANDIN]


IMPORT_CHECK = """
import os, site, sys
site.addsitedir(sys.argv[2])  # with its .pth files
import c_sdk, vqsim
site = os.path.realpath(sys.argv[1])
assert os.path.dirname(os.path.realpath(c_sdk.__file__)) == site, c_sdk.__file__
assert os.path.samefile(vqsim.sdk().path, os.path.join(site, "c_sdk.libs", "libvqsdk.so")), vqsim.sdk().path
sim = vqsim.sdk()
sim.simulate(steps=3)
status, order = c_sdk.py_vqi_place_order(vqsim.encode(symbol="SHSE.600000", volume=100, side=1))
fills = []
c_sdk.py_vqi_set_data_callback(lambda text, data: fills.append(text) if text == "on_execution_report" else None)
print(status, vqsim.decode(order)["status"], c_sdk.py_vqi_run(), len(fills), c_sdk.py_vqi_strerror(42).decode(),
      c_sdk.vqi_get_c_version().decode().replace(" ", "_"))
"""


MYPY_SKIP = ("no /usr/bin/mypy" if not os.path.exists("/usr/bin/mypy") else
             "Debian's mypy cannot ask Python 3.12+ for its path" if sys.version_info >= (3, 12) else None)
MODULE = os.path.basename(glob.glob(os.path.join(BUILD_DIR or ".", "python", "c_sdk*.so"))[0]) if BUILD_DIR else ""
INSTALLED = [MODULE, "c_sdk-stubs/__init__.pyi", "c_sdk.libs/libvqsdk.so"]


@pytest.mark.parametrize("install, files", [
    (cmake_install, INSTALLED), (pip_install, INSTALLED),
    (wheel_install, INSTALLED + ["vqsim.py", "pytest_vqsim.py", "vq/__init__.py", "vq/constant.py", "vq/utils.py"]),
    (editable_install, ["c_sdk-editable.pth"]),
], ids=["cmake", "pip", "wheel", "editable"])
def test_installed_module_works_outside_the_tree(tmp_path, install, files, wheels):
    import c_sdk
    site, module_dir, pythonpath = install(tmp_path, wheels)
    names = sorted(os.path.relpath(path, str(site)) for path in glob.glob(str(site / "**"), recursive=True)
                   if os.path.isfile(path) and ".dist-info" not in path and "__pycache__" not in path)
    assert names == sorted(files)
    # pip's RECORD, or the one `cmake --install` writes, lists every file.
    recorded = set()
    for record in glob.glob(str(site / "*.dist-info" / "RECORD")):
        recorded |= {row[0] for row in csv.reader((site / record).read_text().splitlines())}
    assert set(names) <= recorded
    dynamic = subprocess.run(["readelf", "-d", os.path.join(str(module_dir), MODULE)], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
    assert "Library runpath: [$ORIGIN/c_sdk.libs]" in dynamic and "[libvqsdk.so]" in dynamic
    with open(os.path.join(str(module_dir), "c_sdk-stubs", "__init__.pyi")) as installed, \
            open(os.path.join(ROOT, "src", "c_sdk.pyi")) as shipped:
        assert installed.read() == shipped.read()
    workdir = tmp_path / "elsewhere"
    workdir.mkdir()
    out = run([sys.executable, "-c", IMPORT_CHECK, str(module_dir), str(site)],
              env_without(*TREE, PYTHONPATH=os.pathsep.join(pythonpath)), workdir)
    version = c_sdk.vqi_get_c_version().decode().replace(" ", "_")
    assert out.split() == ["0", "1", "0", "1", "vqsdk", "error", "42", version]
    if MYPY_SKIP is None:  # Debian's mypy, asking this interpreter for its path, finds the stub
        (workdir / "t.py").write_text("import c_sdk\nreveal_type(c_sdk.vqi_now)\n")
        out = run(["/usr/bin/mypy", "--no-incremental", "--python-executable", sys.executable, "t.py"],
                  {"PATH": "/usr/bin:/bin", "HOME": str(workdir), "PYTHONPATH": str(module_dir)}, workdir)
        assert 't.py:2: note: Revealed type is "def () -> builtins.int"' in out, out


def project_table():
    try:
        import tomllib
    except ImportError:
        import tomli as tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as source:
        return tomllib.load(source)["project"]


@pytest.mark.parametrize("dist, version, tag, files, readme, entry_points", [
    ("c_sdk", "+standin", TAG, INSTALLED, "README.md", None),
    # pytest finds vqsim's plugin (the replay fixture) through the entry point.
    ("vqsim", "", "py3-none-any", ["pytest_vqsim.py", "vqsim.py"], "standin/README.md",
     "[pytest11]\npytest_vqsim = pytest_vqsim\n\n"),
    ("vq-standin", "", "py3-none-any", ["vq/__init__.py", "vq/constant.py", "vq/utils.py"], "standin/README.md", None),
])
def test_wheel_is_tagged_for_the_interpreter_and_records_every_file(wheels, dist, version, tag, files, readme,
                                                                    entry_points):
    project = project_table()
    name, version = dist.replace("-", "_"), project["version"] + version
    wheel = wheels[dist]
    assert os.path.basename(wheel) == "%s-%s-%s.whl" % (name, version, tag)
    dist_info = "%s-%s.dist-info/" % (name, version)
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        files_ = {name: archive.read(name) for name in names}
    # Nothing but the distribution's own names: the stand-in's vq never
    # comes with c_sdk, where it would replace the platform's.
    assert names == sorted(files) + [dist_info + "METADATA", dist_info + "WHEEL"] + (
        [dist_info + "entry_points.txt"] if entry_points else []) + [dist_info + "RECORD"]
    assert files_.get(dist_info + "entry_points.txt", b"").decode() == (entry_points or "")

    wheel_file = files_[dist_info + "WHEEL"].decode().splitlines()
    purelib = "Root-Is-Purelib: " + ("false" if dist == "c_sdk" else "true")
    assert {"Wheel-Version: 1.0", purelib, "Tag: " + tag} <= set(wheel_file)
    metadata = files_[dist_info + "METADATA"].decode()
    headers, _, description = metadata.partition("\n\n")
    for line in ("Metadata-Version: 2.1", "Name: " + dist, "Version: " + version,
                 "Requires-Python: " + project["requires-python"], "License: LicenseRef-Proprietary",
                 "Classifier: Private :: Do Not Upload", "Description-Content-Type: text/markdown"):
        assert line in headers.splitlines()
    # `pip show` tells a stand-in build by its summary as well as its version.
    assert ("stand-in SDK for offline tests" in headers) == (dist == "c_sdk") and "Requires-Dist" not in headers
    with open(os.path.join(ROOT, readme)) as text:
        assert description == text.read()

    rows = list(csv.reader(io.StringIO(files_[dist_info + "RECORD"].decode())))
    assert rows[-1] == [dist_info + "RECORD", "", ""]
    assert sorted(row[0] for row in rows) == sorted(names)
    for name, digest, size in rows[:-1]:
        expected = base64.urlsafe_b64encode(hashlib.sha256(files_[name]).digest()).rstrip(b"=").decode()
        assert (digest, size) == ("sha256=" + expected, str(len(files_[name]))), name
    if dist == "c_sdk":
        extracted = os.path.join(os.path.dirname(wheel), MODULE)
        with open(extracted, "wb") as out:
            out.write(files_[MODULE])
        dynamic = subprocess.run(["readelf", "-d", extracted], stdout=subprocess.PIPE, universal_newlines=True).stdout
        assert "Library runpath: [$ORIGIN/c_sdk.libs]" in dynamic


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


@pytest.mark.parametrize("copy", [False, True], ids=["linked", "copied"])
def test_backend_configures_against_a_real_sdk_under_vqsdk_root(tmp_path, monkeypatch, copy):
    # A library with a versioned SONAME plays the real SDK; the configured
    # build shows what the wheel would link and install.
    sdk = tmp_path / "sdk"
    (sdk / "lib").mkdir(parents=True)
    (sdk / "include").mkdir()
    run(["cc", "-shared", "-o", str(sdk / "lib" / "libvqsdk.so.1.2"), "-Wl,-soname,libvqsdk.so.1", "-x", "c",
         os.devnull], env_without(*SANITIZER), tmp_path)
    os.symlink("libvqsdk.so.1.2", str(sdk / "lib" / "libvqsdk.so"))
    monkeypatch.setenv("VQSDK_ROOT", str(sdk))
    monkeypatch.delenv("VQSDK_LIBRARY", raising=False)
    monkeypatch.setenv("CSDK_CMAKE_ARGS", "-DCSDK_INSTALL_SDK_LIBRARY=%s" % ("ON" if copy else "OFF"))
    build = tmp_path / "build"
    run(backend().configure_command(str(build)), env_without(*SANITIZER), tmp_path)
    # Configured again without $VQSDK_ROOT (as a rebuild after an edit of
    # CMakeLists.txt does): the SDK's library and headers stay.
    run(["cmake", str(build)], env_without(*(SANITIZER + ("VQSDK_ROOT",))), tmp_path)
    with open(str(build / "CMakeCache.txt")) as cache:
        entries = dict(line.rstrip("\n").split("=", 1) for line in cache if "=" in line and line[0] not in "#/")
    assert entries["VQSDK_LIBRARY:FILEPATH"] == str(sdk / "lib" / "libvqsdk.so")
    assert entries["VQSDK_INCLUDE_DIR:PATH"] == str(sdk / "include")
    assert entries["CSDK_INSTALL_PYTHONDIR:STRING"] == "."
    scripts = glob.glob(str(build / "**" / "cmake_install.cmake"), recursive=True)
    installs = ""
    for script in scripts:
        with open(script) as source:
            installs += source.read()
    assert "c_sdk-stubs" in installs and "vqsim.py" not in installs
    # Copied: the library's file under its SONAME, the linker name a link to it.
    assert ('RENAME "libvqsdk.so.1"' in installs and "libvqsdk.so.1.2" in installs) == copy
    assert ('file(CREATE_LINK "libvqsdk.so.1"' in installs) == copy
    with open(str(build / "build.ninja")) as ninja:
        links = re.findall(r'-Wl,-rpath,"?([^"\s]*)', ninja.read())
    assert links == ["\\$$ORIGIN/c_sdk.libs"], links  # no path of the build machine


@pytest.mark.parametrize("settings, error", [
    ({}, "Requires-Dist: vq"), ({"vq-distribution": "vq-platform>=2.1"}, "Requires-Dist: vq-platform>=2.1"),
    ({"build-dir": "x"}, "unknown config setting 'build-dir'"), ({"dist": "vq"}, "dist='vq' is none of"),
    ({"vq-distribution": "vq\nRequires-Dist: x"}, "is not a distribution name"),
])
def test_backend_config_settings(monkeypatch, settings, error):
    csdk_build = backend()
    monkeypatch.delenv("CSDK_VQ_DISTRIBUTION", raising=False)
    if not error.startswith("Requires-Dist"):
        for hook in (csdk_build.get_requires_for_build_wheel, csdk_build.get_requires_for_build_editable):
            with pytest.raises(ValueError, match=re.escape(error)):
                hook(settings)
    else:  # against a real SDK: the platform's vq is required
        project = csdk_build.built_project(csdk_build.settings(settings), "sdk")
        assert error + "\n" in csdk_build.metadata(project) and project["version"] == "1.0.0"


@pytest.mark.parametrize("install", [cmake_install, wheel_install], ids=["cmake", "wheel"])
def test_uninstall_leaves_the_platforms_vq_alone(tmp_path, wheels, install):
    # The platform's vq, installed first where c_sdk goes.
    (tmp_path / "vq.py").write_text("PLATFORM = True\n")
    backend().write_wheel(str(tmp_path), [("vq/__init__.py", str(tmp_path / "vq.py"))],
                          {"name": "vq", "version": "9.0"}, ("py3", "none", "any"))
    site = tmp_path / "prefix" / cache_value("CSDK_INSTALL_PYTHONDIR") if install is cmake_install else tmp_path / "empty"
    pip(["install", "--no-index", "--no-deps", "--target", str(site), str(tmp_path / "vq-9.0-py3-none-any.whl")],
        tmp_path)
    before = sorted(glob.glob(str(site / "**"), recursive=True))
    if install is cmake_install:
        install(tmp_path, wheels)
    else:
        pip(["install", "--no-index", "--no-deps", "--target", str(site), wheels["c_sdk"]], tmp_path)
    listed = pip(["list", "--path", str(site)], tmp_path).split()
    assert listed[listed.index("vq") + 1] == "9.0" and listed[listed.index("c_sdk") + 1] == "1.0.0+standin"
    # (a folder of the test's own, whatever PEP 668 says of the interpreter's)
    pip(["uninstall", "-y", "c_sdk"], tmp_path, PYTHONPATH=str(site), PIP_BREAK_SYSTEM_PACKAGES="1")
    assert sorted(glob.glob(str(site / "**"), recursive=True)) == before
    assert (site / "vq" / "__init__.py").read_text() == "PLATFORM = True\n"
