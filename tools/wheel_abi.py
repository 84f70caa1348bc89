"""Checks that the shared libraries in wheels need no newer C or C++ runtime
than the oldest system the wheels are built for (Debian 12: glibc 2.36,
libstdc++ of gcc 12).

    python3 tools/wheel_abi.py WHEEL...

For every ELF file in each wheel, the symbol versions it needs (readelf's
version needs section) are compared with that floor; prints, per wheel, the
newest version of each runtime it needs, and fails naming each file and
symbol version above the floor.
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

# The newest symbol version of each runtime library on Debian 12.
FLOOR = {
    "GLIBC": (2, 36),      # glibc 2.36
    "GLIBCXX": (3, 4, 30),  # libstdc++ of gcc 12
    "CXXABI": (1, 3, 13),
    "GCC": (12, 0, 0),      # libgcc_s of gcc 12
}
NEEDED = re.compile(r"^\s*0x[0-9a-f]+:\s+Name: ([A-Z]+)_([0-9.]+)\s", re.M)


def needed_versions(path):
    """(runtime, version tuple) pairs that the ELF file `path` needs."""
    out = subprocess.run(["readelf", "-V", "--wide", path], check=True, stdout=subprocess.PIPE,
                         universal_newlines=True).stdout
    section = out.split("Version needs section", 1)
    if len(section) < 2:
        return []
    return [(name, tuple(int(p) for p in version.split("."))) for name, version in NEEDED.findall(section[1])]


def check(wheel):
    """Problems of one wheel (a list of lines), and what it needs."""
    problems, newest = [], {}
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            if name.endswith("/"):
                continue
            path = z.extract(name, tmp)
            with open(path, "rb") as f:
                if f.read(4) != b"\x7fELF":
                    continue
            for runtime, version in needed_versions(path):
                if runtime not in FLOOR:
                    continue
                newest[runtime] = max(newest.get(runtime, version), version)
                if version > FLOOR[runtime]:
                    problems.append("%s: %s needs %s_%s, newer than %s_%s" % (
                        os.path.basename(wheel), name, runtime, ".".join(map(str, version)),
                        runtime, ".".join(map(str, FLOOR[runtime]))))
    return problems, newest


def main(wheels):
    failed = False
    for wheel in wheels:
        problems, newest = check(wheel)
        print("%s: needs %s" % (os.path.basename(wheel), ", ".join(
            "%s_%s" % (k, ".".join(map(str, v))) for k, v in sorted(newest.items())) or "no versioned symbols"))
        for line in problems:
            print("  " + line, file=sys.stderr)
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
