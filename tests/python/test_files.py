"""The dated files' whole life: the options of tarnwick.basic_config, the size split into parts, retention
and compression across days (under faketime), reopening a file deleted or renamed behind the writer's back,
many processes on one base path, and a full disk (a small tmpfs)."""

import datetime
import glob
import gzip
import logging
import os
import pathlib
import random
import re
import select
import subprocess
import sys

import pytest

import tarnwick
from helpers import ASAN, FAST, fill, finish, run_in_child, spawn, wait_for, wait_for_line

PART_NAME = re.compile(r"app_(\d{8})(?:\.([1-9]\d*))?\.log(\.gz)?")
LINE = re.compile(r'time=\S+ level=info name=(\S+) msg="(\d+) (\w*)"')


def real_day(text):
    try:
        return datetime.datetime.strptime(text, "%Y%m%d")
    except ValueError:
        return None


def parts(directory):
    """{(day, part): path} of app.log's files, the compressed form where there is one."""
    found = {}
    for path in pathlib.Path(directory).iterdir():
        if (m := PART_NAME.fullmatch(path.name)) and real_day(m[1]) and path.is_file():
            key = (m[1], int(m[2] or 0))
            if m[3] or key not in found:
                found[key] = path
    return dict(sorted(found.items()))


def contents(path):
    return gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()


def settled(directory):
    """Whether every closed file is compressed: each earlier day's, and the last day's parts below its highest."""
    if any(name.endswith(".tmp") for name in os.listdir(directory)):
        return False
    found = parts(directory)
    last_day = max((day for day, _ in found), default=None)
    last_part = max((part for day, part in found if day == last_day), default=0)
    return all(path.suffix == ".gz" for (day, part), path in found.items() if day != last_day or part < last_part)


def seqs(directory, name=None):
    """The sequence numbers of the lines in the parts, read in order (of logger `name`, if given)."""
    out = []
    for path in parts(directory).values():
        data = contents(path)
        assert data == b"" or data.endswith(b"\n"), path
        for line in data.decode().split("\n")[:-1]:
            m = LINE.fullmatch(line)
            assert m, line
            if name is None or m[1] == name:
                out.append(int(m[2]))
    return out


@pytest.mark.parametrize("kwargs, error, text", [
    ({"max_bytes": 0}, ValueError, "argument 'max_bytes': must be at least 1, not 0"),
    ({"max_bytes": 2**63}, ValueError, "argument 'max_bytes': must be at most"),
    ({"max_bytes": True}, TypeError, "argument 'max_bytes': 'bool' object cannot be cast as 'int'"),
    ({"keep_days": -1}, ValueError, "argument 'keep_days': must be at least 0, not -1"),
    ({"keep_days": 1.5}, TypeError, "argument 'keep_days': 'float' object"),
    ({"compress": 1}, TypeError, "argument 'compress': 'int' object cannot be cast as 'bool'"),
    ({"color": None, "max_bytes": 10}, TypeError, "argument 'color'"),  # the extension's own checks stay
])
def test_file_options_are_checked(kwargs, error, text):
    with pytest.raises(error) as raised:
        tarnwick.basic_config(**kwargs)
    assert str(raised.value).startswith(text)


def log_sizes(layer, first, count, max_bytes):
    tarnwick.basic_config(path="logs/app.log" if layer == "get_logger" else None, max_bytes=max_bytes, batch_size=7)
    if layer == "Handler":
        emit = logging.getLogger("split").warning
        logging.getLogger("split").addHandler(tarnwick.Handler(path="logs/app.log"))
    else:
        log = tarnwick.get_logger("split") if layer == "get_logger" else tarnwick.PyLogger("split", path="logs/app.log")
        emit = log.info
    for i in range(first, first + count):
        emit("%d %s", i, "L" * 3000 if i % 150 == 149 else "x" * (i * 37 % 120))


SPLIT_LINE = re.compile(rb'time=\S+ level=(?:info|warn) name=split msg="(\d+) (x*|L{3000})"\n')


# A single process never takes a part past max_bytes; a line longer than that has a part of its
# own; a restart goes on in the highest part and leaves every earlier one as it was.
@pytest.mark.parametrize("layer", ["get_logger", "PyLogger", "Handler"])
def test_size_split_within_a_day_and_across_runs(tmp_path, layer):
    max_bytes = 2048
    run_in_child(log_sizes, layer, 0, 400, max_bytes, cwd=tmp_path, env={"TZ": "UTC"})
    before = {key: path.read_bytes() for key, path in parts(tmp_path / "logs").items()}
    run_in_child(log_sizes, layer, 400, 200, max_bytes, cwd=tmp_path, env={"TZ": "UTC"})
    after = parts(tmp_path / "logs")
    assert len({day for day, _ in after}) == 1 and len(after) > 40
    *closed, last = before
    assert all(after[key].read_bytes() == before[key] for key in closed), "a closed part was written again"
    assert after[last].read_bytes().startswith(before[last])
    numbers = []
    for path in after.values():
        data = path.read_bytes()
        lines = SPLIT_LINE.findall(data)
        assert b"".join(m.group(0) for m in SPLIT_LINE.finditer(data)) == data, path
        assert len(data) <= max_bytes or len(lines) == 1, (path, len(data))
        numbers += [int(n) for n, _ in lines]
    assert numbers == list(range(600))


def log_across_midnight():
    tarnwick.basic_config(path="logs/app.log", max_bytes=3000, keep_days=2, compress=True, batch_size=1)
    log = tarnwick.get_logger("days")
    n = 0
    while datetime.datetime.now() < datetime.datetime(2026, 3, 15, 0, 0, 2):  # the faked clock
        log.info("%d %s", n, "d" * 40)
        n += 1
        select.select([], [], [], 0.005)  # not time.sleep(), which faketime breaks
    log.info("%d last", n)
    log._flush()
    wait_for(lambda: settled("logs"), "every closed file compressed", timeout=60)
    log.shutdown()
    print(n)


# Across midnight: the new day starts with its first file; retention deletes, at the start and at the
# switch, exactly the base's files of days more than keep_days before today (earlier runs' included,
# whatever their form), and nothing else; closed files are compressed; a crash's .tmp is redone; a
# failing delete is told once.
@pytest.mark.skipif(ASAN, reason="faketime's preload beside the sanitizer runtime")
def test_days_switch_retention_and_compression(tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    others = ["other_20260301.log", "app_2026-03-01.log", "app_20260301.txt", "app_20260301.log.bak", "notes.txt",
              "xapp_20260301.log", "app_20260301.01.log", "app_20260230.log"]
    expired = ["app_20260310.log", "app_20260310.1.log.gz", "app_20260311.log", "app_20260311.log.gz.tmp"]
    for name in [*others, *expired, "app_20260312.log"]:
        (logs / name).write_text('time=x level=info name=old msg="0 old"\n')
    yesterday = b"".join(b'time=x level=info name=old msg="%d y"\n' % i for i in range(5000))
    (logs / "app_20260313.log").write_bytes(yesterday)
    (logs / "app_20260313.log.gz.tmp").write_bytes(gzip.compress(yesterday)[:100])  # a crash's half
    (logs / "app_20260309.1.log").mkdir()  # cannot be deleted
    (logs / "app_20260309.1.log" / "x").write_text("")

    env = {"TZ": "UTC", "FAKETIME_DONT_FAKE_MONOTONIC": "1", **FAST}
    proc = run_in_child(log_across_midnight, env=env, cwd=tmp_path, prefix=["faketime", "-f", "@2026-03-14 23:59:58"])
    assert proc.stderr == f'error cannot delete "{logs}/app_20260309.1.log": Is a directory; left in place\n'
    names = set(os.listdir(logs))
    rest = names - set(others) - {".app.log.lock", "app_20260309.1.log", "app_20260313.log.gz"}
    assert rest and all(re.fullmatch(r"app_2026031[45](\.[1-9]\d*)?\.log(\.gz)?", n) for n in rest), rest
    assert "app_20260315.log" in names or "app_20260315.log.gz" in names  # the new day's first file
    subprocess.run(["gzip", "-t", *(str(p) for p in logs.glob("*.gz"))], check=True)
    assert gzip.decompress((logs / "app_20260313.log.gz").read_bytes()) == yesterday
    n = int(proc.stdout)
    assert [key for key in parts(logs) if key[0] == "20260314"] and seqs(logs, "days") == list(range(n + 1))


def log_while_the_file_goes(options, how):
    tarnwick.basic_config(**({"max_bytes": 1 << 20, "compress": True} if options == "options" else {}))
    log = tarnwick.PyLogger("reopen", path="app.log")
    for i in range(100):
        log.info("%d before", i)
    log._flush()
    [name] = [n for n in os.listdir() if n.startswith("app_")]
    if how == "delete":
        os.remove(name)
    else:
        os.rename(name, name + ".1")  # as logrotate does
    wait_for(lambda: os.path.exists(name), "the writer to open the file anew")
    for i in range(100, 200):
        log.info("%d after", i)
    log.shutdown()


# Within a check (a second; here 50 ms) the writer opens the named file anew, and lines logged after
# that are in it: with and without the file options.
@pytest.mark.parametrize("how", ["delete", "rename"])
@pytest.mark.parametrize("options", ["options", "none"])
def test_file_deleted_or_renamed_behind_the_writer_is_reopened(tmp_path, options, how):
    run_in_child(log_while_the_file_goes, options, how, cwd=tmp_path, env=FAST)
    assert seqs(tmp_path) == list(range(100, 200))
    if how == "rename":
        [renamed] = tmp_path.glob("app_*.log.1")
        assert renamed.read_text().count(" before\"\n") == 100


def log_as_one_of_many(p, max_bytes, lines):
    tarnwick.basic_config(path="logs/app.log", max_bytes=max_bytes, compress=True)
    log = tarnwick.get_logger(f"p{p}")
    for i in range(lines):
        log.info("%d m", i)


# Every line once, whole and in its process's order; one split at a time that every process
# follows; no part longer than max_bytes plus one write from each other process; no file
# compressed while a process still appends to it; the next start finishes what exits left.
# 8 x 50,000 lines of about 70 bytes: 28 MB, a few seconds; compressed to under 2 MB.
def test_many_processes_share_one_base_path(tmp_path):
    processes, lines, max_bytes = 8, 5_000 if ASAN else 50_000, 64 * 1024
    procs = [spawn(log_as_one_of_many, p, max_bytes, lines, cwd=tmp_path, TZ="UTC", **FAST) for p in range(processes)]
    for proc in procs:
        assert finish(proc) == b""
    run_in_child(log_and_exit, "next", "logs", 120, cwd=tmp_path, env={"TZ": "UTC", **FAST})
    logs = tmp_path / "logs"
    found = parts(logs)
    assert len({day for day, _ in found}) == 1 or pytest.skip("the test ran across midnight")
    subprocess.run(["gzip", "-t", *(str(p) for p in found.values() if p.suffix == ".gz")], check=True)
    for p in range(processes):
        assert seqs(logs, f"p{p}") == list(range(lines)), p
    for path in found.values():
        data = contents(path)
        # The lines beyond max_bytes: each process wrote there at most once before it saw the split.
        tail, end = [], 0
        for line in data.split(b"\n")[:-1]:
            end += len(line) + 1
            if end > max_bytes:
                tail.append(LINE.fullmatch(line.decode())[1])
        runs = [name for i, name in enumerate(tail) if i == 0 or tail[i - 1] != name]
        assert len(runs) == len(set(runs)), (path, runs)


def log_beside_forked_workers():
    tarnwick.basic_config(path="logs/app.log", max_bytes=2000, compress=True, batch_size=1)
    log = tarnwick.get_logger("master")
    log.info("0 m")
    log._flush()
    r, w = os.pipe()
    workers = []
    for _ in range(3):  # idle workers of a pre-fork server, forked while the master's file is open
        pid = os.fork()
        if pid == 0:
            os.read(r, 1)
            os._exit(0)
        workers.append(pid)
    try:
        for i in range(1, 200):
            log.info("%d %s", i, "m" * 40)
        log._flush()
        wait_for(lambda: settled("logs") and len(glob.glob("logs/*.gz")) > 3, "the master's closed parts compressed")
        held = [os.readlink(f"/proc/{pid}/fd/{fd}") for pid in workers for fd in os.listdir(f"/proc/{pid}/fd")]
        assert not [h for h in held if h.endswith(" (deleted)")], held
    finally:
        os.write(w, b"...")
        for pid in workers:
            os.waitpid(pid, 0)


# Workers forked while the master appends neither keep the master's parts from being compressed nor
# keep them alive on disk once deleted.
@pytest.mark.skipif(ASAN, reason="sanitizer allocator and fork")
def test_forked_workers_let_closed_parts_go(tmp_path):
    run_in_child(log_beside_forked_workers, cwd=tmp_path, env={"TZ": "UTC", **FAST})
    assert seqs(tmp_path / "logs") == list(range(200))


def log_and_exit(how, directory, timeout=60):
    tarnwick.basic_config(path=os.path.join(directory, "app.log"), compress=True)
    log = tarnwick.get_logger("run")
    log.info("0 m")
    if how == "next":
        log._flush()
        wait_for(lambda: settled(directory), "the next start to finish the compression", timeout=timeout)


# A compression cut short (a crash, or the process leaving while it runs) never costs the original:
# the next start removes the .tmp and compresses again; a .gz already written is not done twice.
def test_compression_cut_short_is_redone_at_the_next_start(tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    today = datetime.datetime.now(datetime.timezone.utc).date()
    day = lambda n: (today - datetime.timedelta(days=n)).strftime("%Y%m%d")
    rng = random.Random(5)
    big = b"".join(b'time=x level=info name=old msg="%d %s"\n' % (i, rng.randbytes(8).hex().encode())
                   for i in range(150_000))  # about 9 MB: its compression may still run at exit
    (logs / f"app_{day(1)}.log").write_bytes(big)
    (logs / f"app_{day(1)}.log.gz.tmp").write_bytes(gzip.compress(big)[:4096])
    done = b'time=x level=info name=old msg="1 done"\n'
    (logs / f"app_{day(2)}.log").write_bytes(done)
    (logs / f"app_{day(2)}.log.gz").write_bytes(gzip.compress(done))  # renamed, then the crash
    run_in_child(log_and_exit, "leave", "logs", cwd=tmp_path, env={"TZ": "UTC"})
    original = logs / f"app_{day(1)}.log"
    assert (original.read_bytes() if original.exists()
            else gzip.decompress(original.with_suffix(".log.gz").read_bytes())) == big
    run_in_child(log_and_exit, "next", "logs", cwd=tmp_path, env={"TZ": "UTC"})
    subprocess.run(["gzip", "-t", *(str(p) for p in logs.glob("*.gz"))], check=True)
    assert gzip.decompress((logs / f"app_{day(1)}.log.gz").read_bytes()) == big
    assert gzip.decompress((logs / f"app_{day(2)}.log.gz").read_bytes()) == done
    assert not original.exists() and not (logs / f"app_{day(2)}.log").exists()


def log_around_stdin():
    tarnwick.basic_config(path="app.log", compress=True)
    log = tarnwick.get_logger("disk")
    log.info("0 m")
    log._flush()
    sys.stdin.read()
    log.info("1 m")
    log.shutdown()


# A compression that finds no room keeps the original and removes its .tmp; writing goes on, and
# the next start compresses once there is room.
@pytest.mark.parametrize("tmpfs", ["size=256k"], indirect=True)
def test_full_disk_compression_keeps_the_original(tmpfs):
    yesterday = tmpfs / (datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=1)).strftime(
        "app_%Y%m%d.log")
    rng = random.Random(3)
    text = "".join(f'time=x level=info name=old msg="{i} {rng.randbytes(40).hex()}"\n' for i in range(1200)).encode()
    yesterday.write_bytes(text)  # hardly compressible: its .gz needs about as much room again
    fillers = fill(tmpfs, 4096)
    for path in fillers[:8]:  # room for today's lines, not for the .gz
        os.remove(path)
    with spawn(log_around_stdin, cwd=tmpfs, text=True, stdin=subprocess.PIPE, TZ="UTC", **FAST) as proc:
        try:
            line = wait_for_line(proc, "error ")
            assert line == f'error cannot compress "{yesterday}": No space left on device; kept uncompressed\n'
            assert yesterday.read_bytes() == text and not list(tmpfs.glob("*.tmp")) and not list(tmpfs.glob("*.gz"))
            out, err = proc.communicate("", timeout=60)
            assert proc.returncode == 0 and err == "", err
        finally:
            proc.kill()
    for path in fillers[8:]:
        os.remove(path)
    run_in_child(log_and_exit, "next", ".", cwd=tmpfs, env={"TZ": "UTC"})
    assert gzip.decompress(yesterday.with_suffix(".log.gz").read_bytes()) == text and not yesterday.exists()
    assert seqs(tmpfs, "disk") == [0, 1]


def log_into_a_split_without_inodes():
    tarnwick.basic_config(path="app.log", max_bytes=1000, batch_size=1)
    log = tarnwick.get_logger("disk")
    n = 0
    while len(glob.glob("app_*.1.log")) == 0:  # part 1 and the lock file are there
        log.info("%d m", n)
        n += 1
        log._flush()
    print("ready", flush=True)
    sys.stdin.readline()  # the disk has no inodes left now
    for _ in range(40):  # part 1 fills up, and part 2 cannot be made
        log.info("%d m", n)
        n += 1
    log._flush()  # not answered while lines wait
    log.info("%s", "y" * 2_000_000)  # more than the writer holds meanwhile: lost and counted
    for _ in range(20):
        log.info("%d m", n)
        n += 1
    print(n, flush=True)
    sys.stdin.readline()  # inodes again
    wait_for(lambda: glob.glob("app_*.2.log"), "the next part")
    log.info("%d m", n)
    log.shutdown()


# A split that cannot make the next part (no inodes left) writes nothing more into the closed part:
# the lines wait, those that find no room are counted, and they go to the next part once it can be made.
@pytest.mark.parametrize("tmpfs", ["size=256k,nr_inodes=16"], indirect=True)
def test_full_disk_split_keeps_the_closed_part_closed(tmpfs):
    with spawn(log_into_a_split_without_inodes, cwd=tmpfs, text=True, stdin=subprocess.PIPE, TZ="UTC", **FAST) as proc:
        try:
            assert proc.stdout.readline() == "ready\n"
            fillers = fill(tmpfs, 0)
            proc.stdin.write("go\n")
            proc.stdin.flush()
            n = int(proc.stdout.readline())
            for path in fillers:
                os.remove(path)
            out, err = proc.communicate("go\n", timeout=60)
            assert proc.returncode == 0, err
        finally:
            proc.kill()
    [line] = err.splitlines()
    assert re.fullmatch(r'error cannot write "\S+/app_\d{8}\.2\.log": No space left on device; 1 line lost', line)
    assert seqs(tmpfs) == list(range(n + 1))
    sizes = [path.stat().st_size for path in parts(tmpfs).values()]
    assert len(sizes) > 3 and max(sizes) <= 1000, sizes
