"""c_sdk.pyi under Debian's mypy: stubtest against the built module, and the
example strategy type-checked against the stub.

Debian's mypy runs on the system's interpreter (/usr/bin/python3), and
stubtest imports the module into it, so these checks run when the suite runs
on that interpreter's version (3.11 on Debian 12), against the module built
for it.  mypy gets an environment of its own: the suite's PYTHONPATH (with
/usr/lib/python3/dist-packages and the build's module) is not for it.
"""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("CSDK_BUILD_DIR")
SYSTEM_PYTHON = "/usr/bin/python3"
STANDIN = os.path.join(ROOT, "standin", "python")
EXAMPLE = os.path.join(ROOT, "examples", "strategy.py")
ALLOWLIST = os.path.join(ROOT, "tests", "stubtest-allowlist.txt")
# What the sanitizer build's module needs in any process that imports it.
SANITIZER = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def system_python():
    """(major, minor) of the system interpreter and whether it has mypy, or None."""
    if not os.path.exists(SYSTEM_PYTHON):
        return None
    probe = ("import sys\ntry:\n import mypy.stubtest, mypy.version\n v = mypy.version.__version__\n"
             "except ImportError:\n v = ''\nprint(sys.version_info[0], sys.version_info[1], v)")
    result = subprocess.run([SYSTEM_PYTHON, "-c", probe], env={"PATH": "/usr/bin:/bin"},
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
    words = result.stdout.split()
    if result.returncode != 0 or len(words) < 2:
        return None
    return (int(words[0]), int(words[1])), words[2] if len(words) > 2 else ""


SYSTEM = system_python()


def skip_reason():
    if not BUILD_DIR:
        return "needs $CSDK_BUILD_DIR, the build ctest runs in"
    if SYSTEM is None:
        return "no system interpreter at %s to run Debian's mypy" % SYSTEM_PYTHON
    version, mypy_version = SYSTEM
    if sys.version_info[:2] != version:
        return ("Debian's mypy runs on %s (Python %d.%d) and stubtest imports the module into it; "
                "this suite's module is built for Python %d.%d" % ((SYSTEM_PYTHON,) + version + sys.version_info[:2]))
    if not mypy_version:
        return "Debian's mypy is not installed (apt-get install mypy; ./dev installs it)"
    return None


pytestmark = pytest.mark.skipif(skip_reason() is not None, reason=str(skip_reason()))


def mypy(args, tmp_path, mypypath, pythonpath=(), extra_env=None):
    """Runs `/usr/bin/python3 -m <args>` in tmp_path with an environment of its own."""
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "LANG": "C.UTF-8",
           "MYPYPATH": os.pathsep.join(mypypath), "PYTHONDONTWRITEBYTECODE": "1"}
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(pythonpath)
    env.update(extra_env or {})
    result = subprocess.run([SYSTEM_PYTHON, "-m"] + args, env=env, cwd=str(tmp_path),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)
    return result.returncode, result.stdout


def stubtest(tmp_path, stub_dir):
    """stubtest of c_sdk: the stub found in stub_dir, the module imported from the build."""
    # The sanitizer build's module loads only into a process that has the
    # sanitizer runtimes preloaded, as the suite's own processes have.  There
    # LeakSanitizer is off: the process is Debian's interpreter running mypy,
    # and what they leave allocated at exit is none of the module's.
    sanitizer = {k: os.environ[k] for k in SANITIZER if k in os.environ}
    if "ASAN_OPTIONS" in sanitizer:
        sanitizer["ASAN_OPTIONS"] += ":detect_leaks=0"  # the last setting of a flag counts
    return mypy(["mypy.stubtest", "c_sdk", "--allowlist", ALLOWLIST], tmp_path, [stub_dir],
                [os.path.join(BUILD_DIR, "python"), STANDIN], sanitizer)


def check_example(tmp_path, stub_dir):
    """mypy on the example strategy, the bodies of its unannotated functions included."""
    return mypy(["mypy", "--check-untyped-defs", "--cache-dir", str(tmp_path / "cache"), EXAMPLE],
                tmp_path, [stub_dir, STANDIN])


def broken_stub(tmp_path, old, new):
    """A copy of the built stub with one declaration changed, in a directory of its own."""
    with open(os.path.join(BUILD_DIR, "python", "c_sdk.pyi")) as stub:
        source = stub.read()
    assert source.count(old) == 1, old
    directory = tmp_path / "broken"
    directory.mkdir()
    (directory / "c_sdk.pyi").write_text(source.replace(old, new))
    return str(directory)


def test_stubtest_is_clean(tmp_path):
    code, out = stubtest(tmp_path, os.path.join(BUILD_DIR, "python"))
    assert code == 0 and "Success: no issues found" in out, "stubtest c_sdk:\n" + out


def test_example_type_checks(tmp_path):
    code, out = check_example(tmp_path, os.path.join(BUILD_DIR, "python"))
    assert code == 0 and "Success: no issues found" in out, "mypy examples/strategy.py:\n" + out


# The same checks meet a stub that is wrong, so a clean result above means the
# stub was read and compared, not missed.

def test_stubtest_reports_a_wrong_stub(tmp_path):
    stub_dir = broken_stub(tmp_path, "def py_vqi_strerror(errorno: SupportsInt)",
                           "def py_vqi_strerror(error: SupportsInt)")
    code, out = stubtest(tmp_path, stub_dir)
    assert code != 0 and "c_sdk.py_vqi_strerror" in out and '"error"' in out, out


def test_example_check_reports_a_wrong_stub(tmp_path):
    stub_dir = broken_stub(tmp_path, "def py_vqi_send_msg_to_bus(topic: _Text, msg: _Text)",
                           "def py_vqi_send_msg_to_bus(topic: _Bytes, msg: _Bytes)")
    code, out = check_example(tmp_path, stub_dir)
    assert code != 0 and 'Argument 1 to "py_vqi_send_msg_to_bus" has incompatible type "str"' in out, out
