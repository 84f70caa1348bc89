"""Per-read cost of the record classes against the same classes in pure Python.

Run with the interpreter the module is built for, c_sdk and the vq package on
the path, for example:

    PYTHONPATH=build/python:standin/python python3.8 bench/bench_records.py

Each operation is timed with timeit in this one process, best of several
repeats.  The cost of the timing loop itself (measured on a bare name load)
is taken off before the ratio c_sdk / pure Python is formed; the raw figures
are printed too.
"""

import argparse
import os
import sys
import timeit

import c_sdk

BAR_FIELDS = ("symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
              "position", "frequency", "receive_local_time")

# The pure-Python bar record shared with the peer comparison.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "peers"))
from bench_pyrecord import BarLikeDict2 as PyBarLikeDict2  # noqa: E402

CASES = [
    ("property   bar.close", "bar.close"),
    ("__getattr__ bar.some_unknown_field", "bar.some_unknown_field"),
    ("item       bar['close']", "bar['close']"),
    ("membership 'close' in bar", "'close' in bar"),
    ("construct  Bar(d)", "Bar(d)"),
]


def best_ns(stmt, cls, number, repeat):
    setup = "d = dict(zip(FIELDS, range(len(FIELDS)))); Bar = cls; bar = Bar(d)"
    timer = timeit.Timer(stmt, setup, globals={"FIELDS": BAR_FIELDS, "cls": cls})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=500000, help="operations per repeat")
    parser.add_argument("--repeat", type=int, default=7, help="repeats; the best one counts")
    args = parser.parse_args()

    classes = (c_sdk.BarLikeDict2, PyBarLikeDict2)
    loop = [best_ns("bar", cls, args.number, args.repeat) for cls in classes]
    print("timing loop: %.1f ns per operation (taken off below)" % min(loop))
    print("%-38s %10s %10s %8s %10s" % ("operation", "c_sdk ns", "python ns", "ratio", "raw ratio"))
    for label, stmt in CASES:
        c_ns, py_ns = (best_ns(stmt, cls, args.number, args.repeat) for cls in classes)
        net_c, net_py = c_ns - min(loop), py_ns - min(loop)
        print("%-38s %10.1f %10.1f %8.2f %10.2f" % (label, net_c, net_py, net_c / net_py, c_ns / py_ns))


if __name__ == "__main__":
    main()
