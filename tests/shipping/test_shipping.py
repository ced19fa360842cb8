"""The dated JSON files shipped by real engines, host to collector on loopback: every record arrives once, intact."""

import collections
import functools
import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import types

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
from helpers import REPO, read_lines, run_in_child, wait_for  # noqa: E402


def command(engine, conf, work):
    """The engine's command line and extra environment, or None when it is absent."""
    if engine == "rsyslog":
        exe = shutil.which("rsyslogd") or "/usr/sbin/rsyslogd"
        return os.path.exists(exe) and ([exe, "-n", "-f", conf, "-i", f"{work}/pid"], {})
    # Installed, or unpacked beside the build by tools/setup_syslog_ng.sh.
    exe = shutil.which("syslog-ng") or os.path.join(REPO, "build/engines/syslog-ng/usr/sbin/syslog-ng")
    lib = os.path.join(os.path.dirname(os.path.dirname(exe)), "lib/syslog-ng")
    own = [f"--persist-file={work}/persist", f"--pidfile={work}/pid", f"--control={work}/ctl"]
    modules = [f"--module-path={m}" for m in sorted(glob.glob(f"{lib}/[0-9]*/"))[-1:]]
    return os.path.exists(exe) and ([exe, "-F", "--no-caps", "-f", conf, *own, *modules], {"LD_LIBRARY_PATH": lib})


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def stop(procs, roles=("host", "collector")):
    """Host first, so that what it still holds reaches the collector; each wait is bounded."""
    for proc in [procs.pop(role) for role in roles if role in procs]:
        for sig, limit in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
            if proc.poll() is None:
                os.killpg(proc.pid, sig)
                try:
                    proc.wait(timeout=limit)
                except subprocess.TimeoutExpired:
                    pass


@pytest.fixture(params=["rsyslog", "syslog-ng"])
def engine(request, tmp_path):
    """A collector and a host instance, each with its own config, directory and pid file; stopped at the end."""
    if not command(request.param, "-", "-"):
        absent = f"{request.param} is not installed (tools/setup.sh and tools/setup_syslog_ng.sh install it)"
        pytest.fail(absent) if os.environ.get("CI") else pytest.skip(absent)
    procs = {}
    request.addfinalizer(lambda: stop(procs))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    logs, out = tmp_path / "logs", tmp_path / "collected.json"
    logs.mkdir()

    def start(role):
        work = tmp_path / role
        work.mkdir(exist_ok=True)
        (work / "pid").unlink(missing_ok=True)
        argv, extra = command(request.param, os.path.join(REPO, "contrib", request.param, f"{role}.conf"), work)
        paths = {"SHIP_LOGS": logs, "SHIP_WORK": work, "SHIP_PORT": port, "SHIP_OUT": out}
        env = dict(os.environ, **{k: str(v) for k, v in paths.items()}, **extra)
        with open(work / "output", "ab") as output:
            proc = procs[role] = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                                  stderr=subprocess.STDOUT, start_new_session=True)
        wait_for(lambda: (work / "pid").exists() or proc.poll() is not None, f"the {role}", 10)
        assert proc.poll() is None, f"the {role} exited: {(work / 'output').read_text()}"

    start("collector")
    wait_for(lambda: accepts(port), "the collector to listen", 10)
    start("host")
    return types.SimpleNamespace(logs=logs, out=out, start=start, stop=lambda *roles: stop(procs, *roles))


def test_every_record_arrives_once_and_intact(engine):
    # Two seconds before midnight (room for a slow start); then, with the host instance restarted from its
    # saved offsets, a second process that appends to the next day's file.
    for phase, when in (("first", "@2026-01-05 23:59:58"), ("restart", "@2026-01-06 00:00:30")):
        if phase == "restart":
            engine.stop(["host"])
            engine.start("host")
        env = {"TZ": "UTC", "FAKETIME_DONT_FAKE_MONOTONIC": "1"}
        run_in_child(os.path.join(HERE, "emit.py"), engine.logs / "app.log", phase, env=env,
                     prefix=["faketime", "-f", when])
    assert sorted(os.listdir(engine.logs)) == ["app_20260105.log", "app_20260106.log"]
    for day in ("20260105", "20260106"):  # each record in the file of its local day (TZ=UTC here)
        assert {json.loads(r)["time"][:10] for r in read_lines(engine.logs, f"app_{day}.log")} == {
            f"{day[:4]}-{day[4:6]}-{day[6:]}"}
    logged = [json.loads(line) for line in read_lines(engine.logs, "app_*.log")]
    assert len(logged) == 4 * 50 + 1 + 2

    def collected():
        out = engine.out
        return [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()] if out.exists() else []

    wait_for(lambda: len(collected()) >= len(logged), "every record at the collector")
    engine.stop()  # a duplicate still on its way lands before the comparison
    key = functools.partial(json.dumps, sort_keys=True)
    assert collections.Counter(map(key, collected())) == collections.Counter(map(key, logged))
