"""The benchmark's result files: what bench.py writes, its --summary reads back."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import bench  # noqa: E402


@pytest.mark.parametrize("left_out", [{}, {"Cython": "does not build", "nanobind": "not installed"}])
def test_summary_reads_the_ratios_a_report_writes(tmp_path, left_out):
    shapes = [s for s in bench.SHAPES if s[0] in ("subscribe", "record_subscript")]
    counts = {"subscribe": {p: 100.0 * (i + 1) for i, p in enumerate(bench.CALL_PEERS) if p not in left_out},
              "record_subscript": {"c_sdk": 300.0, "Cython": 400.0, "pure Python": 600.0}}
    times = {name: {p: 1.0 for p in c} for name, c in counts.items()}
    path = tmp_path / "RESULTS.md"
    path.write_text(bench.report(shapes, times, counts, False, left_out, "tools"))
    version, ratios = bench.read_results(str(path))
    assert version == "%d.%d" % sys.version_info[:2]
    for i, peer in enumerate(bench.CALL_PEERS[1:], 2):
        assert ratios["subscribe"][peer] == ("left out" if peer in left_out else "%.2f" % (1 / i))
    assert ratios["record_subscript"]["pure Python"] == "0.50"
    assert ratios["record_subscript"]["Cython"] == ("left out" if left_out else "0.75")
    targets = path.read_text().split("## Targets")[1]
    assert ("peer left out" in targets) == bool(left_out)
    assert "| record_subscript |" not in targets  # reported, not judged
