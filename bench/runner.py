#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Times the filter beside the floors (a program that only reads the raster,
a line or a page per call) and CUPS's rastertohp on the same rasters,
alternating runs, and prints medians, ratios, peak memory and output sizes.

  runner.py --build BUILD --data DATA [--runs N] [--pipes] [--stdin] [--only NAME]

The raster is named on the command line (as CUPS does for the first filter of
a job), or with --stdin comes down a pipe from another process (as it does
from the filter before, Ghostscript's raster output); every program gets it
the same way.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def run_once(cmd, env, pipes, stdin_from=None):
    """Runs one command; returns (wall s, cpu s) of the command alone. With
    stdin_from, the raster is written into the command's standard input by a
    `cat` of that file, and the wall time runs from the start of the writer."""
    start = time.perf_counter()
    feeder = None
    stdin = subprocess.DEVNULL
    if stdin_from:
        feeder = subprocess.Popen(["cat", stdin_from], stdout=subprocess.PIPE)
        stdin = feeder.stdout
    if pipes:
        # As under cupsd: both streams on pipes, read by other processes.
        p = subprocess.Popen(cmd, env=env, stdin=stdin,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        readers = [subprocess.Popen(["cat"], stdin=p.stdout, stdout=subprocess.DEVNULL),
                   subprocess.Popen(["cat"], stdin=p.stderr, stdout=subprocess.DEVNULL)]
        p.stdout.close()
        p.stderr.close()
    else:
        devnull = open(os.devnull, "wb")
        p = subprocess.Popen(cmd, env=env, stdin=stdin,
                             stdout=devnull, stderr=devnull)
        devnull.close()
        readers = []
    if feeder:
        feeder.stdout.close()
    _, status, usage = os.wait4(p.pid, 0)
    for r in readers:
        r.wait()
    if feeder:
        feeder.wait()
    wall = time.perf_counter() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        sys.exit("failed (%d): %s" % (p.returncode, " ".join(cmd)))
    return wall, usage.ru_utime + usage.ru_stime


def output_size(cmd, env):
    with tempfile.TemporaryFile() as f:
        subprocess.run(cmd, env=env, stdout=f, stderr=subprocess.DEVNULL, check=True)
        return f.seek(0, os.SEEK_END)


def peak_rss_kib(cmd, env):
    """Peak resident memory of one run, measured by GNU time: a child's
    ru_maxrss counts the memory of whatever forked it, so the runner's own
    size must stay out of it."""
    with tempfile.NamedTemporaryFile("r") as f:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", f.name] + cmd, env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        return int(f.read().split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--pipes", action="store_true",
                    help="standard output and error on pipes, as under cupsd")
    ap.add_argument("--stdin", action="store_true",
                    help="the raster down a pipe on standard input, as from the filter before")
    ap.add_argument("--only", help="only the input of this name")
    args = ap.parse_args()

    inputs = [
        ("dense-a4-600", "1 dense graphic page, A4, 600 dpi"),
        ("text10-letter-600", "10 text pages, Letter, 600 dpi"),
        ("text100-a4-600", "100 text pages, A4, 600 dpi"),
        ("mixed-letter-1200", "1 mixed page, Letter, 1200 dpi"),
        ("text10-letter-600-duplex", "10 text pages, Letter, long-edge duplex"),
    ]
    base_env = dict(os.environ)
    programs = [
        ("floor", [os.path.join(args.build, "bench", "raster_floor")], None),
        ("floor-page", [os.path.join(args.build, "bench", "raster_floor"), "--page"], None),
        ("tarnwel", [os.path.join(args.build, "filter", "rastertotarnwel")],
         os.path.join(args.build, "ppd", "ppd", "tnml20.ppd")),
        ("rastertohp", [os.path.join(args.data, "serverbin", "rastertohp")],
         os.path.join(args.data, "generpcl.ppd")),
    ]
    print("Medians of %d alternating runs; raster %s; output to %s." %
          (args.runs, "down a pipe" if args.stdin else "named as a file",
           "pipes" if args.pipes else "/dev/null"))
    print("x floor: wall time against the floor that reads a line per call "
          "(cpu: the same for CPU time); x page: against the one that reads a page per call.")
    header = "%-26s %-11s %9s %9s %8s %8s %8s %8s %9s %12s" % (
        "input", "program", "wall ms", "cpu ms", "x floor", "cpu", "x page", "x hp",
        "peak MiB", "output B")
    print(header)
    print("-" * len(header))
    for name, _desc in inputs:
        if args.only and args.only != name:
            continue
        raster = os.path.join(args.data, name.replace("-duplex", "") + ".ras")
        options = "Duplex=DuplexNoTumble" if name.endswith("-duplex") else ""
        results = {p[0]: [] for p in programs}
        cmds = {}
        for prog, cmd, ppd in programs:
            env = dict(base_env)
            if ppd:
                env["PPD"] = ppd
            cmds[prog] = (cmd + ["1", "bench", name, "1", options, raster], env)
        for _ in range(args.runs):
            for prog, _, _ in programs:
                cmd, env = cmds[prog]
                if args.stdin:
                    results[prog].append(run_once(cmd[:-1], env, args.pipes, raster))
                else:
                    results[prog].append(run_once(cmd, env, args.pipes))
        med = {}
        for prog, _, _ in programs:
            r = results[prog]
            med[prog] = (statistics.median(x[0] for x in r), statistics.median(x[1] for x in r),
                         peak_rss_kib(*cmds[prog]))
        for prog, _, _ in programs:
            wall, cpu, rss = med[prog]
            size = output_size(*cmds[prog]) if not prog.startswith("floor") else 0
            print("%-26s %-11s %9.2f %9.2f %8.2f %8.2f %8.2f %8.2f %9.1f %12d" % (
                name, prog, wall * 1e3, cpu * 1e3, wall / med["floor"][0],
                cpu / med["floor"][1], wall / med["floor-page"][0],
                wall / med["rastertohp"][0], rss / 1024.0, size))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
