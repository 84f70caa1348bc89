"""The build backend of c_sdk (PEP 517), written with the standard library
only, so that every supported interpreter can build without setuptools,
wheel or a network:

    python3.X -m pip install --no-build-isolation .
    python3.X -m pip wheel --no-build-isolation -w DIR .

build_wheel configures and builds the project with CMake (Ninja when it is
installed) for the interpreter that runs it, installs the result with
`cmake --install` into a staging folder and zips what lands in the module
directory, with the metadata of pyproject.toml's [project] table, into a
wheel tagged for that interpreter (cp3X-cp3X-linux_x86_64).  build_sdist
packs the files git tracks.

Environment:
  VQSDK_LIBRARY=/path/libvqsdk.so or VQSDK_ROOT=/opt/vqsdk
                        build against the real SDK instead of the stand-in
  CSDK_CMAKE_ARGS       further CMake arguments, shell-quoted
                        (e.g. "-DCSDK_INSTALL_SDK_LIBRARY=ON")
  CSDK_CMAKE_BUILD_DIR  the CMake build directory to use; one that is
                        already configured is built as it is configured.
                        Without it: build-pip/cp3X in the source tree,
                        configured afresh whenever the interpreter, the
                        variables above or the CMake arguments change.
"""
import base64
import csv
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


# --- PEP 517 hooks ---------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = read_project()
    dist_info = os.path.join(metadata_directory, dist_info_name(project))
    os.makedirs(dist_info, exist_ok=True)
    for name, data in metadata_files(project, wheel_tag()):
        with open(os.path.join(dist_info, name), "wb") as out:
            out.write(data)
    return os.path.basename(dist_info)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = read_project()
    tag = wheel_tag()
    build_dir = cmake_build(tag)
    staging = tempfile.mkdtemp(prefix="c_sdk-wheel-")
    try:
        root = cmake_install(build_dir, staging)
        return write_wheel(wheel_directory, root, project, tag)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def build_sdist(sdist_directory, config_settings=None):
    project = read_project()
    base = "%s-%s" % (normalized_name(project), project["version"])
    filename = base + ".tar.gz"
    os.makedirs(sdist_directory, exist_ok=True)
    partial = os.path.join(sdist_directory, filename + ".part")
    with tarfile.open(partial, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for name in source_files():
            info = tar.gettarinfo(os.path.join(ROOT, name), arcname=base + "/" + name)
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            if info.isreg():
                with open(os.path.join(ROOT, name), "rb") as data:
                    tar.addfile(info, data)
            else:
                tar.addfile(info)
        pkg_info = metadata(project).encode("utf-8")
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size = len(pkg_info)
        info.mode = 0o644
        info.mtime = int(time.time())
        tar.addfile(info, io.BytesIO(pkg_info))
    os.replace(partial, os.path.join(sdist_directory, filename))
    return filename


# --- Metadata --------------------------------------------------------------

# The [project] keys this backend writes into METADATA; any other key is
# refused rather than left out of the package unnoticed.
PROJECT_KEYS = {"name", "version", "description", "readme", "requires-python", "classifiers",
                "keywords", "dependencies", "urls"}


def read_project():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as source:
        project = load_toml(source.read()).get("project")
    if not project or "name" not in project or "version" not in project:
        raise RuntimeError("pyproject.toml: [project] needs a name and a version")
    unknown = sorted(set(project) - PROJECT_KEYS)
    if unknown:
        raise RuntimeError("pyproject.toml: [project] keys this backend does not write: " + ", ".join(unknown))
    return project


def normalized_name(project):
    return re.sub(r"[-_.]+", "_", project["name"]).lower()


def dist_info_name(project):
    return "%s-%s.dist-info" % (normalized_name(project), project["version"])


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
    if project.get("requires-python"):
        lines.append("Requires-Python: " + project["requires-python"])
    lines += ["Classifier: " + value for value in project.get("classifiers", [])]
    lines += ["Requires-Dist: " + value for value in project.get("dependencies", [])]
    description = readme(project)
    if description:
        lines.append("Description-Content-Type: " + description[0])
        return "\n".join(lines) + "\n\n" + description[1]
    return "\n".join(lines) + "\n"


def wheel_tag():
    """(python, abi, platform) tags of the running interpreter."""
    if sys.implementation.name != "cpython":
        raise RuntimeError("c_sdk is a CPython extension module; %s is %s" % (sys.executable,
                                                                             sys.implementation.name))
    python = "cp%d%d" % sys.version_info[:2]
    abi = python + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return python, abi, platform


def metadata_files(project, tag):
    """The dist-info files besides RECORD, as (name, bytes)."""
    wheel = "Wheel-Version: 1.0\nGenerator: %s\nRoot-Is-Purelib: false\nTag: %s\n" % (GENERATOR, "-".join(tag))
    return [("METADATA", metadata(project).encode("utf-8")), ("WHEEL", wheel.encode("utf-8"))]


# --- CMake -----------------------------------------------------------------

def run(command):
    print("+ " + " ".join(shlex.quote(part) for part in command), flush=True)
    subprocess.check_call(command)


def cmake_cache(build_dir, key):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            name, _, value = line.rstrip("\n").partition("=")
            if name.split(":")[0] == key:
                return value
    raise RuntimeError("%s is not set in %s/CMakeCache.txt" % (key, build_dir))


def configure_command(build_dir):
    command = ["cmake", "-S", ROOT, "-B", build_dir]
    if shutil.which("ninja"):
        command += ["-G", "Ninja"]
    # "." puts the module and what goes with it at the root of the staging
    # prefix, which is the root of the wheel.
    command += ["-DPYTHON=" + sys.executable, "-DCSDK_BUILD_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release",
                "-DCSDK_INSTALL_PYTHONDIR=."]
    if os.environ.get("VQSDK_LIBRARY"):
        command.append("-DVQSDK_LIBRARY=" + os.environ["VQSDK_LIBRARY"])
    return command + shlex.split(os.environ.get("CSDK_CMAKE_ARGS", ""))


def cmake_build(tag):
    """Configures (where needed) and builds; returns the build directory."""
    given = os.environ.get("CSDK_CMAKE_BUILD_DIR")
    build_dir = os.path.abspath(given or os.path.join(ROOT, "build-pip", tag[1]))
    configured = os.path.exists(os.path.join(build_dir, "CMakeCache.txt"))
    command = configure_command(build_dir)
    if given:
        if not configured:
            run(command)
    else:
        # VQSDK_ROOT reaches CMake through the environment.
        stamp = json.dumps({"configure": command, "VQSDK_ROOT": os.environ.get("VQSDK_ROOT", "")}, indent=1)
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
    run(["cmake", "--build", build_dir])
    return build_dir


def cmake_install(build_dir, staging):
    """Installs into staging; returns the directory that holds the module."""
    run(["cmake", "--install", build_dir, "--prefix", staging])
    root = os.path.normpath(os.path.join(staging, cmake_cache(build_dir, "CSDK_INSTALL_PYTHONDIR")))
    module = "c_sdk" + sysconfig.get_config_var("EXT_SUFFIX")
    if not os.path.isfile(os.path.join(root, module)):
        raise RuntimeError("%s installs no %s: is it configured for %s?" % (build_dir, module, sys.executable))
    return root


# --- Archives --------------------------------------------------------------

def zip_time():
    """Timestamp of the wheel's entries: $SOURCE_DATE_EPOCH, or 1980-01-01."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        return time.gmtime(max(int(epoch), 315532800))[:6]
    return (1980, 1, 1, 0, 0, 0)


def record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "sha256=" + digest


def tree_files(root):
    """Files below root as sorted relative POSIX paths."""
    names = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = [name for name in dirs if name != "__pycache__"]
        for name in files:
            if not name.endswith(".pyc"):
                names.append(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
    return sorted(names)


def write_wheel(wheel_directory, root, project, tag):
    filename = "%s-%s-%s.whl" % (normalized_name(project), project["version"], "-".join(tag))
    dist_info = dist_info_name(project)
    stamp = zip_time()
    records = []

    def add(archive, name, data, mode=0o644):
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.external_attr = (stat.S_IFREG | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, data)
        records.append((name, record_hash(data), str(len(data))))

    os.makedirs(wheel_directory, exist_ok=True)
    partial = os.path.join(wheel_directory, filename + ".part")
    with zipfile.ZipFile(partial, "w") as archive:
        for name in tree_files(root):
            path = os.path.join(root, name)
            with open(path, "rb") as source:
                data = source.read()
            add(archive, name, data, 0o755 if os.stat(path).st_mode & 0o111 else 0o644)
        for name, data in metadata_files(project, tag):
            add(archive, dist_info + "/" + name, data)
        record = io.StringIO()
        writer = csv.writer(record, lineterminator="\n")
        writer.writerows(records)
        writer.writerow((dist_info + "/RECORD", "", ""))
        add(archive, dist_info + "/RECORD", record.getvalue().encode("utf-8"))
    os.replace(partial, os.path.join(wheel_directory, filename))
    return filename


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
