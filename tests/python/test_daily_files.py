"""Dated file names and the switch at midnight, with the clock moved by faketime."""

import os
import shutil

import pytest

from helpers import child_env, read_lines, run_py

pytestmark = [
    pytest.mark.skipif(shutil.which("faketime") is None, reason="faketime is not installed"),
    # faketime preloads its own library; beside a sanitizer runtime the child hangs.
    pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="another library is preloaded"),
]


def faketime(when):
    return ["faketime", "-f", when]


def test_file_name_carries_the_local_date(tmp_path):
    run_py(
        """
from tarnwick._logger import PyLogger
for path in ("logs/app.log", "plain"):
    PyLogger("n", path=path).info("x")
""",
        cwd=tmp_path,
        env=child_env(TZ="UTC", FAKETIME_DONT_FAKE_MONOTONIC="1"),
        prefix=faketime("@2026-01-05 12:00:00"),
    )
    made = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file())
    assert made == ["logs/app_20260105.log", "plain_20260105.log"]


def test_midnight_switches_to_the_next_days_file(tmp_path):
    run_py(
        """
import time
from tarnwick._logger import PyLogger, basic_config
basic_config(batch_size=1)
log = PyLogger("m", path="day.log")
log.info("before midnight")
end = time.monotonic() + 3.5   # faketime breaks time.sleep; the monotonic clock is real
while time.monotonic() < end:  # meanwhile the writer's periodic check sees the new date
    pass
log.info("after midnight")
log.shutdown()
""",
        cwd=tmp_path,
        env=child_env(TZ="UTC", FAKETIME_DONT_FAKE_MONOTONIC="1"),
        prefix=faketime("@2026-01-05 23:59:58"),
    )
    assert [l.rsplit("msg=", 1)[1] for l in read_lines(tmp_path, "day_20260105.log")] == ['"before midnight"']
    assert [l.rsplit("msg=", 1)[1] for l in read_lines(tmp_path, "day_20260106.log")] == ['"after midnight"']
