"""The build backend of c_sdk (PEP 517 and PEP 660), written with the
standard library only, so that every supported interpreter can build without
setuptools, wheel or a network, with or without build isolation:

    python3.X -m pip install .                       # or --no-build-isolation
    python3.X -m pip wheel -w DIR .
    python3.X -m pip install -e .                    # editable
    python3.X -m pip wheel --config-settings dist=vqsim -w DIR .

One tree, three distributions (config setting `dist`):
  c_sdk       the extension module, its stub-only package c_sdk-stubs and,
              built with the stand-in SDK, the stand-in library in
              c_sdk.libs/ (version 1.0.0+standin; against a real SDK 1.0.0,
              requiring the platform's vq distribution)
  vqsim       the stand-in's control module (pure Python)
  vq-standin  the stand-in `vq` package (pure Python)
The last two are described in pyproject.toml's [tool.csdk_build.*] tables
and take the rest of their metadata from [project].

build_wheel configures and builds c_sdk with CMake (Ninja when it is
installed) for the interpreter that runs it, installs the result with
`cmake --install` into a staging folder and zips what lands in the module
directory, with the metadata, into a wheel tagged for that interpreter
(cp3X-cp3X-linux_x86_64).  Nothing in the wheel depends on where the tree
or the build is or on the time of the build: the binaries are built with
their paths mapped out, and zip entries carry $SOURCE_DATE_EPOCH (else
1980-01-01).  build_editable builds in build-editable/cp3X (or
$CSDK_CMAKE_BUILD_DIR) and installs a .pth file naming that build's module
directory: `cmake --build build-editable/cp3X` then rebuilds in place.
build_sdist packs the files git tracks, reproducibly with $SOURCE_DATE_EPOCH.

Config settings (pip --config-settings KEY=VALUE); any other key is an error:
  dist=NAME             c_sdk (default), vqsim or vq-standin
  vq-distribution=REQ   what a real-SDK c_sdk requires (default
                        $CSDK_VQ_DISTRIBUTION, else vq)

Environment:
  VQSDK_LIBRARY=/path/libvqsdk.so or VQSDK_ROOT=/opt/vqsdk
                        build against the real SDK instead of the stand-in
  CSDK_CMAKE_ARGS       further CMake arguments, shell-quoted
                        (e.g. "-DCSDK_INSTALL_SDK_LIBRARY=ON")
  CSDK_PYTHON_HEADERS=.../include/python3.X
                        build c_sdk for the CPython of these headers instead
                        of the running one, without running it (the sid
                        system's 3.14 and 3.15 with this machine's compiler
                        and C library: see ./dev wheels)
  CSDK_CMAKE_BUILD_DIR  the CMake build directory to use; one that is
                        already configured is built as it is configured.
                        Without it: build-pip/cp3X (build-editable/cp3X for
                        an editable install) in the source tree, configured
                        afresh whenever the interpreter, the variables above
                        or the CMake arguments change.

Run as a script, `csdk_build.py dist-info SITE KIND VQ FILE...` writes the
dist-info of what `cmake --install` put into SITE (KIND: standin or sdk).
"""
import base64
import configparser
import csv
import gzip
import hashlib
import io
import json
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GENERATOR = "csdk_build"
# What an own build directory was configured with (compared on every build).
STAMP = "csdk-configure.json"
MODULE_DIST = "c_sdk"
SETTINGS = ("dist", "vq-distribution")
# A requirement on the platform's vq: a distribution name and, if wanted, a
# version specifier (PEP 508 without markers or extras).
REQUIREMENT = re.compile(r"^[A-Za-z0-9](?:[A-Za-z0-9._-]*[A-Za-z0-9])?(?:\s*(?:[<>!=~]=?|===)\s*[A-Za-z0-9.*+!_-]+"
                         r"(?:\s*,\s*(?:[<>!=~]=?|===)\s*[A-Za-z0-9.*+!_-]+)*)?$")


# --- PEP 517 and PEP 660 hooks ---------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    settings(config_settings)
    return []


def get_requires_for_build_sdist(config_settings=None):
    settings(config_settings)
    return []


def get_requires_for_build_editable(config_settings=None):
    settings(config_settings)
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return write_metadata(metadata_directory, settings(config_settings), editable=False)


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return write_metadata(metadata_directory, settings(config_settings), editable=True)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return build(wheel_directory, settings(config_settings), editable=False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return build(wheel_directory, settings(config_settings), editable=True)


def build_sdist(sdist_directory, config_settings=None):
    config = settings(config_settings)
    if config["dist"] != MODULE_DIST:
        raise RuntimeError("%s has no sdist of its own: c_sdk's sdist holds the whole tree and builds it "
                           "with --config-settings dist=%s" % (config["dist"], config["dist"]))
    project = read_project()
    base = "%s-%s" % (normalized_name(project["name"]), project["version"])
    filename = base + ".tar.gz"
    epoch = source_date_epoch()
    os.makedirs(sdist_directory, exist_ok=True)
    partial = os.path.join(sdist_directory, filename + ".part")
    # The gzip header holds neither a file name nor the time of the build.
    with open(partial, "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=epoch or 0) as compressed, \
            tarfile.open(fileobj=compressed, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name in source_files():
            path = os.path.join(ROOT, name)
            info = tar.gettarinfo(path, arcname=base + "/" + name)
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            info.mtime = int(info.mtime) if epoch is None else epoch
            if info.isreg():
                info.mode = 0o755 if info.mode & 0o111 else 0o644
                with open(path, "rb") as data:
                    tar.addfile(info, data)
            else:
                tar.addfile(info)
        pkg_info = metadata(project).encode("utf-8")
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size = len(pkg_info)
        info.mode = 0o644
        info.mtime = int(time.time()) if epoch is None else epoch
        tar.addfile(info, io.BytesIO(pkg_info))
    os.replace(partial, os.path.join(sdist_directory, filename))
    return filename


def settings(config_settings):
    """The config settings, checked: an unknown key or value is an error."""
    given = dict(config_settings or {})
    unknown = sorted(set(given) - set(SETTINGS))
    if unknown:
        raise ValueError("csdk_build: unknown config setting%s %s (known: %s)" % (
            "s" if len(unknown) > 1 else "", ", ".join(map(repr, unknown)), ", ".join(SETTINGS)))
    for key, value in given.items():
        if not isinstance(value, str):
            raise ValueError("csdk_build: config setting %r given more than once: %r" % (key, value))
    dists = [MODULE_DIST] + sorted(extra_dists(read_pyproject()))
    config = {"dist": given.get("dist", MODULE_DIST),
              "vq": given.get("vq-distribution", os.environ.get("CSDK_VQ_DISTRIBUTION") or "vq").strip()}
    if config["dist"] not in dists:
        raise ValueError("csdk_build: dist=%r is none of %s" % (config["dist"], ", ".join(dists)))
    if not REQUIREMENT.match(config["vq"]):
        raise ValueError("csdk_build: vq-distribution=%r is not a distribution name with an optional version "
                         "specifier" % config["vq"])
    return config


# --- Metadata --------------------------------------------------------------

# The [project] keys this backend writes into METADATA; any other key is
# refused rather than left out of the package unnoticed.
PROJECT_KEYS = {"name", "version", "description", "readme", "requires-python", "license", "classifiers",
                "keywords", "dependencies", "urls"}
# The keys of a [tool.csdk_build.NAME] table: a pure-Python distribution
# holding `files` (files or directories) below `root`, with the
# `entry-points` ({group: {name: object}}) of [project.entry-points].
EXTRA_KEYS = {"description", "readme", "root", "files", "entry-points"}


def read_pyproject():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as source:
        return load_toml(source.read())


def read_project(dist=MODULE_DIST, pyproject=None):
    """The metadata of one distribution, as a [project] table."""
    pyproject = pyproject or read_pyproject()
    project = pyproject.get("project")
    if not project or "name" not in project or "version" not in project:
        raise RuntimeError("pyproject.toml: [project] needs a name and a version")
    unknown = sorted(set(project) - PROJECT_KEYS)
    if unknown:
        raise RuntimeError("pyproject.toml: [project] keys this backend does not write: " + ", ".join(unknown))
    if dist == MODULE_DIST:
        return project
    extra = extra_dists(pyproject)[dist]
    unknown = sorted(set(extra) - EXTRA_KEYS)
    if unknown or "files" not in extra:
        raise RuntimeError("pyproject.toml: [tool.csdk_build.%s] needs files and takes only %s" % (
            dist, ", ".join(sorted(EXTRA_KEYS))))
    result = {key: value for key, value in project.items() if key not in ("readme", "dependencies")}
    result.update(extra, name=dist)
    return result


def extra_dists(pyproject):
    return pyproject.get("tool", {}).get("csdk_build", {})


def normalized_name(name):
    return re.sub(r"[-_.]+", "_", name).lower()


def readme(project):
    """(content type, text) of the [project] readme, or None."""
    value = project.get("readme")
    if value is None:
        return None
    if isinstance(value, str):
        value = {"file": value}
    if "file" in value:
        with open(os.path.join(ROOT, value["file"]), encoding="utf-8") as source:
            text = source.read()
        extension = os.path.splitext(value["file"])[1].lower()
    else:
        text, extension = value["text"], ""
    content_type = value.get("content-type") or {".md": "text/markdown", ".rst": "text/x-rst"}.get(
        extension, "text/plain")
    return content_type, text


def metadata(project):
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + project["version"]]
    if project.get("description"):
        lines.append("Summary: " + project["description"])
    if project.get("keywords"):
        lines.append("Keywords: " + ",".join(project["keywords"]))
    for label, url in project.get("urls", {}).items():
        lines.append("Project-URL: %s, %s" % (label, url))
    if project.get("license"):
        lines.append("License: " + project["license"]["text"])
    if project.get("requires-python"):
        lines.append("Requires-Python: " + project["requires-python"])
    lines += ["Classifier: " + value for value in project.get("classifiers", [])]
    lines += ["Requires-Dist: " + value for value in project.get("dependencies", [])]
    description = readme(project)
    if description:
        lines.append("Description-Content-Type: " + description[0])
        return "\n".join(lines) + "\n\n" + description[1]
    return "\n".join(lines) + "\n"


def built_project(config, kind):
    """The metadata of what is built: for c_sdk, `kind` is "standin" (the
    stand-in SDK: a local version, no requirement on the platform's vq) or
    "sdk" (a real SDK, which needs the platform's vq)."""
    project = dict(read_project(config["dist"]))
    if config["dist"] == MODULE_DIST:
        if kind == "standin":
            project["version"] += "+standin"
            project["description"] += ", built with the stand-in SDK for offline tests"
        else:
            project["description"] += ", built against the real SDK"
            project["dependencies"] = list(project.get("dependencies", [])) + [config["vq"]]
    return project


def dist_info_name(project):
    return "%s-%s.dist-info" % (normalized_name(project["name"]), project["version"])


def target_headers():
    """The include directory of the CPython to build for without running it,
    and its (major, minor) version; None for the running interpreter."""
    headers = os.environ.get("CSDK_PYTHON_HEADERS")
    if not headers:
        return None
    try:
        with open(os.path.join(headers, "patchlevel.h")) as source:
            text = source.read()
        version = tuple(int(re.search(r"#define PY_%s_VERSION\s+(\d+)" % part, text).group(1))
                        for part in ("MAJOR", "MINOR"))
    except (OSError, AttributeError):
        raise RuntimeError("CSDK_PYTHON_HEADERS=%s holds no CPython headers" % headers)
    return os.path.abspath(headers), version


def wheel_tag(config):
    """(python, abi, platform) tags of the interpreter built for, for c_sdk."""
    if config["dist"] != MODULE_DIST:
        return "py3", "none", "any"
    if sys.implementation.name != "cpython":
        raise RuntimeError("c_sdk is a CPython extension module; %s is %s" % (sys.executable,
                                                                             sys.implementation.name))
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    target = target_headers()
    if target:  # only interpreters with the lock are built for
        python = "cp%d%d" % target[1]
        return python, python, platform
    python = "cp%d%d" % sys.version_info[:2]
    abi = python + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    return python, abi, platform


def extension_suffix():
    target = target_headers()
    if target:
        return ".cpython-%d%d-%s.so" % (target[1] + (sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu",))
    return sysconfig.get_config_var("EXT_SUFFIX")


def metadata_files(project, tag):
    """The dist-info files besides RECORD, as (name, bytes)."""
    wheel = "Wheel-Version: 1.0\nGenerator: %s\nRoot-Is-Purelib: %s\nTag: %s\n" % (
        GENERATOR, "true" if tag[1] == "none" else "false", "-".join(tag))
    files = [("METADATA", metadata(project).encode("utf-8")), ("WHEEL", wheel.encode("utf-8"))]
    groups = project.get("entry-points")
    if groups:
        entry_points = configparser.ConfigParser(interpolation=None)
        entry_points.optionxform = str  # names keep their case
        for group, entries in sorted(groups.items()):
            entry_points[group] = dict(sorted(entries.items()))
        text = io.StringIO()
        entry_points.write(text)
        files.append(("entry_points.txt", text.getvalue().encode("utf-8")))
    return files


def write_metadata(metadata_directory, config, editable):
    kind = None
    if config["dist"] == MODULE_DIST:
        # The CMake cache settles stand-in or real SDK, for the metadata as
        # for the wheel built after it.
        kind = sdk_kind(cmake_configure(wheel_tag(config), editable))
    project = built_project(config, kind)
    dist_info = os.path.join(metadata_directory, dist_info_name(project))
    os.makedirs(dist_info, exist_ok=True)
    for name, data in metadata_files(project, wheel_tag(config)):
        with open(os.path.join(dist_info, name), "wb") as out:
            out.write(data)
    return os.path.basename(dist_info)


def build(wheel_directory, config, editable):
    tag = wheel_tag(config)
    if config["dist"] != MODULE_DIST:
        project = built_project(config, None)
        if editable:
            return write_wheel(wheel_directory, editable_tree(project), project, tag)
        return write_wheel(wheel_directory, pure_tree(project), project, tag)
    build_dir = cmake_configure(tag, editable)
    kind = sdk_kind(build_dir)
    if not editable and kind == "sdk" and cache_flag(build_dir, "CSDK_SDK_RUNPATH") \
            and not cache_flag(build_dir, "CSDK_INSTALL_SDK_LIBRARY"):
        # A given build directory, configured for this machine.
        raise RuntimeError("%s gives the module the SDK library's directory as its RUNPATH, a path of this machine "
                           "that a wheel must not hold: configure it with -DCSDK_SDK_RUNPATH=OFF" % build_dir)
    run(["cmake", "--build", build_dir])
    project = built_project(config, kind)
    if editable:
        # The build's module directory on sys.path (the stub and c_sdk.libs
        # lie next to the module there).
        module_dir = os.path.join(build_dir, "python")
        return write_wheel(wheel_directory, [], project, tag, pth=module_dir)
    staging = tempfile.mkdtemp(prefix="c_sdk-wheel-")
    try:
        root = cmake_install(build_dir, staging)
        return write_wheel(wheel_directory, tree_files(root, root), project, tag)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def pure_tree(project):
    """(archive name, path) of what a pure-Python distribution holds."""
    root = os.path.join(ROOT, project["root"])
    files = []
    for entry in project["files"]:
        path = os.path.join(root, entry)
        if os.path.isdir(path):
            files += [(entry + "/" + name, source) for name, source in tree_files(path, path)]
        elif os.path.isfile(path):
            files.append((entry, path))
        else:
            raise RuntimeError("pyproject.toml: %s of %s does not exist" % (path, project["name"]))
    return sorted(files)


def editable_tree(project):
    """An editable pure-Python distribution: build-editable/NAME/ holds a
    link to each of its files or directories in the tree (and nothing
    else); the .pth file puts that folder on sys.path."""
    folder = os.path.join(ROOT, "build-editable", project["name"])
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for entry in project["files"]:
        os.symlink(os.path.join(ROOT, project["root"], entry), os.path.join(folder, entry))
    return folder


# --- CMake -----------------------------------------------------------------

def run(command):
    # Progress to stderr: a PEP 517 frontend may read the hook's stdout.
    print("+ " + " ".join(shlex.quote(part) for part in command), file=sys.stderr, flush=True)
    subprocess.check_call(command, stdout=sys.stderr)


def cmake_cache(build_dir, key):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            name, _, value = line.rstrip("\n").partition("=")
            if name.split(":")[0] == key:
                return value
    raise RuntimeError("%s is not set in %s/CMakeCache.txt" % (key, build_dir))


def cache_flag(build_dir, key):
    return cmake_cache(build_dir, key).upper() in ("ON", "1", "TRUE", "YES", "Y")


def sdk_kind(build_dir):
    return "sdk" if cmake_cache(build_dir, "VQSDK_LIBRARY") else "standin"


def configure_command(build_dir, editable=False):
    command = ["cmake", "-S", ROOT, "-B", build_dir]
    if shutil.which("ninja"):
        command += ["-G", "Ninja"]
    target = target_headers()
    if target and editable:
        raise RuntimeError("an editable install is for the running interpreter: unset CSDK_PYTHON_HEADERS")
    command.append("-DCSDK_PYTHON_HEADERS=" + target[0] if target else "-DPYTHON=" + sys.executable)
    command += ["-DCSDK_BUILD_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release",
                "-DCSDK_INSTALL_DIST_INFO=OFF"]
    if not editable:
        # "." puts the module and what goes with it at the root of the
        # staging prefix, which is the root of the wheel.  No path of this
        # machine goes into it.
        command += ["-DCSDK_INSTALL_PYTHONDIR=.", "-DCSDK_SDK_RUNPATH=OFF", "-DCSDK_REPRODUCIBLE=ON"]
    for name in ("VQSDK_LIBRARY", "VQSDK_ROOT"):
        if os.environ.get(name):
            command.append("-D%s=%s" % (name, os.environ[name]))
    return command + shlex.split(os.environ.get("CSDK_CMAKE_ARGS", ""))


def cmake_configure(tag, editable):
    """Configures where needed; returns the build directory."""
    given = os.environ.get("CSDK_CMAKE_BUILD_DIR")
    build_dir = os.path.abspath(given or os.path.join(ROOT, "build-editable" if editable else "build-pip", tag[1]))
    configured = os.path.exists(os.path.join(build_dir, "CMakeCache.txt"))
    command = configure_command(build_dir, editable)
    if given:
        if not configured:
            run(command)
        return build_dir
    stamp = json.dumps({"configure": command}, indent=1)
    stamp_path = os.path.join(build_dir, STAMP)
    previous = None
    if configured and os.path.exists(stamp_path):
        with open(stamp_path) as source:
            previous = source.read()
    if previous != stamp:
        shutil.rmtree(build_dir, ignore_errors=True)
        run(command)
        with open(stamp_path, "w") as out:
            out.write(stamp)
    return build_dir


def cmake_install(build_dir, staging):
    """Installs into staging; returns the directory that holds the module."""
    run(["cmake", "--install", build_dir, "--prefix", staging])
    pythondir = cmake_cache(build_dir, "CSDK_INSTALL_PYTHONDIR")
    root = os.path.normpath(os.path.join(staging, pythondir.lstrip("/")))
    module = "c_sdk" + extension_suffix()
    if not os.path.isfile(os.path.join(root, module)):
        raise RuntimeError("%s installs no %s: is it configured for %s?" % (build_dir, module, sys.executable))
    return root


# --- Archives --------------------------------------------------------------

def source_date_epoch():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    return int(epoch) if epoch else None


def zip_time():
    """Timestamp of the wheel's entries: $SOURCE_DATE_EPOCH, or 1980-01-01."""
    epoch = source_date_epoch()
    if epoch is not None:
        return time.gmtime(max(epoch, 315532800))[:6]
    return (1980, 1, 1, 0, 0, 0)


def record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "sha256=" + digest


def tree_files(root, prefix=None):
    """Files below root as sorted relative POSIX paths, or as (path, file)
    pairs with `prefix`.  A dist-info that `cmake --install` wrote is left
    out, and so are links to files: a wheel cannot hold links (the linker
    name of a copied SDK library; the module needs only the SONAME)."""
    names = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = [name for name in dirs if name != "__pycache__" and not name.endswith(".dist-info")]
        for name in files:
            if not name.endswith(".pyc") and not (prefix and os.path.islink(os.path.join(folder, name))):
                names.append(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
    if prefix is None:
        return sorted(names)
    return [(name, os.path.join(prefix, name)) for name in sorted(names)]


def write_wheel(wheel_directory, files, project, tag, pth=None):
    """A wheel of `files` ((archive name, path) pairs, or a folder whose
    path a .pth file names, for an editable install)."""
    filename = "%s-%s-%s.whl" % (normalized_name(project["name"]), project["version"], "-".join(tag))
    dist_info = dist_info_name(project)
    stamp = zip_time()
    records = []
    if isinstance(files, str):
        files, pth = [], files

    def add(archive, name, data, mode=0o644):
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.external_attr = (stat.S_IFREG | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, data)
        records.append((name, record_hash(data), str(len(data))))

    os.makedirs(wheel_directory, exist_ok=True)
    partial = os.path.join(wheel_directory, filename + ".part")
    with zipfile.ZipFile(partial, "w") as archive:
        for name, path in files:
            with open(path, "rb") as source:
                data = source.read()
            add(archive, name, data, 0o755 if os.stat(path).st_mode & 0o111 else 0o644)
        if pth:
            add(archive, normalized_name(project["name"]) + "-editable.pth", (pth + "\n").encode("utf-8"))
        for name, data in metadata_files(project, tag):
            add(archive, dist_info + "/" + name, data)
        record = io.StringIO()
        writer = csv.writer(record, lineterminator="\n")
        writer.writerows(records)
        writer.writerow((dist_info + "/RECORD", "", ""))
        add(archive, dist_info + "/RECORD", record.getvalue().encode("utf-8"))
    os.replace(partial, os.path.join(wheel_directory, filename))
    return filename


def write_installed_dist_info(site, kind, vq, files):
    """The dist-info of c_sdk as `cmake --install` put it into site, with a
    RECORD of `files` (relative to site), so that pip lists and uninstalls
    it; a c_sdk dist-info already there (an earlier install) is replaced."""
    config = settings({"vq-distribution": vq})
    project = built_project(config, kind)
    dist_info = dist_info_name(project)
    for name in os.listdir(site):
        if name.endswith(".dist-info") and name.split("-")[0] == normalized_name(project["name"]):
            shutil.rmtree(os.path.join(site, name))
    os.makedirs(os.path.join(site, dist_info))
    records = []
    for name, data in [("METADATA", metadata(project).encode("utf-8")), ("INSTALLER", b"cmake\n")]:
        with open(os.path.join(site, dist_info, name), "wb") as out:
            out.write(data)
        records.append((dist_info + "/" + name, record_hash(data), str(len(data))))
    for name in files:
        path = os.path.join(site, name)
        if os.path.islink(path):
            records.append((name, "", ""))
        else:
            with open(path, "rb") as source:
                data = source.read()
            records.append((name, record_hash(data), str(len(data))))
    with open(os.path.join(site, dist_info, "RECORD"), "w", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerows(sorted(records))
        writer.writerow((dist_info + "/RECORD", "", ""))
    print("-- Installing: " + os.path.join(site, dist_info))


def source_files():
    """The files of the source distribution: what git tracks, or, outside a
    git checkout (an unpacked sdist), every file but build output."""
    try:
        listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, check=True).stdout.decode("utf-8").split("\0")
    except (OSError, subprocess.CalledProcessError):
        listed = []
    names = sorted(name for name in listed if name and os.path.isfile(os.path.join(ROOT, name)))
    if names and not os.path.exists(os.path.join(ROOT, "PKG-INFO")):
        return names
    skip = re.compile(r"^(build[^/]*|dist|\.git)(/|$)|(^|/)__pycache__/|\.pyc$|^PKG-INFO$")
    return [name for name in tree_files(ROOT) if not skip.search(name)]


# --- pyproject.toml --------------------------------------------------------

def load_toml(text):
    try:
        import tomllib
    except ImportError:  # before 3.11
        return parse_toml(text)
    return tomllib.loads(text)


_TOML_TOKEN = re.compile(r"""
    (?P<space>[ \t\r\n]+|\#[^\n]*)
  | (?P<multiline>\"\"\"|''')
  | (?P<basic>"(?:[^"\\\n]|\\.)*")
  | (?P<literal>'[^'\n]*')
  | (?P<bare>[A-Za-z0-9_+-]+)
  | (?P<punct>[\[\]{}=,.])
""", re.X)
_TOML_ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r", '"': '"', "\\": "\\"}


def parse_toml(text):
    """The TOML that pyproject.toml needs, for interpreters without tomllib:
    tables, arrays of tables, dotted keys, strings, integers, booleans,
    arrays and inline tables.  Anything else (multi-line strings, floats,
    dates) is refused."""
    tokens = []
    position = 0
    while position < len(text):
        match = _TOML_TOKEN.match(text, position)
        if not match or match.lastgroup == "multiline":
            raise ValueError("pyproject.toml line %d: cannot read %r" % (
                text.count("\n", 0, position) + 1, text[position:position + 20]))
        if match.lastgroup != "space":
            tokens.append((match.lastgroup, match.group(), text.count("\n", 0, position) + 1))
        position = match.end()
    tokens.append((None, "end of file", text.count("\n") + 1))
    index = [0]

    def peek():
        return tokens[index[0]][1] if tokens[index[0]][0] in ("punct", None) else None

    def take(expected=None):
        kind, value, line = tokens[index[0]]
        if kind is None or (expected is not None and (kind != "punct" or value != expected)):
            raise ValueError("pyproject.toml line %d: expected %s, found %s" % (line, expected or "a value", value))
        index[0] += 1
        return kind, value, line

    def string(kind, value, line):
        if kind == "literal":
            return value[1:-1]

        def escape(match):
            code = match.group(1)
            if code[0] in "uU" and len(code) > 1:
                return chr(int(code[1:], 16))
            if code not in _TOML_ESCAPES:
                raise ValueError("pyproject.toml line %d: bad escape \\%s" % (line, code))
            return _TOML_ESCAPES[code]
        return re.sub(r"\\(u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8}|.)", escape, value[1:-1])

    def key():
        parts = []
        while True:
            kind, value, line = take()
            if kind == "bare":
                parts.append(value)
            elif kind in ("basic", "literal"):
                parts.append(string(kind, value, line))
            else:
                raise ValueError("pyproject.toml line %d: expected a key, found %s" % (line, value))
            if peek() != ".":
                return parts
            take(".")

    def table(root, path, line):
        for part in path:
            root = root.setdefault(part, {})
            if isinstance(root, list):
                root = root[-1]
            if not isinstance(root, dict):
                raise ValueError("pyproject.toml line %d: %s is not a table" % (line, ".".join(path)))
        return root

    def assign(root, path, item, line):
        parent = table(root, path[:-1], line)
        if path[-1] in parent:
            raise ValueError("pyproject.toml line %d: %s is defined twice" % (line, ".".join(path)))
        parent[path[-1]] = item

    def value():
        kind, text_, line = take()
        if kind in ("basic", "literal"):
            return string(kind, text_, line)
        if kind == "punct" and text_ in "[{":
            close = "]" if text_ == "[" else "}"
            items = [] if close == "]" else {}
            while peek() != close:
                if close == "]":
                    items.append(value())
                else:
                    path, where = key(), tokens[index[0]][2]
                    take("=")
                    assign(items, path, value(), where)
                if peek() != ",":
                    break
                take(",")
            take(close)
            return items
        if kind == "bare" and text_ in ("true", "false"):
            return text_ == "true"
        if kind == "bare" and re.match(r"^[+-]?(0|[1-9](_?[0-9])*)$", text_):
            return int(text_.replace("_", ""))
        raise ValueError("pyproject.toml line %d: cannot read the value %s" % (line, text_))

    document = {}
    current = document
    while tokens[index[0]][0] is not None:
        line = tokens[index[0]][2]
        if peek() == "[":
            take("[")
            if peek() == "[":
                take("[")
                path = key()
                take("]")
                take("]")
                current = {}
                table(document, path[:-1], line).setdefault(path[-1], []).append(current)
            else:
                path = key()
                take("]")
                current = table(document, path, line)
        else:
            path = key()
            take("=")
            assign(current, path, value(), line)
    return document


if __name__ == "__main__":
    if len(sys.argv) < 5 or sys.argv[1] != "dist-info" or sys.argv[3] not in ("standin", "sdk"):
        sys.exit("usage: csdk_build.py dist-info SITE standin|sdk VQ-DISTRIBUTION FILE...")
    write_installed_dist_info(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
