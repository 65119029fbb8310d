#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Measures the tool on the simulated board against the least work its
inputs allow, and flashcp -v next to it. bench/run builds everything and
calls this; see bench/README.md for the method.

For every run kind and SoC family it records, from one counted run, the
device calls by kind from the board's log and the modelled device time,
and from several timed runs (no log), the median wall, user and system time
and the peak resident memory as /usr/bin/time -v reports it.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

CHUNK = 60  # bytes per device system call
CHIP_BYTES = 16 * 1024 * 1024
ERASE_BYTES = 4096

# Typical figures of the Winbond W25Q128JV (bench/README.md cites them).
MODEL = {
    "SIMBOARD_MODEL_PAGE_BYTES": "256",
    "SIMBOARD_MODEL_PAGE_NS": "700000",  # tPP 0.7 ms
    "SIMBOARD_MODEL_FIRST_BYTE_NS": "30000",  # tBP1 30 us
    "SIMBOARD_MODEL_NEXT_BYTE_NS": "2500",  # tBP2 2.5 us
    "SIMBOARD_MODEL_ERASE_4K_NS": "45000000",  # tSE 45 ms
    "SIMBOARD_MODEL_ERASE_64K_NS": "150000000",  # tBE2 150 ms
    "SIMBOARD_MODEL_READ_BPS": "6250000",  # Read Data (03h) at 50 MHz, 1 bit
}
# The same chip if every page program cost tPP, however few bytes it holds.
FLAT_MODEL = {k: v for k, v in MODEL.items() if "BYTE_NS" not in k}

BOARDS = [
    {
        "name": "rk3399",
        "family": "rk3399",
        "model": "Pine64 Pinebook Pro",
        "compatible": ["pine64,pinebook-pro", "rockchip,rk3399"],
        "manufacturer": "winbond",
        "partname": "w25q128",
        "jedec_id": "ef4018",
        # (1 << j << 12) with the low 13 bits cleared, j = 0..12
        "probes": [((1 << j) << 12) & ~0x1FFF for j in range(13)],
        "loader_padded": True,
    },
    {
        "name": "rk3568",
        "family": "rk35xx",
        "model": "Radxa ROCK3 Model A",
        "compatible": ["radxa,rock3a", "rockchip,rk3568"],
        "manufacturer": "gigadevice",
        "partname": "gd25q128",
        "jedec_id": "c84018",
        "probes": [j * 0x10000 for j in range(16)],
        "loader_padded": False,
    },
]

LOADER_SECTORS = 24


def ceil_div(a, b):
    return (a + b - 1) // b


def round_up(value, unit):
    return ceil_div(value, unit) * unit


# --- The floor ------------------------------------------------------------------


class Calls:
    KINDS = ("open", "getinfo", "seek", "read", "write", "erase", "close")

    def __init__(self):
        self.n = {k: 0 for k in self.KINDS}
        self.report_reads = 0  # reads before the first change of the chip
        self.read_bytes = 0

    def total(self):
        return sum(self.n.values())


def floor_read(c, length):
    if length == 0:
        return
    c.n["seek"] += 1
    c.n["read"] += ceil_div(length, CHUNK)
    c.read_bytes += length


def floor_write(c, length):
    c.n["seek"] += 1
    if length == 0:
        c.n["seek"] += 1
        return
    c.n["write"] += ceil_div(length, CHUNK)
    c.n["seek"] += 1
    c.n["read"] += ceil_div(length, CHUNK)
    c.read_bytes += length


def floor_erase(c, length):
    if length:
        c.n["erase"] += 1


def layout(size, block, probes):
    """The dual-bootloader areas for a chip (offset, size)."""
    start = 0x20000
    s = start
    if start in probes and probes.index(start) != len(probes) - 1:
        later = probes[probes.index(start) + 1:]
        s = next((p for p in later if p - start >= 0x5F000), later[-1])
    u = s + max(1, ceil_div(0x5F000, block)) * block
    h = min((size - u) // 2, 0x200000)
    v = (u + h + block - 1) & ~(block - 1)
    return {
        "spl_fallback": (start, s - start),
        "spl_primary": (s, u - s),
        "itb_fallback": (u, v - u),
        "itb_primary": (v, min(size - v, v - u)),
    }


def chip_headers(board, images):
    """Headers the prepared chip holds: (offset, padded, image byte counts)."""
    loader = (0, board["loader_padded"], [LOADER_SECTORS * 512])
    tpl_r = round_up(images["u-boot-tpl.bin"], 2048)
    spl_r = round_up(images["u-boot-spl.bin"], 2048)
    uboot = [tpl_r, spl_r]
    return [loader, (0x20000, False, uboot), (0x80000, False, uboot)]


def floor_report(c, board, images):
    headers = {at: (padded, counts) for at, padded, counts in chip_headers(board, images)}
    for probe in board["probes"]:
        if probe + 32 > CHIP_BYTES:
            break
        floor_read(c, 32)
        if probe in headers:
            floor_read(c, 4096)
            padded, counts = headers[probe]
            for count in counts:
                # The survey names an image when it stores fewer than 512 KiB;
                # a padded one is read where the boot ROM reads it, as the
                # first 2 KiB of every 4 KiB (its images start on 2 KiB).
                if 0 < (2 if padded else 1) * count < 524288:
                    for run in range(0, count, 2048 if padded else count):
                        floor_read(c, min(count - run, 2048 if padded else count))
    c.report_reads = c.n["read"]


def floor_case(kind, board, images):
    c = Calls()
    c.n["open"] = 1
    c.n["getinfo"] = 1
    floor_report(c, board, images)
    areas = layout(CHIP_BYTES, ERASE_BYTES, board["probes"])
    if kind == "dry-run":
        return c
    # Every erase of an area that can hold a header follows the four zero
    # bytes over its magic.
    if kind == "loader":
        n = images["loader.bin"]
        # The update first reads the primary's magic, to know whether the
        # backup may be the last complete loader; only when the primary
        # holds none does it need the backup's too. The prepared chip holds
        # a loader at 0, so one read. It comes before the first change,
        # with the report's.
        floor_read(c, 4)
        c.report_reads = c.n["read"]
        for _ in range(2):
            floor_write(c, 4)
            floor_erase(c, 0x10000)
            floor_write(c, n - 4)
            floor_write(c, 4)
        floor_write(c, 4)
        floor_erase(c, 0x10000)
    elif kind == "generic-spl":
        floor_write(c, 4)
        floor_erase(c, areas["spl_primary"][1])
        floor_write(c, images["generic-spl.img"] - 4)
        floor_write(c, 4)
    elif kind == "u-boot":
        floor_write(c, 4)
        floor_write(c, 28)
        floor_erase(c, areas["spl_primary"][1])
        floor_erase(c, areas["itb_primary"][1])
        for name in ("u-boot.itb", "u-boot-spl.bin", "u-boot-tpl.bin"):
            floor_write(c, images[name])
        floor_write(c, 2044)
        floor_write(c, 4)
    c.n["close"] = 1
    return c


def floor_flashcp(n, transfer):
    """flashcp's own least work: transfers of its buffer size, one erase."""
    c = Calls()
    c.n.update(open=1, getinfo=1, close=1, seek=1, erase=1)
    c.n["write"] = ceil_div(n, transfer)
    c.n["read"] = ceil_div(n, transfer)
    c.read_bytes = n
    return c


# --- The log ------------------------------------------------------------------


def parse_log(path):
    c = Calls()
    model = {}
    changed = False
    max_write = 0
    with open(path) as log:
        for line in log:
            f = line.split()
            if not f:
                continue
            op = f[0]
            if op == "model":
                model[f[1]] = [int(x) for x in f[2:]]
            elif op == "max":
                if f[1] == "write":
                    max_write = int(f[2])
            elif op in c.n:
                c.n[op] += 1
                if op in ("write", "erase"):
                    changed = True
                if op == "read":
                    if not changed:
                        c.report_reads += 1
                    if len(f) >= 4 and f[3] != "-1":
                        c.read_bytes += int(f[3])
    return c, model, max_write


# --- Running ------------------------------------------------------------------


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.work = os.path.abspath(args.work)
        self.runs = args.runs
        self.tool = os.path.join(self.build, "duobl-spi-flasher")
        self.lib = os.path.join(self.build, "testing", "libsimboard.so")
        self.make_tree = os.path.join(self.build, "testing", "make-machine-tree")
        self.make_images = args.make_images
        self.flashcp = shutil.which("flashcp") or "/usr/sbin/flashcp"
        self.loads = []

    def board_env(self, board, chip, log=None, model=None):
        d = os.path.join(self.work, board["name"])
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LC_ALL": "C",
            "LD_PRELOAD": self.lib,
            "SIMBOARD_FDT": os.path.join(d, "fdt"),
            "SIMBOARD_FLASH": chip,
            "SIMBOARD_ERASESIZE": str(ERASE_BYTES),
        }
        for attr in ("manufacturer", "partname", "jedec_id"):
            env["SIMBOARD_" + attr.upper()] = os.path.join(d, attr)
        if log:
            env["SIMBOARD_LOG"] = log
        if model:
            env.update(model)
        return env

    @staticmethod
    def check_marker(marker, program):
        """Stops the bench unless the simulated board's marker names the
        program: one the board library is not loaded into (a static build,
        say) works on this machine's real chip, and its figures mean
        nothing (testing/README.md)."""
        try:
            lines = open(marker).read().splitlines()
        except OSError:
            lines = []
        if os.path.realpath(program) not in lines:
            sys.exit("bench: the simulated board left no marker from %s; not trusting it" % program)

    def direct(self, argv, env):
        """One run without /usr/bin/time, its output captured; checks the marker."""
        marker = os.path.join(self.work, "direct.marker")
        if os.path.exists(marker):
            os.remove(marker)
        r = subprocess.run(argv, env=dict(env, SIMBOARD_MARKER=marker),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.check_marker(marker, argv[0])
        return r

    def preflight(self, board, chip):
        """Starts the tool and flashcp once each by both launch paths, with
        --help (which touches no device) and SIMBOARD_PREFLIGHT naming them:
        the board library, once loaded, reports and ends them before main.
        Nothing is run on the board for real before this has passed."""
        out = os.path.join(self.work, board["name"], "preflight.out")
        for program in (self.tool, self.flashcp):
            env = dict(self.board_env(board, chip), SIMBOARD_PREFLIGHT=os.path.realpath(program))
            self.direct([program, "--help"], env)
            self.run([program, "--help"], env, out)

    def run(self, argv, env, out_path):
        """One run under /usr/bin/time -v: wall, user, sys seconds, RSS KiB,
        status; checks the marker."""
        marker = out_path + ".marker"
        if os.path.exists(marker):
            os.remove(marker)
        env = dict(env, SIMBOARD_MARKER=marker)
        tv = out_path + ".time"
        cmd = ["/usr/bin/time", "-v", "-o", tv] + argv
        with open(out_path, "wb") as out:
            start = time.perf_counter()
            pid = os.posix_spawn(cmd[0], cmd, env, file_actions=[
                (os.POSIX_SPAWN_DUP2, out.fileno(), 1),
                (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0)])
            _, status, usage = os.wait4(pid, 0)
            wall = time.perf_counter() - start
        text = open(tv).read()
        rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
        m = re.search(r"Exit status: (\d+)", text)
        code = int(m.group(1)) if m else os.waitstatus_to_exitcode(status)
        self.check_marker(marker, argv[0])
        return {"wall": wall, "user": usage.ru_utime, "sys": usage.ru_stime, "rss": rss,
                "status": code}

    def prepare(self, board):
        d = os.path.join(self.work, board["name"])
        os.makedirs(d, exist_ok=True)
        tree = [self.make_tree, os.path.join(d, "fdt"), "--model", board["model"]]
        for entry in board["compatible"]:
            tree += ["--compatible", entry]
        subprocess.run(tree, check=True)
        for attr in ("manufacturer", "partname", "jedec_id"):
            with open(os.path.join(d, attr), "w") as f:
                f.write(board[attr] + "\n")
        subprocess.run([self.make_images, d, board["family"]] + board["compatible"], check=True)
        images = {name: os.path.getsize(os.path.join(d, name)) for name in
                  ("loader.bin", "generic-spl.img", "u-boot-tpl.bin", "u-boot-spl.bin",
                   "u-boot.itb")}
        # The chip every run starts from: a loader and both U-Boot sets.
        chip = os.path.join(d, "prepared.img")
        with open(chip, "wb") as f:
            f.write(b"\xff" * CHIP_BYTES)
        self.preflight(board, chip)
        uboot = self.uboot_args(d)
        for args in (["--duobl", os.path.join(d, "loader.bin")], uboot,
                     uboot + ["--replace-fallback"]):
            r = self.direct([self.tool] + args, self.board_env(board, chip))
            if r.returncode != 0:
                sys.exit("bench: preparing the %s chip failed:\n%s" % (board["name"], r.stdout.decode()))
        return d, chip, images

    @staticmethod
    def uboot_args(d):
        return ["--uboot-tpl", os.path.join(d, "u-boot-tpl.bin"),
                "--uboot-spl", os.path.join(d, "u-boot-spl.bin"),
                "--uboot-itb", os.path.join(d, "u-boot.itb")]

    def cases(self, d):
        return [
            ("dry-run", [self.tool, "--dry-run"]),
            ("loader", [self.tool, "--duobl", os.path.join(d, "loader.bin")]),
            ("generic-spl", [self.tool, "--spl", os.path.join(d, "generic-spl.img")]),
            ("u-boot", [self.tool] + self.uboot_args(d)),
            ("flashcp", [self.flashcp, "-v", os.path.join(d, "u-boot.itb"), "/dev/mtd0"]),
        ]

    def counted(self, board, d, chip, name, argv, model, suffix=""):
        run_chip = os.path.join(d, "run.img")
        log = os.path.join(d, name + suffix + ".log")
        shutil.copyfile(chip, run_chip)
        if os.path.exists(log):
            os.remove(log)
        r = self.run(argv, self.board_env(board, run_chip, log, model),
                     os.path.join(d, name + suffix + ".out"))
        if r["status"] != 0:
            sys.exit("bench: %s on %s ended with status %d" % (name, board["name"], r["status"]))
        return parse_log(log)

    def survey_rows(self, d):
        """(Idx, Header) of the survey table of the counted dry run."""
        rows = []
        text = open(os.path.join(d, "dry-run.out")).read()
        table = text.split("-" * 79 + "\n", 1)[1].split("\n\n", 1)[0]
        for line in table.splitlines():
            f = line.split()
            rows.append((int(f[0]), int(f[1])))
        return rows

    def bench_board(self, board):
        d, chip, images = self.prepare(board)
        results = {}
        for name, argv in self.cases(d):
            calls, model, max_write = self.counted(board, d, chip, name, argv, MODEL)
            _, flat, _ = self.counted(board, d, chip, name, argv, FLAT_MODEL, ".flat")
            if name == "flashcp":
                floor = floor_flashcp(images["u-boot.itb"], max_write)
            else:
                floor = floor_case(name, board, images)
            results[name] = {"calls": calls, "floor": floor, "model": model, "flat": flat,
                             "max_write": max_write, "timed": []}
        expected = [(board["probes"].index(off), off) for off, _, _ in chip_headers(board, images)]
        survey_ok = self.survey_rows(d) == expected

        # Timed runs without the log, the cases taken in turn so that a burst
        # of load elsewhere falls on all of them alike.
        run_chip = os.path.join(d, "run.img")
        for _ in range(self.runs):
            for name, argv in self.cases(d):
                shutil.copyfile(chip, run_chip)
                r = self.run(argv, self.board_env(board, run_chip), os.path.join(d, name + ".timed"))
                if r["status"] != 0:
                    sys.exit("bench: timed %s on %s ended with status %d" % (name, board["name"], r["status"]))
                results[name]["timed"].append(r)
        # Memory baselines: the tool's dry run of an erased chip (the survey
        # finds nothing, so no image buffer is touched) and flashcp --version.
        baseline = {}
        for name, argv in (("tool", [self.tool, "--dry-run"]), ("flashcp", [self.flashcp, "--version"])):
            rss = []
            for _ in range(3):
                with open(run_chip, "wb") as f:
                    f.write(b"\xff" * CHIP_BYTES)
                rss.append(self.run(argv, self.board_env(board, run_chip),
                                    os.path.join(d, "baseline.out"))["rss"])
            baseline[name] = statistics.median(rss)
        return {"board": board, "images": images, "results": results, "baseline": baseline,
                "survey_ok": survey_ok}


# --- The report -----------------------------------------------------------------


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def held_bytes(name, images):
    """Bytes the run holds in its fixed buffers beyond a dry run of an erased
    chip: the largest image the survey names, its header block, and the files
    the run loads."""
    # A padded image is gathered to its own size before it is named.
    survey = max(round_up(images["u-boot-spl.bin"], 2048), LOADER_SECTORS * 512)
    held = survey + 4096
    held += {"dry-run": 0, "loader": images["loader.bin"], "generic-spl": images["generic-spl.img"],
             "u-boot": images["u-boot-tpl.bin"] + images["u-boot-spl.bin"] + images["u-boot.itb"]}[name]
    return held


def cell(actual, floor):
    return "%d / %d" % (actual, floor)


def ratio(a, b):
    return "%.2f" % (a / b) if b else ("1.00" if a == 0 else "inf")


def ms(seconds):
    return "%.1f" % (seconds * 1000)


def machine_text():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    debian = ""
    try:
        debian = "Debian " + open("/etc/debian_version").read().strip() + ", "
    except OSError:
        pass
    gxx = subprocess.run(["g++", "--version"], stdout=subprocess.PIPE, text=True).stdout.splitlines()[0]
    return "%s, %d cores, %sLinux %s, %s" % (cpu, os.cpu_count(), debian, platform.release(), gxx)


def report(boards, runs, loads, command):
    out = []
    w = out.append
    w("Machine: %s. Release build (-O3 -DNDEBUG)." % machine_text())
    w("Load average (1 min) before and after: %s. The machine is shared; wall and "
      "system times are noisy, medians of %d runs." % (" / ".join(loads), runs))
    w("Run on %s with `%s`." % (datetime.date.today().isoformat(), command))
    w("")
    w("### Device calls: measured / floor")
    w("")
    w("| family | run | open, info, close | seeks | reads (report) | reads (verify) | writes | erases | all calls | ratio |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for b in boards:
        for name, r in b["results"].items():
            c, f = r["calls"], r["floor"]
            other_c = c.n["open"] + c.n["getinfo"] + c.n["close"]
            other_f = f.n["open"] + f.n["getinfo"] + f.n["close"]
            label = name if name != "flashcp" else "flashcp -v (floor at %d-byte transfers)" % r["max_write"]
            w("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                b["board"]["name"], label, cell(other_c, other_f), cell(c.n["seek"], f.n["seek"]),
                cell(c.report_reads, f.report_reads),
                cell(c.n["read"] - c.report_reads, f.n["read"] - f.report_reads),
                cell(c.n["write"], f.n["write"]), cell(c.n["erase"], f.n["erase"]),
                cell(c.total(), f.total()), ratio(c.total(), f.total())))
    w("")
    w("Bytes read from the flash, measured / floor: " + "; ".join(
        "%s %s %s" % (b["board"]["name"], name, cell(r["calls"].read_bytes, r["floor"].read_bytes))
        for b in boards for name, r in b["results"].items() if name != "flashcp") + ".")
    w("")
    w("Survey rows as expected on the prepared chip: " + ", ".join(
        "%s %s" % (b["board"]["name"], "yes" if b["survey_ok"] else "NO") for b in boards) + ".")
    w("")
    w("### Time, memory and modelled device time (medians of %d runs)" % runs)
    w("")
    w("| family | run | wall ms (median / min) | user ms | sys ms | peak RSS KiB | over baseline KiB | data held KiB | device s (model) | device s (flat pages) | host / device (wall, CPU) |")
    w("|---|---|---|---|---|---|---|---|---|---|---|")
    for b in boards:
        for name, r in b["results"].items():
            t = r["timed"]
            wall = median(t, "wall")
            fastest = min(x["wall"] for x in t)
            rss = median(t, "rss")
            base = b["baseline"]["flashcp" if name == "flashcp" else "tool"]
            held = "-" if name == "flashcp" else "%d" % ceil_div(held_bytes(name, b["images"]), 1024)
            cpu = statistics.median(x["user"] + x["sys"] for x in t)
            device = r["model"]["total"][0] / 1e9
            w("| %s | %s | %s / %s | %s | %s | %d | %d | %s | %.2f | %.2f | %.1f %%, %.1f %% |" % (
                b["board"]["name"], name, ms(wall), ms(fastest), ms(median(t, "user")),
                ms(median(t, "sys")), rss, rss - base, held, device, r["flat"]["total"][0] / 1e9,
                100.0 * wall / device, 100.0 * cpu / device))
    w("")
    w("Memory baselines (peak RSS): the tool's dry run of an erased chip, flashcp --version: " + ", ".join(
        "%s %d and %d KiB" % (b["board"]["name"], b["baseline"]["tool"], b["baseline"]["flashcp"])
        for b in boards) + ".")
    w("")
    w("### Side by side: U-Boot install against flashcp -v of the same 1 MiB ITB")
    w("")
    w("| family | figure | tool (U-Boot install) | flashcp -v | tool / flashcp |")
    w("|---|---|---|---|---|")
    for b in boards:
        u, f = b["results"]["u-boot"], b["results"]["flashcp"]
        rows = [
            ("bytes written", sum(b["images"][n] for n in ("u-boot.itb", "u-boot-spl.bin", "u-boot-tpl.bin")) + 32 + 2048,
             b["images"]["u-boot.itb"]),
            ("bytes erased", u["model"]["erase"][0] * ERASE_BYTES, f["model"]["erase"][0] * ERASE_BYTES),
            ("device calls", u["calls"].total(), f["calls"].total()),
            ("device calls / own floor", None, None),
            ("page programs (model)", u["model"]["program"][0], f["model"]["program"][0]),
            ("erase commands (model)", u["model"]["erase"][0], f["model"]["erase"][0]),
            ("wall ms", median(u["timed"], "wall") * 1000, median(f["timed"], "wall") * 1000),
            ("user ms", median(u["timed"], "user") * 1000, median(f["timed"], "user") * 1000),
            ("sys ms", median(u["timed"], "sys") * 1000, median(f["timed"], "sys") * 1000),
            ("peak RSS KiB", median(u["timed"], "rss"), median(f["timed"], "rss")),
            ("device s (model)", u["model"]["total"][0] / 1e9, f["model"]["total"][0] / 1e9),
            ("device s (flat pages)", u["flat"]["total"][0] / 1e9, f["flat"]["total"][0] / 1e9),
        ]
        for label, a, c in rows:
            if a is None:
                a = u["calls"].total() / u["floor"].total()
                c = f["calls"].total() / f["floor"].total()
                w("| %s | %s | %.2f | %.2f | |" % (b["board"]["name"], label, a, c))
                continue
            fmt = "%.2f" if isinstance(a, float) and a < 100 else "%d"
            w("| %s | %s | %s | %s | %s |" % (b["board"]["name"], label, fmt % a, fmt % c, ratio(a, c)))
    return "\n".join(out) + "\n"


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--make-images", required=True)
    p.add_argument("--runs", type=int, default=11)
    p.add_argument("--out", required=True)
    p.add_argument("--readme")
    p.add_argument("--command", default="bench/run")
    args = p.parse_args()

    bench = Bench(args)
    os.makedirs(bench.work, exist_ok=True)
    loads = [open("/proc/loadavg").read().split()[0]]
    boards = []
    for board in BOARDS:
        print("bench: %s ..." % board["name"], file=sys.stderr, flush=True)
        b = bench.bench_board(board)
        b["dir"] = os.path.join(bench.work, board["name"])
        boards.append(b)
    loads.append(open("/proc/loadavg").read().split()[0])
    text = report(boards, args.runs, loads, args.command)
    with open(args.out, "w") as f:
        f.write(text)
    sys.stdout.write(text)
    if args.readme:
        readme = open(args.readme).read()
        begin, end = "<!-- results:begin -->\n", "<!-- results:end -->"
        if begin not in readme or end not in readme:
            sys.exit("bench: %s has no results markers" % args.readme)
        head, rest = readme.split(begin, 1)
        tail = rest.split(end, 1)[1]
        with open(args.readme, "w") as f:
            f.write(head + begin + text + end + tail)


if __name__ == "__main__":
    main()
