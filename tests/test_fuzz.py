"""A short seeded run of the fuzz driver (fuzz_driver.py) in a child process,
so that a crash or a hang of the module is a failed test.  The long run is
`./dev fuzz ITERATIONS [SEED]`."""
import os
import re
import subprocess
import sys

import pytest

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_driver.py")
SUMMARY = re.compile(r"fuzz: seed \d+: (\d+) calls \((\d+) results, (\d+) exceptions\), (\d+) events")


@pytest.mark.parametrize("seed", [11, 12, 13])
def test_short_fuzz_run(seed):
    r = subprocess.run([sys.executable, DRIVER, "--iterations", "3000", "--seed", str(seed), "--hang-timeout", "60"],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    assert r.returncode == 0, "fuzz run failed (status %d):\n%s" % (r.returncode, r.stderr[-6000:])
    calls, results, exceptions, events = map(int, SUMMARY.search(r.stdout).groups())
    # the run reached the SDK, returned results, raised, and delivered events
    assert calls >= 3000 and results > calls // 10 and exceptions > calls // 10 and events > 10
