"""The SDK header and the stand-in library agree on the SDK's functions."""

import os
import re
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SDK_HEADER = os.path.join(REPO, "src", "sdk", "vqsdk.h")
CONTROL_HEADER = os.path.join(REPO, "standin", "include", "vqsim.h")
REQUEST_RESPONSE = "char* req, int req_len, char** res, int* res_len"
REQUEST_STATUS = "char* req, int req_len"

_DECLARATION = re.compile(r"^(VQSDK_API|VQSIM_API)\s+([\w \t*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", re.M)


def _normal(text):
    text = re.sub(r"\s*(\*+)\s*", r"\1 ", re.sub(r"\s+", " ", text))
    return re.sub(r"\s*,\s*", ", ", text).strip()


def declarations(path):
    """{name: (return type, parameter list)} of the exported functions, spaced as in "char** res"."""
    with open(path) as header:
        text = re.sub(r"/\*.*?\*/", "", header.read(), flags=re.S)
    found = {}
    for _, result, name, params in _DECLARATION.findall(text):
        assert name not in found, "declared twice: " + name
        found[name] = (_normal(result), _normal(params))
    return found


def library():
    path = os.environ.get("VQSDK_STANDIN_LIB") or os.path.join(REPO, "build", "standin", "libvqsdk.so")
    assert os.path.exists(path), "stand-in library not built: " + path
    return path


def shaped(params):
    return sorted(name for name, (result, p) in declarations(SDK_HEADER).items() if result == "int" and p == params)


@pytest.mark.parametrize(
    "selection, expected",
    [
        (lambda: declarations(SDK_HEADER), 187),
        (lambda: shaped(REQUEST_RESPONSE), 131),
        (lambda: shaped(REQUEST_STATUS), 9),
    ],
    ids=["all", "request-response", "request-status"],
)
def test_header_declares(selection, expected):
    assert len(selection()) == expected


def test_shapes_parsed_as_written():
    sdk = declarations(SDK_HEADER)
    assert sdk["vqi_history_bars_pb"] == ("int", REQUEST_RESPONSE)
    assert sdk["vqi_log_pb"] == ("int", REQUEST_STATUS)
    assert sdk["vqi_strerror"] == ("const char*", "int errorno")
    assert sdk["vqi_get_serv_addr"] == ("int", "char* serv_id, char** addr")


@pytest.mark.parametrize("header, prefix", [(SDK_HEADER, None), (CONTROL_HEADER, "vqsim_")],
                         ids=["sdk", "control"])
def test_library_exports_exactly_the_declared_functions(header, prefix):
    out = subprocess.run(["nm", "-D", "--defined-only", library()], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    if prefix is None:
        exported = {name for name in exported if not name.startswith("vqsim_")}
    else:
        exported = {name for name in exported if name.startswith(prefix)}
    declared = set(declarations(header))
    assert sorted(exported - declared) == [] and sorted(declared - exported) == []


def test_soname_is_unversioned():
    out = subprocess.run(["readelf", "-d", library()], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert re.findall(r"\(SONAME\)\s+Library soname: \[(.*)\]", out) == ["libvqsdk.so"]
