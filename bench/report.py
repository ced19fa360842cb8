"""The report of bench/compare.py: the markdown tables of a run and its targets."""

import os
import sys

from systems import SCENARIOS, THREADS


def fmt_ns(x):
    if x is None:
        return "–"
    return f"{x:,.1f}" if x < 100 else f"{x:,.0f}"


def fmt_ratio(x):
    if x is None:
        return "–"
    return f"{x:.2f}x" if x < 10 else f"{x:,.0f}x"


def ratio(a, b):
    return a / b if a and b else None


def here():
    return sys.version.split()[0] + ("t" if "t" in getattr(sys, "abiflags", "") else "")


def python_of(results, scenario):
    """The interpreter a scenario's workers ran on, as they reported it."""
    for (sc, _), r in results.items():
        if sc == scenario and r.get("python"):
            return r["python"]
    return None


def report(results, rss, systems, missing, args, instructions=None, latency=None):
    instructions = instructions or {}
    out = []
    w = out.append
    w("# tarnwick side by side\n")
    w(f"Python {here()} unless a section says otherwise, {os.cpu_count()} CPUs; median of {args.reps} "
      f"repetitions (rounds) with the garbage collector off; times in ns. `loop` is the caller's time per "
      f"call, `e2e` the time per record until every record is in its destination.\n")
    for s, why in missing.items():
        w(f"- {s}: **not measured**: {why}")
    if missing:
        w("")
    for name, sc in SCENARIOS.items():
        rows = [(s, results.get((name, s))) for s in systems if (name, s) in results]
        if not rows:
            continue
        floor = results.get((name, "floor")) or {}
        std = results.get((name, "stdlib")) or {}
        fl, fe = floor.get("loop_ns"), floor.get("e2e_ns")
        sl, se = std.get("loop_ns"), std.get("e2e_ns")
        tl = (results.get((name, "tarnwick")) or {}).get("loop_ns")
        py = python_of(results, name)
        w(f"## {sc['title']}" + (f" (Python {py})" if py and py != here() else "") + "\n")
        extra = " records/s | vs 1 thread |" if sc.get("threads") else ""
        w("| system | calls | loop ns | loop / floor | loop / tarnwick | stdlib / loop | e2e ns "
          f"| e2e / floor | stdlib / e2e |{extra}")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|" + ("---:|---:|" if extra else ""))
        for s, r in rows:
            if not r.get("ok"):
                cells = [s, "", f"**{r.get('status', 'failed')}**: {r.get('error', '')}"]
                w("| " + " | ".join(cells) + " |" + " |" * (6 + (2 if extra else 0)))
                continue
            lo, e2 = r["loop_ns"], r["e2e_ns"]
            cells = [s, f"{r['calls']:,}", fmt_ns(lo), fmt_ratio(ratio(lo, fl)),
                     fmt_ratio(ratio(lo, tl)), fmt_ratio(ratio(sl, lo)), fmt_ns(e2), fmt_ratio(ratio(e2, fe)),
                     fmt_ratio(ratio(se, e2))]
            if extra:
                one = results.get(("file_text", s)) or {}
                same = one.get("ok") and one.get("python") == r.get("python")   # else not comparable
                rate = 1e9 / e2
                cells += [f"{rate:,.0f}", fmt_ratio(ratio(rate, 1e9 / one["e2e_ns"]) if same else None)]
            w("| " + " | ".join(cells) + " |")
        w("")
    if rss:
        w("## Peak memory (text to a file, one repetition, collector on)\n")
        w("| system | records | RSS at start MiB | peak RSS MiB | peak − start MiB | e2e ns |")
        w("|---|---:|---:|---:|---:|---:|")
        for s, r in rss.items():
            if not r.get("ok"):
                w(f"| {s} | | **{r.get('status')}**: {r.get('error', '')} | | | |")
                continue
            a, b = r["rss_start_kib"] / 1024, r["rss_peak_kib"] / 1024
            w(f"| {s} | {r['calls']:,} | {a:.1f} | {b:.1f} | {b - a:.1f} | {fmt_ns(r['e2e_ns'])} |")
        w("")
    if latency:
        w("## Latency of a single call (text to a file)\n")
        w(f"`{latency_call()}` timed alone between two `perf_counter_ns()` reads, in bursts of "
          "100 calls with a 1 ms pause after each so that the writer drains; the median cost of the two "
          "reads with nothing between them (`clock ns`) is subtracted. `loop ns` is the mean of the "
          "first table, from the unrolled loop.\n")
        w("| system | calls | clock ns | mean ns | p50 ns | p99 ns | p99.9 ns | max ns | loop ns |")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for s, r in latency.items():
            if not r.get("ok"):
                w(f"| {s} | | **{r.get('status')}**: {r.get('error', '')} | | | | | | |")
                continue
            lo = (results.get(("file_text", s)) or {}).get("loop_ns")
            w(f"| {s} | {r['calls']:,} | {fmt_ns(r['clock_ns'])} | {fmt_ns(r['mean_ns'])} | "
              f"{fmt_ns(r['p50_ns'])} | {fmt_ns(r['p99_ns'])} | {fmt_ns(r['p999_ns'])} | {fmt_ns(r['max_ns'])} | "
              f"{fmt_ns(lo)} |")
        w("")
    tput = throughput(results)
    if tput:
        w("## Records reaching the file from several threads\n")
        w("Records per second from the first call until `shutdown()` returned, every line counted in the "
          "file (a writer that falls behind shows here, not in `loop ns`); median and range of the rounds.\n")
        w("| system | Python | threads | records/s | range | bytes per line | ÷ baseline build |")
        w("|---|---|---:|---:|---|---:|---:|")
        out.extend(tput)
        w("")
    side = side_by_side(results)
    if side:
        w("## Context, template strings and trace ids beside structlog and loguru\n")
        w("Each peer inside its own request context of the same three fields (structlog's "
          "`bind_contextvars` with `merge_contextvars`, loguru's `contextualize`), making its own form of the call.\n")
        w("| tarnwick row | Python | tarnwick ns | structlog ns | structlog / tarnwick | loguru ns "
          "| loguru / tarnwick |")
        w("|---|---|---:|---:|---:|---:|---:|")
        out.extend(side)
        w("")
    w("## Targets (tarnwick, this run)\n")
    w("`measured` is the median over the rounds of each round's ratio, `range` its lowest and highest; "
      "`instructions` the same ratio of instructions per call under callgrind (all threads), where "
      "counted, against its own limit.\n")
    w("| target | Python | measured | range | result | instructions |")
    w("|---|---|---|---|---|---|")
    for label, py, value, spread, met, counted in targets(results, rss, instructions):
        w(f"| {label} | {py} | {value} | {spread} | {'met' if met else '**not met**'} | {counted} |")
    label, shown, met = instruction_target(instructions)
    w(f"| {label} | {here()} | {shown} | | {'met' if met else '**not met**'} | |")
    return "\n".join(out)


def latency_call():
    sc = SCENARIOS["file_text"]
    return f"log.{sc['method']}({sc['pct']!r}{''.join(', ' + repr(a) for a in sc['args'])})"


def rounds_ratio(a, b, key):
    """Each round's ratio of a's `key` to b's: the rounds pair up in order."""
    xs, ys = a.get(key + "_rounds") or [a.get(key)], b.get(key + "_rounds") or [b.get(key)]
    return [x / y for x, y in zip(xs, ys) if x and y]


def throughput(results):
    rows = []
    base = results.get(("threads", "tarnwick-baseline")) or {}
    for scen in (s for s, sc in SCENARIOS.items() if sc.get("threads")):
        for system in ("tarnwick", "tarnwick-baseline"):
            r = results.get((scen, system))
            if r is None:
                continue
            threads = SCENARIOS[scen]["threads"]
            if not r.get("ok"):
                rows.append(f"| {system} | {r.get('python', '')} | {threads} | **{r.get('status')}**: "
                            f"{r.get('error', '')} | | | |")
                continue
            rates = sorted(1e9 / x for x in r.get("e2e_ns_rounds") or [r["e2e_ns"]])
            vs = "–"
            if system == "tarnwick" and scen == "threads" and base.get("ok"):
                vs = spread_of(rounds_ratio(base, r, "e2e_ns"), fmt_ratio)[0]   # its time ÷ ours = our rate ÷ its
            lb = r.get("line_bytes")
            rows.append(f"| {system} | {r.get('python', '')} | {threads} | {1e9 / r['e2e_ns']:,.0f} | "
                        f"{rates[0]:,.0f} – {rates[-1]:,.0f} | {f'{lb:.1f}' if lb else '–'} | {vs} |")
    return rows


def spread_of(values, show):
    """The median of per-round values and their range, both shown, and the median itself."""
    if not values:
        return "–", "", None
    v = sorted(values)
    n = len(v)
    mid = v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2
    return show(mid), (f"{show(v[0])} – {show(v[-1])}" if n > 1 else "one round"), mid


def side_by_side(results):
    def loop(scen, system):
        r = results.get((scen, system)) or {}
        return r.get("loop_ns") if r.get("ok") else None

    rows = []
    for scen, system, label in (("context", "tarnwick-context", "inside a context of three fields"),
                                ("template", "tarnwick-template", "template string, two names"),
                                ("trace", "tarnwick-trace", "inside a span, trace_ids=True")):
        tw, st, lu = loop(scen, system), loop(scen, "structlog-context"), loop(scen, "loguru-context")
        if tw is None and st is None and lu is None:
            continue
        cells = [label, python_of(results, scen) or "–"] + [fmt_ns(v) if v is not None else "not measured"
                                                            for v in (tw,)]
        for peer in (st, lu):
            cells += [fmt_ns(peer) if peer is not None else "not measured", fmt_ratio(ratio(peer, tw))]
        rows.append("| " + " | ".join(cells) + " |")
    return rows


class Target:
    """A ratio of two measurements of one key (`loop_ns` or `e2e_ns`) with its limit; `callgrind`, the limit
    of the same ratio of instructions per call (None: timing only), which the machine's pace cannot blur."""

    def __init__(self, what, num, den, key, limit, upper=True, show=None, callgrind=None):
        self.what, self.num, self.den, self.key = what, num, den, key
        self.limit, self.upper, self.callgrind = limit, upper, callgrind
        self.show = show or fmt_ratio

    def label(self, limit):
        return self.what.format(limit=limit)

    def met(self, value, limit):
        return value <= limit if self.upper else value >= limit


TW = "tarnwick"
# The targets of a run, each a ratio; the memory and instruction-count targets follow them.
TARGETS = [
    # Counted, these take the same limits: the floor's instructions are the interpreter's own call.
    Target("text call to a file ≤ {limit}x floor", ("file_text", TW), ("file_text", "floor"), "loop_ns", 3,
           callgrind=3),
    Target("call without arguments ≤ {limit}x floor", ("no_args", TW), ("no_args", "floor"), "loop_ns", 2.5,
           callgrind=2.5),
    Target("JSON call ≤ {limit}x the text call", ("file_json", TW), ("file_text", TW), "loop_ns", 1.05,
           show=lambda v: f"{v:.2f}x text", callgrind=1.05),
    Target("disabled call ≤ {limit}x floor", ("disabled", TW), ("disabled", "floor"), "loop_ns", 1.10,
           callgrind=1.10),
    Target("picologging's text call ≥ {limit}x slower than tarnwick's", ("file_text", "picologging"),
           ("file_text", TW), "loop_ns", 100, upper=False, show=lambda v: f"{v:,.1f}x"),
    Target("text call ≥ {limit}x faster than stdlib", ("file_text", "stdlib"), ("file_text", TW), "loop_ns", 150,
           upper=False, show=lambda v: f"{v:,.0f}x"),
    Target("text end to end ≥ {limit}x faster than stdlib", ("file_text", "stdlib"), ("file_text", TW), "e2e_ns", 80,
           upper=False, show=lambda v: f"{v:,.0f}x"),
    Target("four mixed arguments ≤ {limit}x % alone", ("four_args", TW), ("four_args", "% alone"), "loop_ns", 1.2,
           show=lambda v: f"{v:.2f}x % alone"),
    Target(f"{THREADS} threads: records/s ≥ 80% of one thread's", ("file_text", TW), ("threads", TW), "e2e_ns", 0.8,
           upper=False, show=lambda v: f"{v:.0%} (end to end)"),
    Target(f"{THREADS} threads: records/s to the file ≥ {{limit}}x the --baseline build's",
           ("threads", "tarnwick-baseline"), ("threads", TW), "e2e_ns", 1.0, upper=False,
           show=lambda v: f"{v:.2f}x baseline"),
    Target("stdlib record through tarnwick.Handler ≤ {limit}x NullHandler", ("stdlib_handler", "tarnwick-handler"),
           ("stdlib_handler", "stdlib-null"), "loop_ns", 1.25, show=lambda v: f"{v:.2f}x NullHandler", callgrind=1.25),
    Target("stdlib records end to end (all threads' work) ≥ {limit}x faster than FileHandler",
           ("stdlib_handler", "stdlib"), ("stdlib_handler", "tarnwick-handler"), "e2e_ns", 2, upper=False,
           show=lambda v: f"{v:.2f}x", callgrind=2),
    Target("bound call with three fields ≤ {limit}x an unbound call", ("bound", "tarnwick-bound"), ("bound", TW),
           "loop_ns", 1.2, show=lambda v: f"{v:.2f}x unbound", callgrind=1.2),
    # Timed, the limit allows for noise; counted, 2% covers the two workers' set-up, which differs by some
    # thousand instructions spread over the calls.
    Target("disabled bound call ≤ {limit}x a disabled unbound one", ("disabled", "tarnwick-bound"), ("disabled", TW),
           "loop_ns", 1.1, show=lambda v: f"{v:.2f}x unbound", callgrind=1.02),
    Target("no context bound, trace ids off ≤ {limit}x the --baseline build's call", ("baseline", TW),
           ("baseline", "tarnwick-baseline"), "loop_ns", 1.05, show=lambda v: f"{v:.3f}x baseline"),
    Target("call inside a context of three fields ≤ {limit}x the logger bound with them",
           ("context", "tarnwick-context"), ("context", "tarnwick-bound"), "loop_ns", 1.15,
           show=lambda v: f"{v:.2f}x bound", callgrind=1.15),
    Target("template string with two names ≤ {limit}x the % call with two arguments",
           ("template", "tarnwick-template"), ("template", TW), "loop_ns", 1.3, show=lambda v: f"{v:.2f}x %",
           callgrind=1.3),
    Target("call inside a span with trace_ids=True ≤ {limit}x with it off", ("trace", "tarnwick-trace"),
           ("trace", "tarnwick-span"), "loop_ns", 1.25, show=lambda v: f"{v:.2f}x off", callgrind=1.25),
]
# (scenario, system) pairs counted by --callgrind: the floor, the enabled call and the pairs of the targets above.
CALLGRIND_RUNS = list(dict.fromkeys([("file_text", "floor"), ("file_text", TW)]
                                    + [p for t in TARGETS if t.callgrind for p in (t.num, t.den)]))
# Those a full run counts (each count starts two interpreters under valgrind, some seconds apiece): the
# instruction target's pair, which also counts the text call against the floor, and the context, template and
# trace rows. --callgrind counts the others.
FULL_RUN_CALLGRIND = [("file_text", "floor"), ("file_text", TW), ("context", "tarnwick-bound"),
                      ("context", "tarnwick-context"), ("template", TW), ("template", "tarnwick-template"),
                      ("trace", "tarnwick-span"), ("trace", "tarnwick-trace")]
# The systems whose single-call latency a full run measures.
LATENCY_SYSTEMS = ("floor", TW, "picologging", "structlog", "stdlib")


def targets(results, rss, instructions):
    """(label, interpreter, median, range, met, instruction ratio) of each timing target and the memory target."""
    def why_missing(*pairs):
        for scen, system in pairs:
            r = results.get((scen, system))
            if r is None:
                return f"{system} not measured"
            if not r.get("ok"):
                return f"{system} {scen}: {r.get('status')}"
        return "no measurement"

    rows = []
    for t in TARGETS:
        num, den = (results.get(pair) or {} for pair in (t.num, t.den))
        label = t.label(t.limit)
        pythons = sorted({r["python"] for r in (num, den) if r.get("python")})
        py = " / ".join(pythons) or "–"
        counted = instruction_ratio(t, instructions)
        if not (num.get("ok") and den.get("ok") and num.get(t.key) and den.get(t.key)):
            rows.append((label, py, why_missing(t.num, t.den), "", False, counted))
            continue
        shown, spread, mid = spread_of(rounds_ratio(num, den, t.key), t.show)
        rows.append((label, py, shown, spread, t.met(mid, t.limit), counted))
    r = rss.get(TW) or {}
    label = f"{r.get('calls', 1_000_000):,} records: peak RSS ≤ 32 MiB above start"
    if r.get("ok"):
        v = (r["rss_peak_kib"] - r["rss_start_kib"]) / 1024
        rows.append((label, r.get("python", "–"), f"{v:.1f} MiB", "one run", v <= 32, ""))
    else:
        rows.append((label, "–", f"tarnwick: {r.get('status', 'not run')}", "", False, ""))
    return rows


def instruction_ratio(t, per_call):
    """The target's ratio in instructions per call, with its own limit, or "" when not counted."""
    if t.callgrind is None or t.num not in per_call or t.den not in per_call:
        return ""
    v = per_call[t.num] / per_call[t.den]
    return f"{v:.3f}x ({'met' if t.met(v, t.callgrind) else '**not met**'} at {t.callgrind}x)"


def callgrind_targets(per_call):
    """(label, shown value, met) of the targets counted in instructions per call."""
    rows = [instruction_target(per_call)]
    for t in TARGETS:
        if t.callgrind is None:
            continue
        if t.num in per_call and t.den in per_call:
            v = per_call[t.num] / per_call[t.den]
            rows.append((t.label(t.callgrind), f"{v:.3f}x", t.met(v, t.callgrind)))
        else:
            rows.append((t.label(t.callgrind), "not measured", False))
    return rows


INSTRUCTIONS_PER_CALL = 300


def instruction_target(per_call):
    """Instructions per enabled call beyond the floor's (the interpreter's own call), all threads."""
    label = (f"instructions per enabled call, less the floor's, ≤ {INSTRUCTIONS_PER_CALL} "
             "(callgrind, all threads, flush included)")
    ours, floor = per_call.get(("file_text", TW)), per_call.get(("file_text", "floor"))
    if ours is None or floor is None:
        return label, "not measured", False
    v = ours - floor
    return label, f"{v:,.0f} ({ours:,.0f} − {floor:,.0f})", v <= INSTRUCTIONS_PER_CALL
