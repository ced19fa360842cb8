"""The dated JSON files shipped by real engines, host to collector on loopback: every record arrives once, intact."""

import collections
import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
from helpers import REPO, child_env, read_lines, run_py  # noqa: E402

CONF = os.path.join(HERE, "conf")


def syslog_ng():
    """The syslog-ng command and its environment: installed, or unpacked by tools/setup_syslog_ng.sh."""
    exe = shutil.which("syslog-ng") or os.path.join(REPO, "build/engines/syslog-ng/usr/sbin/syslog-ng")
    if not os.path.exists(exe):
        return None, None
    root = os.path.dirname(os.path.dirname(os.path.dirname(exe)))
    modules = sorted(glob.glob(os.path.join(root, "usr/lib/syslog-ng/[0-9]*/")))
    return [exe, "-F", "--no-caps", *(f"--module-path={m}" for m in modules[-1:])], os.path.join(root, "usr/lib/syslog-ng")


def command(engine, conf, work):
    if engine == "rsyslog":
        exe = shutil.which("rsyslogd") or "/usr/sbin/rsyslogd"
        return [exe, "-n", "-f", conf, "-i", f"{work}/pid"] if os.path.exists(exe) else None
    base, _ = syslog_ng()
    own = ["-f", conf, f"--persist-file={work}/persist", f"--pidfile={work}/pid", f"--control={work}/ctl"]
    return base and [*base, *own]


def wait_until(condition, what, limit=30.0):
    end = time.monotonic() + limit
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.2)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class Engines:
    """A collector and a host instance of one engine, each with its own config, directory and pid file."""

    def __init__(self, engine, tmp):
        self.engine, self.tmp, self.procs = engine, tmp, []
        self.logs, self.out = os.path.join(tmp, "logs"), os.path.join(tmp, "collected.json")
        os.makedirs(self.logs)

    def start(self, role, port):
        work = os.path.join(self.tmp, role)
        os.makedirs(work)
        conf = os.path.join(CONF, f"{self.engine}-{role}.conf")
        env = dict(os.environ, SHIP_LOGS=self.logs, SHIP_WORK=work, SHIP_PORT=str(port), SHIP_OUT=self.out)
        if self.engine == "syslog-ng":
            env["LD_LIBRARY_PATH"] = syslog_ng()[1]
        with open(os.path.join(work, "output"), "wb") as output:
            proc = subprocess.Popen(command(self.engine, conf, work), env=env, stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
        self.procs.append(proc)
        wait_until(lambda: os.path.exists(f"{work}/pid") or proc.poll() is not None, f"{role} to start", 10)
        assert proc.poll() is None, f"{self.engine} {role} exited: {open(os.path.join(work, 'output')).read()}"

    def stop(self):
        """Host first, so that everything it still holds reaches the collector; then the collector."""
        for proc in reversed(self.procs):
            for sig, limit in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
                if proc.poll() is None:
                    os.killpg(proc.pid, sig)
                    try:
                        proc.wait(timeout=limit)
                    except subprocess.TimeoutExpired:
                        pass
        self.procs.clear()


@pytest.fixture(params=["rsyslog", "syslog-ng"])
def engines(request, tmp_path):
    if command(request.param, "-", str(tmp_path)) is None:
        absent = f"{request.param} is not installed (tools/setup.sh and tools/setup_syslog_ng.sh install it)"
        pytest.fail(absent) if os.environ.get("CI") else pytest.skip(absent)
    pair = Engines(request.param, str(tmp_path))
    request.addfinalizer(pair.stop)
    port = free_port()
    pair.start("collector", port)
    wait_until(lambda: accepts(port), "the collector to listen", 10)
    pair.start("host", port)
    return pair


def collected(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f.read().splitlines()]


def run_emitter(base, phase, when):
    with open(os.path.join(HERE, "emit.py"), encoding="utf-8") as f:
        code = f.read()
    env = child_env(TZ="UTC", FAKETIME_DONT_FAKE_MONOTONIC="1")
    run_py(code, base, phase, env=env, prefix=["faketime", "-f", when])


def test_every_record_arrives_once_and_intact(engines):
    base = os.path.join(engines.logs, "app.log")
    run_emitter(base, "first", "@2026-01-05 23:59:59")
    run_emitter(base, "restart", "@2026-01-06 00:00:30")
    assert sorted(os.listdir(engines.logs)) == ["app_20260105.log", "app_20260106.log"]
    logged = [json.loads(line) for line in read_lines(engines.logs, "app_*.log")]
    assert len(logged) == 4 * 50 + 1 + 2
    wait_until(lambda: len(collected(engines.out)) >= len(logged), "every record at the collector")
    engines.stop()  # a duplicate still on its way lands before the comparison

    def key(record):
        return json.dumps(record, sort_keys=True)

    assert collections.Counter(map(key, collected(engines.out))) == collections.Counter(map(key, logged))
