"""The drisk command-line tool, run as a subprocess."""
import json
import math
import os
import signal
import subprocess
import sys
import time

import pytest

import drisk

DRISK = [sys.executable, "-m", "drisk"]


def run(*args, input=None, check_clean=True):
    proc = subprocess.run([*DRISK, *map(str, args)], input=input, capture_output=True)
    if check_clean:
        assert b"Traceback" not in proc.stderr
    return proc


def lines_of(n, start=0):
    return "".join(f"{i}\n" for i in range(start, start + n)).encode()


def error_line(proc):
    err = proc.stderr.decode()
    assert err.count("\n") == 1 and err.startswith("drisk: "), err
    return err.strip()


def test_count_stdin_and_json():
    proc = run("count", input=lines_of(50_000))
    assert proc.returncode == 0
    estimate = int(proc.stdout)
    assert abs(estimate - 50_000) / 50_000 < 3 * 1.04 / math.sqrt(2**14)
    data = json.loads(run("count", "--json", "-p", "12", input=lines_of(1000)).stdout)
    assert set(data) == {"estimate", "p", "relative_standard_error", "lines", "seconds"}
    assert data["p"] == 12 and data["lines"] == 1000
    assert data["relative_standard_error"] == 1.04 / 64
    h = drisk.HyperLogLog(12)
    drisk.update_lines(h, lines_of(1000))
    assert data["estimate"] == h.count()


def test_count_files_dash_and_save(tmp_path):
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_bytes(lines_of(3000))
    b.write_bytes(lines_of(3000, start=1000).replace(b"\n", b"\r\n"))
    saved = tmp_path / "s.hll"
    proc = run("count", a, "-", "--save", saved, "--json", input=b"x\ny\n")
    assert proc.returncode == 0
    expected = drisk.HyperLogLog(14)
    drisk.update_lines(expected, lines_of(3000) + b"x\ny\n")
    assert saved.read_bytes() == expected.to_bytes()
    assert json.loads(proc.stdout)["lines"] == 3002
    # CRLF lines are the same items as LF lines.
    both = tmp_path / "both.hll"
    run("count", a, b, "--save", both)
    expected.update(b"unused")
    direct = drisk.HyperLogLog(14)
    drisk.update_lines(direct, lines_of(4000))
    assert both.read_bytes() == direct.to_bytes()


def test_merge_and_show(tmp_path):
    paths = []
    for k in range(3):
        path = tmp_path / f"{k}.hll"
        run("count", "-p", "10", "--save", path, input=lines_of(2000, start=1000 * k))
        paths.append(path)
    out = tmp_path / "all.hll"
    proc = run("merge", *paths, "-o", out)
    assert proc.returncode == 0
    direct = drisk.HyperLogLog(10)
    drisk.update_lines(direct, lines_of(4000))
    assert out.read_bytes() == direct.to_bytes()
    assert int(proc.stdout) == round(direct.count())

    shown = run("show", out).stdout.decode()
    assert "p: 10" in shown and "m: 1024" in shown and "estimate:" in shown
    assert "relative standard error: 3.2500%" in shown and "non-zero registers:" in shown
    info = json.loads(run("show", "--json", out).stdout)
    assert info["m"] == 1024 and 0 < info["nonzero_registers"] <= 1


def test_merge_different_precision_exits_1(tmp_path):
    a, b = tmp_path / "a.hll", tmp_path / "b.hll"
    a.write_bytes(drisk.HyperLogLog(12).to_bytes())
    b.write_bytes(drisk.HyperLogLog(14).to_bytes())
    proc = run("merge", a, b)
    assert proc.returncode == 1
    assert error_line(proc).endswith("cannot merge sketches with different p (12 vs 14)")


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["count", "missing.txt"], "cannot read 'missing.txt': No such file or directory"),
        (["count", "."], "cannot read '.': Is a directory"),
        (["count", "-p", "3"], "precision must be between 4 and 18, got 3"),
        (["count", "-p", "19"], "precision must be between 4 and 18, got 19"),
        (["count", "-p", "x"], "invalid precision 'x'"),
        (["show", "missing.hll"], "cannot read 'missing.hll'"),
        (["show", "truncated.hll"], "is not a valid sketch: expected 4096 register bytes for p=12, got 99"),
        (["show", "empty.hll"], "is not a valid sketch: empty byte buffer"),
        (["merge", "garbage.hll"], "is not a valid sketch: p must be between 4 and 18 inclusive, got 71"),
        (["frobnicate"], "invalid choice"),
        ([], "the following arguments are required"),
        (["count", "--save", "nodir/x.hll"], "cannot write 'nodir/x.hll'"),
    ],
)
def test_errors_are_one_line_with_status_2(tmp_path, monkeypatch, args, fragment):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "truncated.hll").write_bytes(drisk.HyperLogLog(12).to_bytes()[:100])
    (tmp_path / "empty.hll").write_bytes(b"")
    (tmp_path / "garbage.hll").write_bytes(b"GARBAGE")
    proc = run(*args, input=b"")
    assert proc.returncode == 2
    assert fragment in error_line(proc)


def test_unreadable_file(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    path = tmp_path / "secret.txt"
    path.write_bytes(b"x\n")
    path.chmod(0)
    proc = run("count", path)
    assert proc.returncode == 2 and "Permission denied" in error_line(proc)


def test_ctrl_c_exits_130():
    proc = subprocess.Popen([*DRISK, "count"], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    proc.stdin.write(b"a\n" * 1000)
    proc.stdin.flush()
    time.sleep(1.0)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 130
    assert err.decode().strip() == "drisk: interrupted"


def test_help_and_console_script():
    for args in ([], ["count"], ["merge"], ["show"]):
        proc = run(*args, "--help")
        assert proc.returncode == 0 and b"usage: drisk" in proc.stdout
    # The console script installed beside this interpreter (a venv's bin/).
    beside = os.path.join(os.path.dirname(sys.executable), "drisk")
    script = subprocess.run([beside if os.path.exists(beside) else "drisk", "--version"],
                            capture_output=True)
    assert script.stdout.decode().strip() == f"drisk {drisk.__version__}"


def test_large_input_memory_stays_flat(tmp_path):
    """A 200 MB input peaks at about the same RSS as a tiny one."""
    big = tmp_path / "big.txt"
    with open(big, "wb") as f:
        chunk = lines_of(100_000)
        for _ in range(200_000_000 // len(chunk)):
            f.write(chunk)
    code = ("import resource, sys; from drisk.cli import main; main(sys.argv[1:]); "
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)")

    def peak_kib(path, via_stdin):
        args = [sys.executable, "-c", code, "count", "-q"] + ([] if via_stdin else [str(path)])
        with open(path, "rb") as stdin:
            proc = subprocess.run(args, stdin=stdin if via_stdin else subprocess.DEVNULL,
                                  capture_output=True, check=True)
        return int(proc.stderr.decode().split()[-1])

    small = tmp_path / "small.txt"
    small.write_bytes(b"x\n")
    base = peak_kib(small, False)
    assert peak_kib(big, False) - base < 100 * 1024   # one mapped window plus change
    assert peak_kib(big, True) - base < 40 * 1024     # stream chunks
