"""A short seeded run of the fuzz driver (fuzz_driver.py) in a child process,
so that a crash or a hang of the module is a failed test.  The long run is
`./dev fuzz [--hostile] ITERATIONS [SEED]`.

The child runs under PYTHONMALLOC=debug (unless the environment chose an
allocator: the sanitizer build sets malloc), whose freed blocks are filled
with a pattern, so that an object the module reads after a hostile hook freed
it crashes the child instead of going unnoticed."""
import os
import re
import subprocess
import sys

import pytest

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_driver.py")
SUMMARY = re.compile(r"fuzz: seed \d+: (\d+) calls \((\d+) results, (\d+) exceptions\), (\d+) events"
                     r"(?:, (\d+) hooks, (\d+) mischief)?")


@pytest.mark.parametrize("seed, hostile", [(11, False), (12, False), (13, False), (21, True), (22, True)])
def test_short_fuzz_run(seed, hostile):
    env = dict(os.environ, PYTHONMALLOC=os.environ.get("PYTHONMALLOC", "debug"))
    r = subprocess.run([sys.executable, DRIVER, "--iterations", "3000", "--seed", str(seed), "--hang-timeout", "60"]
                       + ["--hostile"] * hostile,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=600, env=env)
    assert r.returncode == 0, "fuzz run failed (status %d):\n%s" % (r.returncode, r.stderr[-6000:])
    calls, results, exceptions, events, hooks, mischief = SUMMARY.search(r.stdout).groups()
    calls, results, exceptions, events = map(int, (calls, results, exceptions, events))
    # the run reached the SDK, returned results, raised, and delivered events
    assert calls >= 3000 and results > calls // 10 and exceptions > calls // 10 and events > 10
    if hostile:
        # and the hooks ran, and acted
        assert int(hooks) > calls // 10 and int(mischief) > calls // 10
