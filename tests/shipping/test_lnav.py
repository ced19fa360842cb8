"""lnav reads the dated files with the shipped format definitions: every record at its level."""

import json
import os
import re
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
from helpers import REPO, run_in_child  # noqa: E402

# Skipped on a machine without lnav, never on CI, where the setup installs it.
pytestmark = pytest.mark.skipif(shutil.which("lnav") is None and not os.environ.get("CI"),
                                reason="lnav is not installed (tools/setup.sh installs it)")

DEFINITIONS = [os.path.join(REPO, "contrib/lnav", f"tarnwick_{f}.json") for f in ("json", "logfmt")]
# lnav's built-in logfmt reader takes any file of key=value lines before a definition is tried, and
# (lnav 0.11) reads every record as info; a search table reads the level from the line instead.
LOGFMT_LEVELS = r":create-search-table tarnwick_levels ^time=\S+ level=(?<level>trace|debug|info|warn|error) "


def lnav(home, *args):
    env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
    proc = subprocess.run(["lnav", *args], env=dict(env, HOME=home), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and "error" not in proc.stderr, proc.stderr
    return proc.stdout


def query(home, sql, path, *before):
    commands = [*before, ";" + sql, ":write-json-to -"]
    return json.loads(lnav(home, "-n", *(a for c in commands for a in ("-c", c)), path))


def log_every_level(fmt, unix_ts):
    from tarnwick._logger import PyLevel, PyLogger, basic_config
    basic_config(format=fmt, unix_ts=unix_ts)
    log = PyLogger("api", path="logs/app.log", level=PyLevel.Trace).bind(request_id="r1", attempt=3)
    for i in range(1002):
        if i % 5 < 4:
            getattr(log, ("trace", "debug", "info", "warn")[i % 5])('record %d: "quoted" level=error', i)
            continue
        try:
            raise ValueError('bad "input"\nsecond line')
        except ValueError:
            log.exception('record %d: level=info', i)


@pytest.mark.parametrize("unix_ts", [False, True], ids=["calendar", "unix"])
@pytest.mark.parametrize("fmt", ["json", "logfmt"])
def test_every_level_counted(tmp_path, fmt, unix_ts):
    home = str(tmp_path / "home")
    os.makedirs(home)
    for definition in DEFINITIONS:  # lnav checks each definition's sample lines when it loads them
        lnav(home, "-i", definition)
    run_in_child(log_every_level, fmt, unix_ts, cwd=tmp_path)
    (path,) = [str(p) for p in (tmp_path / "logs").iterdir()]
    expected = {"trace": 201, "debug": 201, "info": 200, "warn": 200, "error": 200}
    formats = query(home, "SELECT DISTINCT log_format FROM all_logs", path)
    if fmt == "json":
        assert formats == [{"log_format": "tarnwick_json"}]
        rows = query(home, "SELECT log_level AS level, count(*) AS n FROM all_logs GROUP BY 1", path)
        expected["warning"] = expected.pop("warn")
        failed = query(home, 'SELECT "exception.type" AS t, count(*) AS n FROM tarnwick_json GROUP BY 1', path)
        assert failed == [{"t": None, "n": 802}, {"t": "ValueError", "n": 200}]
    else:
        assert formats == [{"log_format": "logfmt_log"}], "the definition is used now: update the guide"
        rows = query(home, "SELECT level, count(*) AS n FROM tarnwick_levels GROUP BY 1", path, LOGFMT_LEVELS)
    assert {row["level"]: row["n"] for row in rows} == expected


def test_guide_shows_the_tested_files_word_for_word():
    with open(os.path.join(REPO, "docs/shipping.md"), encoding="utf-8") as f:
        guide = f.read()
    blocks = re.findall(r"^```[a-z]*\n(.*?)^```$", guide, re.S | re.M)
    confs = [os.path.join(REPO, "contrib", e, f"{role}.conf") for e in ("rsyslog", "syslog-ng")
             for role in ("host", "collector")]
    for path in [*confs, *DEFINITIONS]:
        with open(path, encoding="utf-8") as f:
            assert f.read() in blocks, f"docs/shipping.md does not show {path} as it is"
    assert LOGFMT_LEVELS in guide
