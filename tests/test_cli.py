"""The drisk command-line tool, run as a subprocess."""

import gzip
import io
import json
import math
import os
import pty
import resource
import select
import signal
import stat
import subprocess
import sys
import time

import pytest

import drisk

DRISK = [sys.executable, "-m", "drisk"]
#: The precision of HyperLogLog(), which the tool takes too when -p is not given.
DEFAULT_P = len(drisk.HyperLogLog()).bit_length() - 1


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
    assert abs(estimate - 50_000) / 50_000 < 3 * 1.04 / math.sqrt(2**DEFAULT_P)
    data = json.loads(run("count", "--json", "-p", "12", input=lines_of(1000)).stdout)
    assert set(data) == {"estimate", "estimator", "lower", "upper", "p", "relative_standard_error", "lines", "seconds"}
    assert data["p"] == 12 and data["lines"] == 1000 and data["estimator"] == "improved"
    assert data["relative_standard_error"] == 1.04 / 64
    assert data["lower"] <= 1000 <= data["upper"]


def test_the_tool_and_the_library_share_one_default_precision(tmp_path):
    """A sketch saved without -p merges with HyperLogLog()'s, unfolded."""
    saved, library = tmp_path / "tool.hll", tmp_path / "library.hll"
    info = json.loads(run("count", "--json", "--save", saved, input=lines_of(100)).stdout)
    assert info["p"] == 12 == DEFAULT_P
    h = drisk.HyperLogLog()
    h.update(b"library")
    library.write_bytes(drisk.pack(h))
    h.merge(drisk.load(saved.read_bytes()))  # no ValueError: the same p
    proc = run("merge", "--json", saved, library)
    assert proc.returncode == 0 and proc.stderr == b""
    assert json.loads(proc.stdout)["p"] == DEFAULT_P
    assert "(default 12: 4 KiB, 1.6%)" in " ".join(run("count", "--help").stdout.decode().split())


def sketch_of(data, p):
    h = drisk.HyperLogLog(p)
    drisk.update_lines(h, data)
    return h


@pytest.mark.parametrize("estimator", [None, "improved", "ml", "classic"])
@pytest.mark.parametrize("command", ["count", "merge", "show"])
def test_estimators_match_the_library(tmp_path, command, estimator):
    """Every command answers drisk.estimate and drisk.error_bounds (95 %) of
    the sketch; the improved estimator when none is chosen."""
    # Near 2.5 m lines, where the classic estimator is visibly biased.
    data = lines_of(2_500)
    h = sketch_of(data, 10)
    method = estimator or "improved"
    value, (lower, upper) = drisk.estimate(h, method), drisk.error_bounds(h, 0.95, method)
    chosen = [] if estimator is None else ["--estimator", estimator]
    saved = tmp_path / "s.hll"
    saved.write_bytes(drisk.pack(h))
    args = {"count": ["count", "-p", "10"], "merge": ["merge", saved], "show": ["show", saved]}[command]
    info = strict_json(run(*args, "--json", *chosen, input=data).stdout)
    assert (info["estimate"], info["lower"], info["upper"], info["estimator"]) == (value, lower, upper, method)
    text = run(*args, *chosen, input=data).stdout.decode()
    if command == "show":
        assert f"estimate: {value:.1f} ({method} estimator)\n" in text
        assert f"95% interval: {lower:.1f} to {upper:.1f}\n" in text
    else:
        assert text == f"{round(value)}\n"


def test_count_files_dash_and_save(tmp_path):
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_bytes(lines_of(3000))
    b.write_bytes(lines_of(3000, start=1000).replace(b"\n", b"\r\n"))
    saved = tmp_path / "s.hll"
    proc = run("count", a, "-", "--save", saved, "--json", input=b"x\ny\n")
    assert proc.returncode == 0
    expected = drisk.HyperLogLog(DEFAULT_P)
    drisk.update_lines(expected, lines_of(3000) + b"x\ny\n")
    assert drisk.unpack(saved.read_bytes()).registers() == expected.registers()
    assert json.loads(proc.stdout)["lines"] == 3002
    # CRLF lines are the same items as LF lines.
    both = tmp_path / "both.hll"
    run("count", a, b, "--save", both)
    expected.update(b"unused")
    direct = drisk.HyperLogLog(DEFAULT_P)
    drisk.update_lines(direct, lines_of(4000))
    assert drisk.unpack(both.read_bytes()).registers() == direct.registers()


def test_merge_and_show(tmp_path):
    paths = []
    for k in range(3):
        path = tmp_path / f"{k}.hll"
        run("count", "-p", "10", "--save", path, input=lines_of(2000, start=1000 * k))
        paths.append(path)
    out = tmp_path / "all.hll"
    proc = run("merge", *paths, "-o", out)
    assert proc.returncode == 0
    direct = sketch_of(lines_of(4000), 10)
    assert drisk.unpack(out.read_bytes()).registers() == direct.registers()
    assert int(proc.stdout) == round(drisk.estimate(direct)) and proc.stderr == b""

    shown = run("show", out).stdout.decode()
    assert "p: 10" in shown and "m: 1024" in shown and "estimate:" in shown
    assert "relative standard error: 3.2500%" in shown and "non-zero registers:" in shown
    info = json.loads(run("show", "--json", out).stdout)
    in_use = sum(1 for r in direct.registers() if r) / 1024
    assert info["m"] == 1024 and info["nonzero_registers"] == in_use


@pytest.mark.parametrize("precisions", [(12, 14), (16, 10, 12)])
def test_merge_folds_to_the_smallest_precision(tmp_path, precisions):
    paths, folded = [], []
    smallest = min(precisions)
    for k, p in enumerate(precisions):
        h = sketch_of(lines_of(3000, start=1000 * k), p)
        paths.append(tmp_path / f"{k}.hll")
        # Raw and packed inputs alike.
        paths[-1].write_bytes(h.to_bytes() if k % 2 else drisk.pack(h))
        folded.append(drisk.fold(h, smallest))
    expected = folded[0]
    for h in folded[1:]:
        expected.merge(h)
    out = tmp_path / "out.hll"
    proc = run("merge", "--json", *paths, "-o", out)
    assert proc.returncode == 0
    assert proc.stderr.decode() == (f"drisk: note: folded to p={smallest} (the smallest precision among the inputs)\n")
    assert json.loads(proc.stdout)["p"] == smallest
    assert drisk.unpack(out.read_bytes()).registers() == expected.registers()


def test_merge_help_says_where_the_fold_is_reported():
    """'a note on standard error' read as a remark on the estimate's error."""
    text = " ".join(run("merge", "--help").stdout.decode().split())
    assert "folded to the smallest among them, and the tool says so in one line written to standard error" in text
    assert "note" not in text


@pytest.mark.parametrize(
    "make, form",
    [
        (lambda h: h.to_bytes(), "raw"),
        (drisk.pack, "packed-sparse"),
        # Every register in use: the dense body, 2^p registers plus 15 bytes.
        (lambda h: drisk.pack(drisk.HyperLogLog.from_bytes(b"\x0a" + b"\x05" * 1024)), "packed-dense"),
    ],
)
def test_show_names_the_form(tmp_path, make, form):
    path = tmp_path / "s.hll"
    path.write_bytes(make(sketch_of(lines_of(100), 10)))
    size = path.stat().st_size
    assert (size == 2**10 + 15) == (form == "packed-dense")
    info = strict_json(run("show", "--json", path).stdout)
    assert (info["form"], info["file_bytes"]) == (form, size)
    kind, _, encoding = form.partition("-")
    shown = f"{kind} ({encoding})" if encoding else kind
    assert run("show", path).stdout.decode().startswith(f"form: {shown}, {size} bytes\n")


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["count", "missing.txt"], "cannot read 'missing.txt': No such file or directory"),
        (["count", "."], "cannot read '.': Is a directory"),
        (["count", "-p", "3"], "precision must be between 4 and 18, got 3"),
        (["count", "-p", "19"], "precision must be between 4 and 18, got 19"),
        (["count", "-p", "x"], "invalid precision 'x'"),
        (["show", "missing.hll"], "cannot read 'missing.hll'"),
        (
            ["show", "truncated.hll"],
            "'truncated.hll' is not a valid sketch: 100 bytes, neither a raw sketch "
            "(p=12 takes 4097 bytes) nor a packed one (no magic number)",
        ),
        (["show", "empty.hll"], "'empty.hll' is not a valid sketch: the file is empty"),
        (
            ["merge", "garbage.hll"],
            "'garbage.hll' is not a valid sketch: not a packed sketch: it does not "
            "start with the magic number E2 48 4C 4C",
        ),
        (["show", "flipped.hll"], "'flipped.hll' is not a valid sketch: damaged packed sketch: checksum mismatch"),
        (["merge", "flipped.hll", "garbage.hll", "-o", "out.hll"], "'flipped.hll' is not a valid sketch"),
        (["show", "cut.hll"], "'cut.hll' is not a valid sketch: truncated packed sketch"),
        (["count", "--estimator", "mean"], "argument --estimator: invalid choice: 'mean'"),
        (["frobnicate"], "invalid choice"),
        ([], "the following arguments are required"),
        (["count", "--save", "nodir/x.hll"], "cannot write 'nodir/x.hll'"),
        # the destination is checked before any input is read
        (["count", "missing.txt", "--save", "nodir/x.hll"], "cannot write 'nodir/x.hll': No such file"),
        (["count", "--save", ""], "cannot write '': empty file name"),
        (["count", "--save", "fifo"], "cannot write 'fifo': not a regular file"),
        (
            ["show", "high.hll"],
            "'high.hll' is not a valid sketch: register 7 is 54, above 53, the most possible for p=12",
        ),
        (["count", "cut.gz"], "'cut.gz': truncated gzip data: Compressed file ended"),
    ],
)
def test_errors_are_one_line_with_status_2(tmp_path, monkeypatch, args, fragment):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "truncated.hll").write_bytes(drisk.HyperLogLog(12).to_bytes()[:100])
    (tmp_path / "empty.hll").write_bytes(b"")
    (tmp_path / "garbage.hll").write_bytes(b"GARBAGE")
    packed = bytearray(drisk.pack(sketch_of(lines_of(500), 12)))
    (tmp_path / "cut.hll").write_bytes(packed[:10])
    packed[20] ^= 1
    (tmp_path / "flipped.hll").write_bytes(packed)
    registers = bytearray(4096)
    registers[7] = 54
    (tmp_path / "high.hll").write_bytes(b"\x0c" + registers)
    (tmp_path / "cut.gz").write_bytes(gzip.compress(lines_of(10_000))[:5000])
    os.mkfifo(tmp_path / "fifo")
    proc = run(*args, input=b"")
    assert proc.returncode == 2
    assert fragment in error_line(proc)
    assert stat.S_ISFIFO(os.lstat("fifo").st_mode)
    assert not [name for name in os.listdir() if "tmp" in name or name == "out.hll"]


def test_unreadable_file(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    path = tmp_path / "secret.txt"
    path.write_bytes(b"x\n")
    path.chmod(0)
    proc = run("count", path)
    assert proc.returncode == 2 and "Permission denied" in error_line(proc)


def test_ctrl_c_exits_130():
    proc = subprocess.Popen([*DRISK, "count"], stdin=subprocess.PIPE, stderr=subprocess.PIPE, stdout=subprocess.PIPE)
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
    script = subprocess.run([beside if os.path.exists(beside) else "drisk", "--version"], capture_output=True)
    assert script.stdout.decode().strip() == f"drisk {drisk.__version__}"


@pytest.mark.slow  # writes 200 MB; CI runs it with the leak checks
@pytest.mark.parametrize("content", ["lines", "one line"])
def test_large_input_memory_stays_flat(tmp_path, content):
    """A 200 MB input, even a single line, peaks at about the same RSS as a tiny one."""
    big = tmp_path / "big.txt"
    with open(big, "wb") as f:
        chunk = lines_of(100_000) if content == "lines" else b"x" * 2**20
        for _ in range(200_000_000 // len(chunk)):
            f.write(chunk)
    code = (
        "import resource, sys; from drisk.cli import main; main(sys.argv[1:]); "
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)"
    )

    def peak_kib(path, via_stdin):
        args = [sys.executable, "-c", code, "count", "-q"] + ([] if via_stdin else [str(path)])
        with open(path, "rb") as stdin:
            proc = subprocess.run(
                args, stdin=stdin if via_stdin else subprocess.DEVNULL, capture_output=True, check=True
            )
        return int(proc.stderr.decode().split()[-1])

    small = tmp_path / "small.txt"
    small.write_bytes(b"x\n")
    base = peak_kib(small, False)
    try:
        assert peak_kib(big, False) - base < 40 * 1024  # blocks read by two threads
        assert peak_kib(big, True) - base < 40 * 1024  # stream chunks
    finally:
        big.unlink()


def limited_memory():
    # AddressSanitizer reserves terabytes of address space for its shadow:
    # under it, the cap alone has to stop the read.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))


def test_sketch_files_are_read_with_a_size_cap():
    proc = subprocess.run([*DRISK, "show", "/dev/zero"], capture_output=True, preexec_fn=limited_memory, timeout=300)
    assert proc.returncode == 2
    assert error_line(proc) == "drisk: '/dev/zero' is not a valid sketch: larger than 1048591 bytes"


def every_register(path, p, value):
    path.write_bytes(bytes([p]) + bytes([value]) * 2**p)


def strict_json(text):
    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")

    return json.loads(text, parse_constant=refuse)


@pytest.mark.parametrize("value", [52, 53])  # 64 - p and 65 - p, for p = 12
def test_saturated_sketches_report_the_hash_space(tmp_path, value):
    """Registers this high send the classic estimate past 2^64 (to NaN at
    65 - p): the tool reports 2^64, the number of distinct hashes."""
    sat, out = tmp_path / "sat.hll", tmp_path / "out.hll"
    every_register(sat, 12, value)
    proc = run("merge", "--estimator", "classic", sat, sat, "-o", out)
    assert proc.returncode == 0 and proc.stdout == b"18446744073709551616\n"
    assert drisk.unpack(out.read_bytes()).to_bytes() == sat.read_bytes()
    for estimator in ("improved", "ml", "classic"):
        for args in (["merge", "--json", sat], ["show", "--json", sat]):
            info = strict_json(run(*args, "--estimator", estimator).stdout)
            assert info["lower"] <= info["estimate"] <= info["upper"] <= 2.0**64
            if estimator == "classic":
                assert info["estimate"] == 2.0**64
    shown = run("show", "--estimator", "classic", sat).stdout.decode()
    assert "estimate: 18446744073709551616.0 (classic estimator)\n" in shown


def test_merge_checks_every_input_before_writing(tmp_path):
    a, bad = tmp_path / "a.hll", tmp_path / "bad.hll"
    run("count", "-p", "12", "--save", a, input=lines_of(100))
    before = a.read_bytes()
    every_register(bad, 12, 54)
    proc = run("merge", a, a, bad, "-o", a)
    assert proc.returncode == 2
    assert error_line(proc).endswith(
        "bad.hll' is not a valid sketch: register 0 is 54, above 53, the most possible for p=12"
    )
    assert a.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["a.hll", "bad.hll"]


def test_merge_memory_does_not_grow_with_the_inputs(tmp_path):
    """Ten thousand sketches of p = 18 (256 KiB each in memory, a few bytes
    packed) merge within 64 MiB: each is folded in as it is read."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer keeps freed memory in quarantine")
    names = []
    for i in range(10_000):
        h = drisk.HyperLogLog(18)
        h.update(b"item-%d" % i)
        names.append(f"{i}.hll")
        (tmp_path / names[-1]).write_bytes(drisk.pack(h))
    # The peak of this process image alone (VmHWM): ru_maxrss would count the
    # pages of the forked test process before exec too.
    code = (
        "import sys; from drisk.cli import main; status = main(sys.argv[1:]); "
        "hwm = [line for line in open('/proc/self/status') if line.startswith('VmHWM:')]; "
        "print(hwm[0].split()[1], file=sys.stderr); sys.exit(status)"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code, "merge", "-o", "all.hll", *names], cwd=tmp_path, capture_output=True
    )
    assert proc.returncode == 0, proc.stderr
    peak_kib = int(proc.stderr.decode().split()[-1])
    expected = drisk.HyperLogLog(18)
    drisk.update_many(expected, [b"item-%d" % i for i in range(10_000)])
    assert drisk.load((tmp_path / "all.hll").read_bytes()).registers() == expected.registers()
    assert peak_kib < 64 * 1024


@pytest.mark.parametrize("precisions", [(14, 12, 12, 10, 14), (10, 18, 10)])
def test_merge_folds_the_running_result_when_a_smaller_precision_comes(tmp_path, precisions):
    """A later input of a smaller precision folds what was merged so far;
    a larger one is folded to the result's precision."""
    keys = [[b"k%d-%d" % (k % 2, i) for i in range(3000)] for k in range(len(precisions))]
    paths = []
    for k, (p, items) in enumerate(zip(precisions, keys)):
        paths.append(tmp_path / f"{k}.hll")
        paths[-1].write_bytes(drisk.pack(sketch_of(b"".join(x + b"\n" for x in items), p)))
    proc = run("merge", *paths, "-o", tmp_path / "out.hll")
    assert proc.returncode == 0
    expected = sketch_of(b"".join(x + b"\n" for items in keys for x in items), min(precisions))
    assert drisk.load((tmp_path / "out.hll").read_bytes()).registers() == expected.registers()


@pytest.mark.parametrize("via_stdin", [False, True])
def test_count_compressed_input(tmp_path, via_stdin):
    data = lines_of(20_000)
    packed = tmp_path / "in.gz"
    packed.write_bytes(gzip.compress(data[:1000]) + gzip.compress(data[1000:]))  # two members
    proc = run("count", "--json", *([] if via_stdin else [packed]), input=packed.read_bytes() if via_stdin else b"")
    info = json.loads(proc.stdout)
    assert info["lines"] == 20_000 and info["estimate"] == drisk.estimate(sketch_of(data, DEFAULT_P))


ZSTD_MISSING = (
    "import sys; sys.modules['zstandard'] = None; from drisk.cli import main; raise SystemExit(main(sys.argv[1:]))"
)


def test_zstd_input_without_zstandard():
    proc = subprocess.run(
        [sys.executable, "-c", ZSTD_MISSING, "count"], capture_output=True, input=b"\x28\xb5\x2f\xfd" + bytes(20)
    )
    assert proc.returncode == 2
    assert error_line(proc) == (
        "drisk: standard input: reading zstd-compressed input needs the zstandard package: pip install zstandard"
    )


def test_non_blocking_stdin_is_read_to_its_end():
    r, w = os.pipe()
    os.set_blocking(r, False)
    proc = subprocess.Popen([*DRISK, "count", "--json"], stdin=r, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    os.close(r)
    for k in range(4):
        time.sleep(0.2)  # the tool finds the pipe empty in between
        os.write(w, lines_of(1000, start=1000 * k))
    os.close(w)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert json.loads(out)["lines"] == 4000


SHRINKING = """
import os, sys
import drisk._regular as regular
from drisk.cli import main
regular.BLOCK_SIZE = regular.REGION_SIZE = 4096
path = sys.argv[-1]
size = os.path.getsize(path)
read = regular.read_regular
def truncating_read(sketch, fd, start, end, block, region, helper, progress, *fields):
    def truncate(done):
        if os.path.getsize(path) == size:
            os.truncate(path, size // 3)  # as logrotate's copytruncate would, meanwhile
    return read(sketch, fd, start, end, block, region, helper, truncate, *fields)
regular.read_regular = truncating_read
raise SystemExit(main(sys.argv[1:]))
"""


def test_file_truncated_while_counted(tmp_path):
    big = tmp_path / "big.log"
    big.write_bytes(lines_of(100_000))
    proc = subprocess.run([sys.executable, "-c", SHRINKING, "count", str(big)], capture_output=True)
    assert proc.returncode == 2
    assert error_line(proc) == f"drisk: '{big}': file changed while reading"


@pytest.mark.parametrize(
    "umask, existing, mode",
    [(0o022, None, 0o644), (0o077, None, 0o600), (0o022, 0o640, 0o640), (0o077, 0o664, 0o664)],
)
def test_saved_sketch_mode(tmp_path, umask, existing, mode):
    """A new sketch file gets the umask's mode, a replaced one keeps its own."""
    out = tmp_path / "s.hll"
    if existing is not None:
        out.write_bytes(b"old")
        out.chmod(existing)
    subprocess.run(
        [*DRISK, "count", "--save", str(out)],
        input=b"a\n",
        capture_output=True,
        check=True,
        preexec_fn=lambda: os.umask(umask),
    )
    assert stat.S_IMODE(out.stat().st_mode) == mode
    assert round(drisk.unpack(out.read_bytes()).count()) == 1


def test_save_writes_through_a_symlink(tmp_path):
    target, link = tmp_path / "real.hll", tmp_path / "link.hll"
    target.write_bytes(b"old")
    link.symlink_to("real.hll")
    assert run("count", "--save", link, input=lines_of(10)).returncode == 0
    expected = sketch_of(lines_of(10), DEFAULT_P)
    assert link.is_symlink() and drisk.unpack(target.read_bytes()).registers() == expected.registers()


def test_sigterm_leaves_no_temporary_file(tmp_path):
    out = tmp_path / "s.hll"
    out.write_bytes(b"old")
    proc = subprocess.Popen(
        [*DRISK, "count", "--save", str(out)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    proc.stdin.write(b"a\n" * 1000)
    proc.stdin.flush()
    # The temporary file is made before counting starts.
    for _ in range(600):
        if len(os.listdir(tmp_path)) > 1:
            break
        time.sleep(0.05)
    assert len(os.listdir(tmp_path)) == 2
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 143
    assert err == b"drisk: terminated\n"
    assert os.listdir(tmp_path) == ["s.hll"] and out.read_bytes() == b"old"


@pytest.mark.parametrize("at", ["fchmod", "open"])
def test_a_signal_while_the_temporary_file_is_made_leaves_none(tmp_path, monkeypatch, at):
    """SIGTERM (here raised where the handler would raise it) right after
    the temporary file is created, before any `with` holds it."""
    import drisk._cli_files
    import drisk.cli

    out = tmp_path / "s.hll"
    out.write_bytes(b"old")
    real = getattr(os, at)

    def interrupted(*args, **kwargs):
        result = real(*args, **kwargs)
        if at == "open" and not str(args[0]).endswith(".drisk-tmp"):
            return result
        raise drisk.cli.Terminated

    monkeypatch.setattr(drisk._cli_files.os, at, interrupted)
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(b"a\n")))
    assert drisk.cli.main(["count", "--save", str(out)]) == 143
    assert os.listdir(tmp_path) == ["s.hll"] and out.read_bytes() == b"old"


def close_fd(fd):
    return lambda: os.close(fd)


@pytest.mark.parametrize(
    "setup, message",
    [
        ({"stdout": "/dev/full"}, "cannot write to standard output: No space left on device"),
        ({"preexec_fn": close_fd(1)}, "cannot write to standard output: it is closed"),
        ({"preexec_fn": close_fd(0)}, "cannot read standard input: it is closed"),
    ],
)
def test_standard_streams_failing(tmp_path, setup, message):
    source = tmp_path / "in.txt"
    source.write_bytes(b"a\n")
    kwargs = dict(setup)
    if "stdout" in kwargs:
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        kwargs["stdout"] = open(kwargs["stdout"], "wb")
    args = [] if "input" in message else [source]
    proc = subprocess.run(
        [*DRISK, "count", *map(str, args)],
        stderr=subprocess.PIPE,
        stdin=subprocess.DEVNULL if "input" not in message else None,
        **kwargs,
    )
    assert proc.returncode == 2
    assert error_line(proc) == f"drisk: {message}"


def test_file_names_are_escaped(tmp_path):
    name = os.fsencode(tmp_path) + b"/no\nsuch\xff"
    proc = subprocess.run([*DRISK, "count", name], capture_output=True)
    assert proc.returncode == 2
    assert error_line(proc).endswith("/no\\nsuch\\xff': No such file or directory")


def test_out_of_memory_is_one_line():
    code = (
        "import sys, drisk.cli as cli, drisk._cli_inputs as inputs\n"
        "def exhausted(*args, **kwargs): raise MemoryError\n"
        "inputs.update_file_fields = exhausted\n"
        "raise SystemExit(cli.main(sys.argv[1:]))"
    )
    proc = subprocess.run([sys.executable, "-c", code, "count"], input=b"a\n", capture_output=True)
    assert proc.returncode == 2 and error_line(proc) == "drisk: out of memory"


def test_one_ctrl_d_ends_terminal_input():
    # The tool reads a terminal of its own, started by subprocess rather than
    # fork() in this process, which may have threads (pytest-xdist's).
    fd, terminal = pty.openpty()
    proc = subprocess.Popen([*DRISK, "count", "-q"], stdin=terminal, stdout=terminal, stderr=terminal)
    os.close(terminal)
    time.sleep(1.0)  # let the tool start reading
    os.write(fd, b"a\nb\n")
    time.sleep(0.3)
    os.write(fd, b"\x04")  # end of input, once
    output = b""
    while b"2\r\n" not in output:
        ready, _, _ = select.select([fd], [], [], 30)
        if not ready:
            proc.kill()
            break
        try:
            output += os.read(fd, 1024)
        except OSError:  # the tool exited and closed the terminal
            break
    proc.wait()
    os.close(fd)
    assert output.endswith(b"2\r\n"), output
