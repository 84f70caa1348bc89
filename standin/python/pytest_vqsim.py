"""pytest plugin of vqsim: the ``replay`` fixture runs a strategy against a
recording of the stand-in SDK (VQSDK_RECORD) in a child process::

    def test_the_strategy_still_does_what_it_did(replay):
        assert not replay("2024-06-03.db", ["my_strategy.py"]).divergences

``replay(recording, argv, strict=False, env=None, check=True, timeout=None)``
is ``vqsim.replay`` (it returns a ``vqsim.ReplayResult``), except that with
``check`` a strategy that exits with a status other than 0 (or 3 under
``strict``, the stand-in's status for a divergence) fails the test with its
standard error, and so does a recording that cannot be replayed.  Installed
with vqsim, pytest loads it by itself (entry point ``pytest11``); from a
source tree, name it: ``-p pytest_vqsim`` or ``pytest_plugins = ["pytest_vqsim"]``.
"""
import pytest

import vqsim


@pytest.fixture
def replay():
    """Runs ``python argv...`` against a recording; see the module."""

    def run(recording, argv, strict=False, env=None, check=True, timeout=None):
        try:
            result = vqsim.replay(recording, argv, strict=strict, env=env, timeout=timeout)
        except vqsim.RecordingError as error:
            pytest.fail("cannot replay %s" % error, pytrace=False)
        if check and result.returncode not in ((0, 3) if strict else (0,)):
            pytest.fail("%s exited with status %d against %s:\n%s" % (
                " ".join(argv), result.returncode, recording, result.stderr), pytrace=False)
        return result

    return run
