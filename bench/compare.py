#!/usr/bin/env python3
"""Side-by-side benchmark: tarnwick against the standard library's logging and the other Python
logging libraries (requirements/bench.txt), with a do-nothing extension call as the floor.

Every (system, scenario) pair runs in its own subprocess (worker.py), which prints one JSON result
line; this parent schedules them, collects the results and prints the markdown report (report.py).
The systems and scenarios are in systems.py. See
bench/README.md for the columns and the targets.
"""
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # the benchmark's own modules; run with -P, the script's folder is not on the path

from report import (CALLGRIND_RUNS, FULL_RUN_CALLGRIND, LATENCY_SYSTEMS, callgrind_targets,  # noqa: E402
                    fmt_ns, report)
from systems import (INTERPRETERS, NAMED_ONLY, OPTIONAL, ROOT, SCENARIOS, SYSTEMS,  # noqa: E402
                     scenario_members)
from worker import median  # noqa: E402


def run_worker(job, timeout, env, prefix=(), python=None):
    import signal
    import subprocess
    cmd = [*prefix, python or sys.executable, os.path.join(HERE, "worker.py"), json.dumps(job)]
    try:
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                           env=env, text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return {"ok": False, "status": "failed", "error": f"timed out after {timeout:.0f} s"}
    for line in reversed(p.stdout.splitlines()):
        if line.startswith("{"):
            try:
                return json.loads(line)
            except ValueError:
                break
    if p.returncode < 0:
        try:
            sig = signal.Signals(-p.returncode).name
        except ValueError:
            sig = str(-p.returncode)
        why = f"crashed ({sig})"
    else:
        why = f"exit status {p.returncode}"
    err = [ln for ln in p.stderr.strip().splitlines() if ln.strip()]
    return {"ok": False, "status": "failed", "error": why + (": " + err[-1][:200] if err else "")}


def why_not_installed(package):
    """Why a peer is absent: requirements/bench.txt leaves it out for this interpreter, or this
    environment was not made from it."""
    try:
        with open(os.path.join(ROOT, "requirements", "bench.txt")) as f:
            for line in f:
                req, _, marker = line.split("#")[0].partition(";")
                if req.split("==")[0].strip().lower() == package and marker.strip():
                    v = sys.version_info
                    return (f"requirements/bench.txt installs it only where {marker.strip()}, "
                            f"not on Python {v.major}.{v.minor} (no wheel and no build there)")
    except OSError:
        pass
    return "not installed here (make bench installs requirements/bench.txt into build/venv/bench)"


def installed(package):
    import importlib.metadata
    try:
        importlib.metadata.distribution(package)
        return True
    except importlib.metadata.PackageNotFoundError:
        return False


class Interpreter:
    """An interpreter the workers run on: its executable, environment and floor module's directory."""

    def __init__(self, python, env, floor_dir):
        self.python, self.env, self.floor_dir = python, env, floor_dir
        self.installed = None

    def has(self, package):
        if self.installed is None:
            import subprocess
            code = ("import importlib.metadata as m, json, sys\n"
                    "def has(p):\n"
                    "    try:\n        m.distribution(p)\n        return True\n"
                    "    except m.PackageNotFoundError:\n        return False\n"
                    "print(json.dumps([p for p in sys.argv[1:] if has(p)]))")
            p = subprocess.run([self.python, "-c", code, *set(OPTIONAL.values())], env=self.env,
                               stdout=subprocess.PIPE, text=True, check=False)
            self.installed = set(json.loads(p.stdout or "[]"))
        return package in self.installed


def interpreters(args, env):
    """{None: this interpreter, "3.14": ..., "3.14t": ...}, the others as given by --py314 and --py314t,
    each importing tarnwick from its own build's pkg directory."""
    found = {None: Interpreter(sys.executable, env, args.floor_dir)}
    for key, python, build in (("3.14", args.py314, args.build_314), ("3.14t", args.py314t, args.build_314t)):
        if not python:
            continue
        build = build if os.path.isabs(build) else os.path.join(ROOT, build)
        alt = dict(env, PYTHONPATH=os.pathsep.join((os.path.join(build, "pkg"), ROOT)))
        found[key] = Interpreter(python, alt, os.path.join(build, "bench"))
    v = sys.version_info
    here = f"{v.major}.{v.minor}" + ("t" if "t" in getattr(sys, "abiflags", "") else "")
    if here in INTERPRETERS and here not in found:
        found[here] = found[None]
    return found


def on(scenario, interps):
    """The interpreter a scenario runs on, or None when the one it needs was not given."""
    want = SCENARIOS[scenario].get("python")
    return interps.get(want)


def count_instructions(pairs, args, interps, tmp):
    """Instructions per call of each (scenario, system): (Ir of N calls − Ir of 0 calls) / N, all
    threads. Returns [(scenario, system, [Ir 0, Ir N] or the failed worker's result)]."""
    rows = []
    for scenario, system in pairs:
        interp = on(scenario, interps)
        if interp is None:
            rows.append((scenario, system, not_given(scenario)))
            continue
        env = dict(interp.env, PYTHONHASHSEED="0")  # the two runs must do the same work apart from the calls
        totals = []
        for n in (0, args.callgrind_calls):
            outfile = os.path.join(tmp, f"callgrind.{scenario}.{system}.{n}")
            workdir = os.path.join(tmp, f"cg-{scenario}-{system}-{n}")
            os.mkdir(workdir)
            job = dict(system=system, scenario=scenario, mode="callgrind", calls=n,
                       warmup=args.callgrind_warmup, workdir=workdir, floor_dir=interp.floor_dir)
            print(f"callgrind: {scenario}, {system}, {n:,} calls", file=sys.stderr, flush=True)
            r = run_worker(job, 1200, env, prefix=("valgrind", "--tool=callgrind", "-q",
                                                     f"--callgrind-out-file={outfile}"), python=interp.python)
            if not r.get("ok"):
                totals = r
                break
            with open(outfile) as f:
                ir = next(int(ln.split()[1]) for ln in f if ln.startswith(("totals:", "summary:")))
            totals.append(ir)
        rows.append((scenario, system, totals))
    return rows


def not_given(scenario):
    want = SCENARIOS[scenario]["python"]
    option = "--py314t" if want.endswith("t") else "--py314"
    return {"ok": False, "status": "not measured", "error": f"needs Python {want} ({option}; make bench gives it)"}


def per_call_counts(rows, calls):
    return {(sc, s): (t[1] - t[0]) / calls for sc, s, t in rows if not isinstance(t, dict)}


def callgrind(args, interps, tmp):
    """Instructions per call of CALLGRIND_RUNS, and their targets."""
    import shutil
    if not shutil.which("valgrind"):
        print("valgrind not found", file=sys.stderr)
        return 1
    rows = count_instructions(CALLGRIND_RUNS, args, interps, tmp)
    print(f"# Instructions per call under callgrind ({args.callgrind_calls:,} calls after "
          f"{args.callgrind_warmup:,} warm-up calls, all threads)\n")
    print("| scenario | system | Ir, 0 calls | Ir, N calls | instructions per call |")
    print("|---|---|---:|---:|---:|")
    per_call = per_call_counts(rows, args.callgrind_calls)
    for scenario, system, t in rows:
        if isinstance(t, dict):
            print(f"| {scenario} | {system} | **{t.get('status')}**: {t.get('error', '')} | | |")
        else:
            print(f"| {scenario} | {system} | {t[0]:,} | {t[1]:,} | {per_call[(scenario, system)]:,.0f} |")
    print("\n| target | measured | result |")
    print("|---|---|---|")
    for label, shown, met in callgrind_targets(per_call):
        print(f"| {label} | {shown} | {'met' if met else '**not met**'} |")
    return 0


def main(argv):
    import argparse
    import shutil
    import tempfile
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default="build/release",
                    help="build directory holding bench/_bench_floor (relative to the repository)")
    ap.add_argument("--quick", action="store_true", help="a fast smoke run with small counts")
    ap.add_argument("--callgrind", action="store_true",
                    help="only measure instructions per call under valgrind (several scenarios)")
    ap.add_argument("--systems", help="comma-separated subset of: " + ", ".join(SYSTEMS).replace("%", "%%"))
    ap.add_argument("--scenarios", help="comma-separated subset of: " + ", ".join(SCENARIOS))
    ap.add_argument("--no-rss", action="store_true", help="skip the peak memory run")
    ap.add_argument("--no-callgrind", action="store_true",
                    help="skip the instruction count of the enabled call (valgrind)")
    ap.add_argument("--baseline", metavar="DIR",
                    help="the package directory (holding tarnwick/) of another build to time beside this one, "
                         "say the main branch's build/release/pkg")
    ap.add_argument("--rss-all", action="store_true",
                    help="give the Python libraries the full record count in the memory run too")
    ap.add_argument("--no-latency", action="store_true", help="skip the single-call latency percentiles")
    ap.add_argument("--py314", metavar="PYTHON",
                    help="the CPython 3.14 (its bench environment's python) that runs the 3.14 scenarios")
    ap.add_argument("--build-314", metavar="DIR", default="build/bench-3.14",
                    help="its build directory, holding pkg/ and bench/ (relative to the repository)")
    ap.add_argument("--py314t", metavar="PYTHON", help="the free-threaded CPython 3.14t for its scenario")
    ap.add_argument("--build-314t", metavar="DIR", default="build/bench-3.14t",
                    help="its build directory, holding pkg/ (relative to the repository)")
    args = ap.parse_args(argv)

    build = args.build_dir if os.path.isabs(args.build_dir) else os.path.join(ROOT, args.build_dir)
    args.floor_dir = os.path.join(build, "bench")
    args.reps = 3 if args.quick else 5
    budget_s = 0.02 if args.quick else 0.15      # loop time per repetition
    warmup = 1_000 if args.quick else 5_000
    # The least calls a repetition makes: the slowest peers (loguru with enqueue=True, ~100 us a call)
    # reach the time budget with these.
    min_calls, max_calls = (1_000, 200_000) if args.quick else (2_000, 3_000_000)
    args.rss_records = 100_000 if args.quick else 1_000_000
    # The Python libraries take 10-30 us a record; a million of them would eat the time budget,
    # and the memory target is tarnwick's.
    rss_records_python = args.rss_records if args.rss_all else min(args.rss_records, 100_000)
    args.callgrind_calls = 10_000 if args.quick else 100_000
    args.callgrind_warmup = 1_000 if args.quick else 10_000
    # Latency: bursts of 100 calls with a millisecond's pause after each, for the writer to drain.
    latency_job = dict(bursts=200 if args.quick else 1_000, burst=100, pause_s=0.001, warmup=warmup)
    # A worker normally takes a few seconds; these bound a system that hangs (in shutdown, say).
    timeout = 30 if args.quick else 60
    rss_timeout = 60 if args.quick else (300 if args.rss_all else 120)

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (env.get("PYTHONPATH"), ROOT) if p)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    interps = interpreters(args, env)

    systems = list(SYSTEMS)
    missing = {s: why_not_installed(m) for s, m in OPTIONAL.items() if not installed(m)}
    systems = [s for s in systems if s not in missing]
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    else:
        systems.remove("tarnwick-baseline")
    if args.systems:
        wanted = args.systems.split(",")
        systems = [s for s in systems if s in wanted or s in ("floor", "% alone", "stdlib")]
    scenarios = args.scenarios.split(",") if args.scenarios else list(SCENARIOS)
    if "threads" in scenarios and "file_text" not in scenarios:
        scenarios.insert(0, "file_text")   # the threads ratio compares with it

    tmp = tempfile.mkdtemp(prefix="tarnwick-bench-")
    try:
        if args.callgrind:
            return callgrind(args, interps, tmp)
        started = time.monotonic()
        # Repetitions go round the systems of a scenario, one worker per system and round, so a
        # change of the machine's pace (this shared machine has them, lasting seconds) touches
        # every system of a scenario alike instead of one system's whole block.
        plan = [(sc, scenario_members(sc, systems)) for sc in SCENARIOS if sc in scenarios]
        total = sum(len(members) for _, members in plan)
        done = 0
        results = {}
        hung = set()   # a system that timed out once is not given the time again
        for sc, members in plan:
            interp = on(sc, interps)
            if interp is None:
                results.update(((sc, s), not_given(sc)) for s in members)
            else:
                # A peer missing from the other interpreter's environment is reported as not measured.
                results.update(((sc, s), {"ok": False, "status": "not measured",
                                          "error": f"{OPTIONAL[s]} not installed for this interpreter"})
                               for s in members if s in OPTIONAL and not interp.has(OPTIONAL[s]))
            results.update(((sc, s), {"ok": False, "status": "not measured", "error": why})
                           for s, why in SCENARIOS[sc].get("skip", {}).items() if s in members)
            workdir = os.path.join(tmp, sc)
            os.mkdir(workdir)
            stdout_to = os.devnull if SCENARIOS[sc]["dest"] == "stdout" else None
            base = dict(scenario=sc, mode="time", reps=1, budget_s=budget_s, warmup=warmup,
                        min_calls=min_calls, max_calls=max_calls, workdir=workdir,
                        floor_dir=interp and interp.floor_dir, baseline_dir=args.baseline, stdout_to=stdout_to)
            rounds = {s: [] for s in members}
            for _ in range(args.reps):
                for s in members:
                    if (sc, s) in results:
                        continue   # failed in an earlier round, or not measured here
                    if s in hung:
                        results[(sc, s)] = {"ok": False, "status": "skipped",
                                            "error": "timed out in an earlier scenario"}
                        continue
                    calls = rounds[s][0]["calls"] if rounds[s] else None
                    r = run_worker(dict(base, system=s, calls=calls), timeout, interp.env, python=interp.python)
                    if not r.get("ok"):
                        results[(sc, s)] = r
                        if r.get("error", "").startswith("timed out"):
                            hung.add(s)
                        continue
                    rounds[s].append(r)
            for s in members:
                if (sc, s) not in results:
                    runs = rounds[s]
                    # Each round's figure is kept: a ratio's spread is that of its rounds' ratios.
                    r = {"ok": True, "calls": runs[0]["calls"], "reps": len(runs),
                         "loop_ns": median([x["loop_ns"] for x in runs]),
                         "e2e_ns": median([x["e2e_ns"] for x in runs]),
                         "loop_ns_rounds": [x["loop_ns"] for x in runs],
                         "e2e_ns_rounds": [x["e2e_ns"] for x in runs],
                         "checked": runs[0]["checked"], "python": runs[0]["python"],
                         "line_bytes": runs[-1].get("line_bytes")}
                    if stdout_to and SYSTEMS[s].writes:
                        # /dev/null cannot be counted: a separate pass writes the same calls to a file.
                        check = dict(base, system=s, mode="check", calls=r["calls"],
                                     stdout_to=os.path.join(workdir, f"stdout-{s}.log"))
                        c = run_worker(check, timeout, interp.env, python=interp.python)
                        if not c.get("ok"):
                            r = c
                    results[(sc, s)] = r
                r = results[(sc, s)]
                done += 1
                shown = (f"{fmt_ns(r['loop_ns'])} ns/call, {fmt_ns(r['e2e_ns'])} ns/record"
                         if r.get("ok") else f"{r.get('status')}: {r.get('error')}")
                print(f"[{done}/{total} {time.monotonic() - started:5.1f}s] {sc:10} {s:13} {shown}",
                      file=sys.stderr, flush=True)
            shutil.rmtree(workdir, ignore_errors=True)
        latency = {}
        if not args.no_latency and "file_text" in scenarios:
            for s in (s for s in LATENCY_SYSTEMS if s in systems and s not in hung):
                workdir = os.path.join(tmp, f"latency-{s}")
                os.mkdir(workdir)
                job = dict(latency_job, system=s, scenario="file_text", mode="latency", workdir=workdir,
                           floor_dir=args.floor_dir)
                latency[s] = r = run_worker(job, timeout, env)
                shutil.rmtree(workdir, ignore_errors=True)
                shown = (f"p50 {fmt_ns(r['p50_ns'])} ns, p99 {fmt_ns(r['p99_ns'])} ns, "
                         f"p99.9 {fmt_ns(r['p999_ns'])} ns" if r.get("ok") else f"{r.get('status')}: {r.get('error')}")
                print(f"[latency {time.monotonic() - started:5.1f}s] {s:13} {shown}", file=sys.stderr, flush=True)
        rss = {}
        if not args.no_rss:
            for s in systems:
                if s == "% alone" or s in hung or s in NAMED_ONLY:
                    continue
                if args.quick and s not in ("floor", "tarnwick"):
                    continue   # the memory target is tarnwick's; the peers' figures take the time
                workdir = os.path.join(tmp, f"rss-{s}")
                os.mkdir(workdir)
                n = args.rss_records if s in ("floor", "tarnwick") else rss_records_python
                job = dict(system=s, scenario="file_text", mode="rss", calls=n,
                            workdir=workdir, floor_dir=args.floor_dir)
                rss[s] = run_worker(job, rss_timeout, env)
                shutil.rmtree(workdir, ignore_errors=True)
                r = rss[s]
                shown = (f"peak {(r['rss_peak_kib'] - r['rss_start_kib']) / 1024:.1f} MiB "
                         "above start" if r.get("ok") else f"{r.get('status')}: {r.get('error')}")
                print(f"[rss {time.monotonic() - started:5.1f}s] {s:13} {shown}",
                      file=sys.stderr, flush=True)
        instructions = {}
        if shutil.which("valgrind") and not args.no_callgrind and "tarnwick" in systems:
            # Each count starts an interpreter under valgrind, seconds apiece: a quick run counts the
            # instruction target's pair alone.
            pairs = [(sc, s) for sc, s in FULL_RUN_CALLGRIND[:2 if args.quick else None]
                     if sc in scenarios and s in systems]
            instructions = per_call_counts(count_instructions(pairs, args, interps, tmp), args.callgrind_calls)
            print(f"[callgrind {time.monotonic() - started:5.1f}s] done", file=sys.stderr, flush=True)
        print(report(results, rss, systems, missing, args, instructions, latency))
        return 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
