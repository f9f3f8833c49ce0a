"""How close kelpkit.estimate_run comes to the real run: estimate, then run, on a few cases.

For each case: the estimate (a timed sample of about 2 % of the beams spread over the fan,
CPU time spread over kelp's threads, plus the set-up of every part), then kelpkit.run with the
estimate's parts, timed on the wall clock, and the ratio of the two. Rounds are interleaved
across cases because the machine may be shared; the load average is printed with each line.

    PYTHONPATH=python .venv/bin/python bench/bench_estimate.py [--rounds 2] [--cases munk,shelf]
"""

import argparse
import os
import sys
import time
import warnings

import kelpkit

HERE = os.path.dirname(os.path.abspath(__file__))


def shelf_case():
    sys.path.insert(0, os.path.join(HERE, "..", "examples"))
    import shelf_break

    folder = os.path.join(HERE, "..", "build", "bench_estimate_inputs")
    return shelf_break.load_config(*shelf_break.write_inputs(folder))


CASES = {
    "munk": lambda: kelpkit.munk(max_range_m=100e3, frequencies_hz=[50.0]),
    "shelf": shelf_case,
    "seamount": lambda: kelpkit.seamount(),
    "wedge": lambda: kelpkit.ideal_wedge(),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--cases", default="munk,shelf")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    configs = {name: CASES[name]() for name in args.cases.split(",")}
    for r in range(args.rounds):
        for name, cfg in configs.items():
            estimate = kelpkit.estimate_run(cfg)
            t = time.perf_counter()
            kelpkit.run(cfg, progress=False, estimate=False, parts=estimate.parts)
            real = time.perf_counter() - t
            print(f"round {r + 1} {name:9s} estimate {estimate.seconds:7.1f} s  real "
                  f"{real:7.1f} s  real/estimate {real / estimate.seconds:5.2f}  "
                  f"({estimate.beams} beams, {estimate.parts} parts, {estimate.sampled_beams} "
                  f"sampled; load {os.getloadavg()[0]:.1f})", flush=True)


if __name__ == "__main__":
    main()
