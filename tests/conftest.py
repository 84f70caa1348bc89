import os
import subprocess
import sys
import textwrap

import pytest

import c_sdk
import vqsim

# vqsim's own plugin (its `replay` fixture), which an installed vqsim registers itself.
pytest_plugins = ["pytest_vqsim"]

_MISSING = object()

# The mode the module was imported in: with CSDK_RUN_UNLOCKED=1 the run loop
# lets go of the interpreter lock and SDK threads deliver at once.
UNLOCKED = os.environ.get("CSDK_RUN_UNLOCKED", "") == "1"


@pytest.fixture
def sdk():
    """The stand-in SDK, reset and recording."""
    s = vqsim.sdk()
    s.reset()
    s.recording(True)
    yield s
    s.reset()


@pytest.fixture
def module():
    """c_sdk, with every module global restored after the test, in its order."""
    saved = dict(vars(c_sdk))
    yield c_sdk
    ns = vars(c_sdk)
    if list(ns) != list(saved) or any(ns[name] is not value for name, value in saved.items()):
        ns.clear()  # a deleted and restored name would otherwise move to the end
        ns.update(saved)


def run_python(code, extra_path=(), timeout=60, env=None):
    """Runs code in a fresh interpreter with the test environment (and `env`)."""
    env = dict(os.environ, **(env or {}))
    env["PYTHONPATH"] = os.pathsep.join(list(extra_path) + [env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


def python_call_text(message):
    """The text a call written in Python gets for `message`: from 3.9 the
    interpreter itself refuses a ** mapping with a key that is not a str,
    with its own text, before the callable is reached."""
    if sys.version_info >= (3, 9) and message.endswith("() keywords must be strings"):
        return "keywords must be strings"
    return message
