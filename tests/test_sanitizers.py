"""The sanitizer build (./dev sanitize) checks what it claims to: its runtime is
in the interpreter, and a memory error or a leak in a child process of the
suite ends that process with a report.  Skipped in the normal build."""
import ctypes
import os

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(not os.environ.get("CSDK_SANITIZE"), reason="only in the sanitizer build")


def test_runtime_is_loaded():
    assert hasattr(ctypes.CDLL(None), "__asan_init")
    assert os.environ.get("PYTHONMALLOC") == "malloc"


@pytest.mark.parametrize("code,report", [
    # the stand-in told to copy more bytes than it was given: a read past the buffer
    ("import vqsim; vqsim.sdk().lib.vqsim_set_response(b'vqi_get_cash_pb', b'abc', 100000)",
     "AddressSanitizer: heap-buffer-overflow"),
    # blocks nobody frees, allocated outside everything lsan.supp names
    ("import ctypes; m = ctypes.CDLL(None).malloc; m.restype = ctypes.c_void_p; [m(4242) for _ in range(4)]",
     "LeakSanitizer: detected memory leaks"),
])
def test_errors_in_child_processes_are_reported(code, report):
    r = run_python(code)
    assert r.returncode != 0 and report in r.stderr, r.stderr[-3000:]
