"""The worker of bench/compare.py: runs one (system, scenario) job in a fresh interpreter and prints one
JSON result line. `timed_run` is shared with bench/parallel.py.

    python bench/worker.py JOB_JSON
"""
# The worker runs with only these imported, so the interpreter's resident size at start (the
# baseline of the memory run) is not inflated by the parent's modules.
import gc
import json
import os
import sys
import time

from systems import SCENARIOS, SYSTEMS, UNROLL, BadOutput, BenchFailure, LostLines, PyFormat


def call_source(system, sc):
    if isinstance(system, PyFormat):
        return f"{sc['pct']!r} % {tuple(sc['args'])!r}"
    if system.style == "template":
        return f"log.{sc['method']}(TEMPLATE)"
    template = sc["brace"] if system.style == "brace" else sc["pct"]
    args = "".join(", " + repr(a) for a in sc["args"])
    return f"log.{sc['method']}({template!r}{args})"


def make_loop(source, names=None):
    """A function calling `source` UNROLL times per iteration, with constants as literals (and
    `names`, made before, as globals)."""
    body = "\n".join("        " + source for _ in range(UNROLL))
    code = f"def loop(log, iterations):\n    for _ in range(iterations):\n{body}\n"
    # A module name of its own: loguru looks one up per call and is slow without it.
    ns = {"__name__": "bench_loop", **(names or {})}
    exec(compile(code, "<bench loop>", "exec"), ns)
    return ns["loop"]


def make_bursts(source, names=None):
    """A function making `n` bursts of `size` calls of `source`, each call timed alone (the clock read
    before it to the one after it, into `out`), with a pause of `pause` seconds after each burst."""
    code = ("def bursts(log, n, size, pause, out):\n"
            "    pc = _perf_counter_ns\n"
            "    i = 0\n"
            "    for _ in range(n):\n"
            "        for _ in range(size):\n"
            "            t0 = pc()\n"
            f"            {source}\n"
            "            out[i] = pc() - t0\n"
            "            i += 1\n"
            "        _sleep(pause)\n")
    ns = {"__name__": "bench_loop", "_perf_counter_ns": time.perf_counter_ns, "_sleep": time.sleep,
          **(names or {})}
    exec(compile(code, "<bench bursts>", "exec"), ns)
    return ns["bursts"]


def interpreter():
    """This interpreter's version, with a t for a free-threaded build (and whether an extension turned
    the GIL back on)."""
    version = sys.version.split()[0]
    if "t" not in getattr(sys, "abiflags", ""):
        return version
    return version + "t" + (" (GIL on)" if sys._is_gil_enabled() else "")


def timed_run(body, threads):
    """Runs body(t) for t in range(threads), in this thread alone or in `threads` threads started together;
    returns the time the calls started (perf_counter_ns) once all have ended."""
    if threads <= 1:
        t0 = time.perf_counter_ns()
        body(0)
        return t0
    import threading
    barrier = threading.Barrier(threads + 1)

    def start(t):
        barrier.wait()
        body(t)

    workers = [threading.Thread(target=start, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    t0 = time.perf_counter_ns()
    for w in workers:
        w.join()
    return t0


def check_output(files, expected, sc):
    """Counts the lines of `files`; each must show the message, and in JSON the first and last
    must parse."""
    want = (sc["expect"] or "").encode()
    total = with_message = 0
    first = last = None
    for f in files:
        with open(f, "rb") as fh:
            rest = b""
            while chunk := fh.read(1 << 20):
                chunk = rest + chunk
                cut = chunk.rfind(b"\n") + 1      # whole lines only; the rest joins the next chunk
                whole, rest = chunk[:cut], chunk[cut:]
                if not whole:
                    continue
                total += whole.count(b"\n")
                if want:
                    with_message += whole.count(want)
                if first is None:
                    first = whole.split(b"\n", 1)[0]
                last = whole[:-1].rsplit(b"\n", 1)[-1]
            if rest:
                raise BadOutput(f"{os.path.basename(f)} ends in a partial line: {rest[:200]!r}")
    if total < expected:
        raise LostLines(f"{total:,} of {expected:,} lines written")
    if total > expected:
        raise BadOutput(f"{total:,} lines written for {expected:,} records")
    # Some formats repeat the message in a record (loguru's JSON has it twice): every line must
    # show it as often as the first does.
    per_line = first.count(want) if expected and first else 0
    if expected and (per_line == 0 or with_message != per_line * total):
        raise BadOutput(f"lines without the message (first line: {(first or b'')[:200]!r})")
    if expected and sc["fmt"] == "json":
        for line in (first, last):
            try:
                json.loads(line)
            except ValueError:
                raise BadOutput(f"not a JSON line: {line[:200]!r}") from None


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def worker(job):
    rss_start = rss_kib("VmRSS")
    sc = SCENARIOS[job["scenario"]]
    mode = job["mode"]
    threads = sc.get("threads", 1)
    system = SYSTEMS[job["system"]]()
    if job["system"] == "floor":
        sys.path.insert(0, job["floor_dir"])
    if job["system"] == "tarnwick-baseline":
        sys.path.insert(0, job["baseline_dir"])
    names = {"TEMPLATE": system.template(sc)} if system.style == "template" else None
    loop = make_loop(call_source(system, sc), names)
    expected_lines = sc["lines"] and system.writes
    stdout_file = job.get("stdout_to")
    if stdout_file == os.devnull:
        stdout_file = None   # nothing to count
    work = job["workdir"]
    seq = [0]
    size = [None]   # bytes per line of the last repetition's file

    def rep(calls, gc_off=True, extra=None, check=True):
        import tempfile
        seq[0] += 1
        # A directory of its own: one left behind by a failed worker must not fail the next.
        rep_dir = tempfile.mkdtemp(prefix=f"rep{seq[0]}-", dir=work)
        log = system.open(sc["dest"], sc["fmt"], f"bench{seq[0]}", os.path.join(rep_dir, "app.log"))
        if extra:
            extra(log)
        gc.collect()
        if gc_off:
            gc.disable()
        t0 = timed_run(lambda t: loop(log, calls // UNROLL // threads), threads)
        t1 = time.perf_counter_ns()
        system.close()
        t2 = time.perf_counter_ns()
        gc.enable()
        peak = rss_kib("VmHWM")   # before reading the output back
        total = calls + (extra.calls if extra else 0)
        if system.writes and check:
            if sc["dest"] == "file":
                files = sorted(os.path.join(rep_dir, f) for f in os.listdir(rep_dir))
                check_output(files, total if expected_lines else 0, sc)
            elif stdout_file:
                check_output([stdout_file], total if expected_lines else 0, sc)
        written = [os.path.join(rep_dir, f) for f in os.listdir(rep_dir)]
        size[0] = sum(os.path.getsize(f) for f in written) / max(total, 1) if system.writes else None
        for f in written:
            os.unlink(f)
        os.rmdir(rep_dir)
        per = max(calls, 1)   # the callgrind baseline makes no calls
        return (t1 - t0) / per, ((t2 - t0) if system.writes else (t1 - t0)) / per, peak

    step = UNROLL * threads
    if mode == "latency":
        return latency(job, system, sc, loop, names, work)
    if mode == "check":      # one pass whose standard output is a file, to count its lines
        rep(job["calls"])
        return {"ok": True, "checked": True}
    if mode == "rss":
        calls = job["calls"] // step * step
        _, e2e, peak = rep(calls, gc_off=False)
        return {"ok": True, "calls": calls, "rss_start_kib": rss_start, "rss_peak_kib": peak,
                "e2e_ns": e2e}
    if mode == "callgrind":  # warm-up and N calls on one logger; the parent diffs two runs
        calls = job["calls"] // step * step

        def warm(log):
            loop(log, warm.calls // UNROLL)
        warm.calls = job["warmup"] // UNROLL * UNROLL
        # Reading the output back is the benchmark's own work, not the logger's: leave it out of
        # the counted instructions.
        rep(calls, extra=warm, check=False)
        return {"ok": True, "calls": calls}

    # Warm up. Without a call count from an earlier round, grow the count until a repetition is
    # long enough to estimate the cost per call (thread start-up and logger creation would
    # otherwise dominate a short one).
    calls = max(job["warmup"] // step * step, step)
    if job.get("calls"):
        rep(min(calls, job["calls"]))   # a slow system's warm-up takes no longer than its repetition
        calls = job["calls"]
    else:
        while True:
            loop_ns, e2e_ns, _ = rep(calls)
            per_call = max(loop_ns, e2e_ns, 1.0)
            if per_call * calls >= 0.2e9 * job["budget_s"] or calls >= job["max_calls"]:
                break
            calls = min(calls * 8, job["max_calls"]) // step * step
        calls = int(job["budget_s"] * 1e9 / per_call)
        calls = max(job["min_calls"], min(job["max_calls"], calls)) // step * step
    loops, e2es = [], []
    for _ in range(job["reps"]):
        a, b, _ = rep(calls)
        loops.append(a)
        e2es.append(b)
    return {"ok": True, "calls": calls, "reps": job["reps"], "loop_ns": median(loops),
            "e2e_ns": median(e2es), "loop_ns_all": loops, "e2e_ns_all": e2es, "line_bytes": size[0],
            "checked": bool(system.writes and (sc["dest"] == "file" or stdout_file))}


def latency(job, system, sc, loop, names, work):
    """Percentiles of one call's time: `bursts` bursts of `burst` calls, each call between two clock
    reads, with a pause after each burst so that the writer drains. The median of the same bursts
    with nothing between the clock reads (their own cost) is subtracted."""
    import tempfile
    n, size = job["bursts"], job["burst"]
    timed = make_bursts(call_source(system, sc), names)
    empty = make_bursts("pass")
    samples, idle = [0] * (n * size), [0] * (n * size)
    rep_dir = tempfile.mkdtemp(prefix="latency-", dir=work)
    log = system.open(sc["dest"], sc["fmt"], "bench-latency", os.path.join(rep_dir, "app.log"))
    warm = job["warmup"] // UNROLL * UNROLL
    loop(log, warm // UNROLL)
    gc.collect()
    gc.disable()
    empty(log, n, size, 0.0, idle)
    timed(log, n, size, job["pause_s"], samples)
    system.close()
    gc.enable()
    if system.writes:
        files = sorted(os.path.join(rep_dir, f) for f in os.listdir(rep_dir))
        check_output(files, warm + n * size if sc["lines"] else 0, sc)
    clock = median(idle)
    s = sorted(max(0, x - clock) for x in samples)

    def pct(q):
        return s[min(len(s) - 1, int(q * len(s)))]
    return {"ok": True, "calls": len(s), "clock_ns": clock, "mean_ns": sum(s) / len(s),
            "p50_ns": pct(0.5), "p99_ns": pct(0.99), "p999_ns": pct(0.999), "max_ns": s[-1]}


def median(xs):
    s = sorted(xs)
    n = len(s)
    return s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) / 2


def worker_main(job_json):
    job = json.loads(job_json)
    # The result goes to the original standard output; the records may take its place.
    out = os.fdopen(os.dup(1), "w")
    target = job.get("stdout_to") or os.devnull
    sys.stdout.flush()
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.dup2(fd, 1)
    os.close(fd)
    try:
        result = worker(job)
    except BenchFailure as e:
        result = {"ok": False, "status": e.status, "error": str(e)}
    except BaseException as e:   # a system that does not work yet is reported, not fatal
        result = {"ok": False, "status": "failed", "error": f"{type(e).__name__}: {e}"[:300]}
    result["python"] = interpreter()
    out.write(json.dumps(result) + "\n")
    out.flush()
    # Skip interpreter teardown: a logger that hangs or crashes at exit would spoil a good result.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


if __name__ == "__main__":
    worker_main(sys.argv[1])
