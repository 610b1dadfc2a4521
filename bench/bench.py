#!/usr/bin/env python3
"""Speed of a full update against the wire limit.

Runs the real updater against the emulator (devsim) for a container of random
firmware built with affpack, and reports per run: the wall time, the wire limit
(the bytes that crossed the link each way, 10 bits a byte at the baud rate,
plus the pauses that the device dialogue prescribes), their ratio (efficiency),
the updater's CPU seconds (user + system) and its peak memory (max RSS).
"stolen" is the CPU time the hypervisor took from the machine during the run
(all processors together): a run with much of it says little about the programs.

Modes:
  throttled  the emulator gives every byte its wire time at each --rates rate
             (devsim --throttle-baud), whatever rate the port is set to, for the
             large container and a small one (--small-scale); "fixed" is the
             wall time beyond the limit, "floor" what the machine alone takes for
             as many round trips of the same sizes between a bare client and a
             bare device (bench_floor, run right after the update): the part of
             "fixed" that no updater can save on this machine at that moment
  cpu        no throttle: the link is as fast as the two programs; reports the
             updater's CPU seconds per MiB of firmware
  parallel   1, 4 and 16 devices updated at once, each by its own updater and
             emulator, throttled at --parallel-rate; reports the slowdown
"""

import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
FLOOR_PROBE_WIRE_S = 20  # the floor probe runs at most this much wire time, scaled up

# Pauses of an update that no link speed shortens, in seconds: the front end's
# settle time after opening the port, then the dialogue's own.
PAUSE_CONNECT_SETTLE = 0.5
PAUSE_REBOOT_BOOTLOADER = 2.0  # port closed after "AT+REBOOT_BOOTLOADER"
PAUSE_DEVICE_BOOT = 1.0  # after the device bootloader confirmed the switch
PAUSE_WIFI_INIT = 3.0  # after the Wi-Fi hand-over
PAUSE_UNLOCK = 4.0  # port closed after "AT+LOCK=0"

# The realistic container: KiB of random data per component, in file order.
FULL_LAYOUT = [
    ("host-uc", 256, 10700001),
    ("device-uc", 512, 10700002),
    ("ti", 128, 10700003),
    ("wifi", 1024, 10700004),
    ("nvcm0", 128, 10700005),
    ("nvcm1", 128, 10700005),
]
USERCODE_BYTES = 4


class BenchError(Exception):
    pass


def build_container(affpack, work, scale, part_size, seed, tiny, name="fw"):
    """Writes the images and the container NAME.aff; returns (path, firmware bytes)."""
    rng = random.Random(seed)
    layout = FULL_LAYOUT
    if tiny:
        # Smoke runs: one small host image, so that the run takes seconds.
        layout = [("host-uc", 8, 10700001)]
    args = [affpack, "-o", os.path.join(work, name + ".aff"), "--product", "1", "--hardware", "0",
            "--iv", "000102030405060708090a0b0c0d0e0f"]
    firmware = 0
    for component, kib, version in layout:
        size = max(part_size, int(kib * 1024 * scale) // part_size * part_size)
        path = os.path.join(work, "%s-%s.bin" % (name, component))
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
        firmware += size
        args += ["--block", "%s:%s:%d:version=%d" % (component, path, part_size, version)]
    if not tiny:
        path = os.path.join(work, name + "-usercode.bin")
        with open(path, "wb") as f:
            f.write(rng.randbytes(USERCODE_BYTES))
        firmware += USERCODE_BYTES
        args += ["--block", "usercode:%s:%d:version=10700005" % (path, USERCODE_BYTES)]
    out = subprocess.run(args, capture_output=True, text=True)
    if out.returncode != 0:
        raise BenchError("affpack failed: " + out.stderr.strip())
    return args[2], firmware


class Device:
    """One devsim process on its own link, state directory and summary."""

    def __init__(self, devsim, work, name, container, extra):
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir)
        self.link = os.path.join(self.dir, "ttyDEV")
        self.summary_path = os.path.join(self.dir, "summary.json")
        self.state = os.path.join(self.dir, "state")
        self.log = open(os.path.join(self.dir, "devsim.log"), "w")
        self.proc = subprocess.Popen(
            [devsim, "--state", self.state, "--container", container, "--summary", self.summary_path]
            + extra + [self.link], stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not os.path.islink(self.link):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise BenchError("devsim did not start; see " + self.log.name)
            time.sleep(0.02)

    def stop(self):
        """Stops the emulator; returns (summary, devsim CPU seconds)."""
        self.proc.send_signal(signal.SIGTERM)
        _, status, usage = os.wait4(self.proc.pid, 0)
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        self.log.close()
        with open(self.summary_path) as f:
            summary = json.load(f)
        return summary, usage.ru_utime + usage.ru_stime


def start_updater(bins, device, container):
    # bench_rusage measures the updater: a child forked from this script would
    # carry the script's own peak memory in its max RSS.
    log = open(os.path.join(device.dir, "updater.log"), "w")
    usage = os.path.join(device.dir, "usage.txt")
    proc = subprocess.Popen([bins["bench_rusage"], usage, bins["updater"], device.link, "-update", container],
                            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    return proc, log, usage, time.monotonic()


def finish_updater(proc, log, usage, started):
    """Waits for the updater; returns wall, CPU seconds and max RSS in KiB."""
    code = proc.wait()
    wall = time.monotonic() - started
    log.close()
    if code != 0:
        raise BenchError("the update failed; see " + log.name)
    with open(usage) as f:
        user, system, rss = f.read().split()
    return wall, float(user) + float(system), int(rss)


def prescribed_pauses(summary):
    """Seconds of the dialogue's pauses, from what the emulator saw."""
    texts = summary.get("text_commands", {})

    def count(name):
        return summary.get("requests", {}).get(name, 0) + summary.get("forwarded", {}).get(name, 0)

    pauses = PAUSE_CONNECT_SETTLE
    pauses += PAUSE_REBOOT_BOOTLOADER * texts.get("AT+REBOOT_BOOTLOADER", 0)
    pauses += PAUSE_UNLOCK * texts.get("AT+LOCK=0", 0)
    pauses += PAUSE_WIFI_INIT * count("WIFI_INIT")
    if summary.get("forwarded_total", 0) > 0:
        pauses += PAUSE_DEVICE_BOOT
    return pauses


def verify(devsim, device, container):
    out = subprocess.run([devsim, "verify", device.state, container], capture_output=True, text=True)
    if out.returncode != 0:
        raise BenchError("the device does not hold the container:\n" + out.stdout + out.stderr)


def stolen_seconds():
    """CPU seconds the hypervisor has taken from this virtual machine since boot, all
    processors together (the steal column of /proc/stat); 0 where there is none."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK") if len(fields) > 8 else 0.0
    except (OSError, ValueError):
        return 0.0


def run_devices(bins, work, label, container, count, extra):
    """Updates count devices at once. Returns one result dict per device."""
    devices = [Device(bins["devsim"], work, "%s-%d" % (label, i), container, extra) for i in range(count)]
    results = []
    try:
        stolen = stolen_seconds()
        running = [start_updater(bins, d, container) for d in devices]
        measured = [finish_updater(*r) for r in running]
        stolen = stolen_seconds() - stolen
    finally:
        stopped = []
        for d in devices:
            if d.proc.poll() is None:
                stopped.append(d.stop())
    for d, (wall, cpu, rss), (summary, sim_cpu) in zip(devices, measured, stopped):
        verify(bins["devsim"], d, container)
        results.append({
            "wall": wall,
            "cpu": cpu,
            "rss_kib": rss,
            "sim_cpu": sim_cpu,
            "bytes_out": summary["bytes_from_host"],
            "bytes_in": summary["bytes_to_host"],
            "pauses": prescribed_pauses(summary),
            "resends": summary["requests_total"] - summary["responses"],
            "round_trips": summary["requests_total"] + summary.get("text_commands_total", 0),
            "stolen": stolen,
        })
    return results


def wire_limit(result, baud):
    return (result["bytes_out"] + result["bytes_in"]) * BITS_PER_BYTE / baud + result["pauses"]


def table(title, header, rows):
    print("\n" + title)
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    for i, row in enumerate([header] + rows):
        print("  " + "  ".join(str(c).rjust(w) for c, w in zip(row, widths)))
        if i == 0:
            print("  " + "  ".join("-" * w for w in widths))
    sys.stdout.flush()


def host_floor(bins, result, rate):
    """What the machine alone costs for the round trips of an update, in seconds: bench_floor runs
    as many round trips of the same mean sizes between a bare client and a bare device (at most
    FLOOR_PROBE_WIRE_S of wire time of them, scaled up to all), right after the update."""
    trips = max(1, result["round_trips"])
    request = max(1, round(result["bytes_out"] / trips))
    answer = max(1, round(result["bytes_in"] / trips))
    per_trip_wire = (request + answer) * BITS_PER_BYTE / rate
    probe = max(1, min(trips, int(FLOOR_PROBE_WIRE_S / per_trip_wire)))
    out = subprocess.run([bins["bench_floor"], str(probe), str(request), str(answer), str(rate)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise BenchError("bench_floor failed: " + out.stderr.strip())
    wall, wire = (float(x) for x in out.stdout.split())
    return (wall - wire) * trips / probe


def mode_throttled(bins, work, containers, rates):
    """containers: (label, path, firmware bytes). The fixed cost is what a run takes beyond its limit;
    the floor, what the machine takes for as many bare round trips just after it."""
    rows = []
    for label, container, firmware in containers:
        for rate in rates:
            r = run_devices(bins, work, "%s%d" % (label, rate), container, 1, ["--throttle-baud", str(rate)])[0]
            limit = wire_limit(r, rate)
            floor = host_floor(bins, r, rate)
            rows.append([label, "%.0f" % (firmware / 1024), rate, "%.2f" % r["wall"], "%.2f" % limit,
                         "%.3f" % (limit / r["wall"]), "%.2f" % (r["wall"] - limit), "%.2f" % floor,
                         r["round_trips"], "%.2f" % r["pauses"], r["bytes_out"], r["bytes_in"], "%.2f" % r["cpu"],
                         "%.2f" % r["sim_cpu"], "%.1f" % (r["rss_kib"] / 1024), "%.2f" % r["stolen"]])
    table("Throttled: the wire at each rate (times in seconds)",
          ["container", "KiB", "baud", "wall", "limit", "efficiency", "fixed", "floor", "round trips", "pauses",
           "bytes out", "bytes in", "cpu", "devsim cpu", "max RSS MiB", "stolen"], rows)


def mode_cpu(bins, work, container, firmware):
    r = run_devices(bins, work, "cpu", container, 1, [])[0]
    mib = firmware / MIB
    rows = [["%.2f" % r["wall"], "%.2f" % r["pauses"], "%.2f" % mib, "%.2f" % r["cpu"], "%.3f" % (r["cpu"] / mib),
             "%.2f" % r["sim_cpu"], "%.1f" % (r["rss_kib"] / 1024)]]
    table("Unthrottled: CPU per MiB of firmware (seconds)",
          ["wall", "pauses", "firmware MiB", "cpu", "cpu/MiB", "devsim cpu", "max RSS MiB"], rows)


def mode_parallel(bins, work, container, rate, counts):
    rows = []
    base = None
    for n in counts:
        results = run_devices(bins, work, "par%d" % n, container, n, ["--throttle-baud", str(rate)])
        worst = max(r["wall"] for r in results)
        mean = sum(r["wall"] for r in results) / n
        limit = max(wire_limit(r, rate) for r in results)
        if base is None:
            base = mean
        rows.append([n, "%.2f" % mean, "%.2f" % worst, "%.2f" % limit, "%.3f" % (mean / base),
                     "%.3f" % (limit / worst), "%.2f" % (sum(r["cpu"] for r in results) / n),
                     "%.2f" % (sum(r["sim_cpu"] for r in results) / n), "%.2f" % results[0]["stolen"]])
    table("Parallel: devices updated at once, throttled at %d baud (seconds)" % rate,
          ["devices", "mean wall", "worst wall", "limit", "slowdown", "efficiency", "cpu per update",
           "devsim cpu per update", "stolen"], rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("bindir", help="directory holding updater, devsim and affpack")
    ap.add_argument("--rusage",
                    help="the bench_rusage helper, with bench_floor beside it (default: bench/ beside BINDIR)")
    ap.add_argument("--mode", action="append", choices=["throttled", "cpu", "parallel"],
                    help="what to run (repeatable; default: all three)")
    ap.add_argument("--rates", default="115200,921600,3000000", help="throttled rates, comma separated")
    ap.add_argument("--parallel-rate", type=int, default=921600)
    ap.add_argument("--parallel-counts", default="1,4,16")
    ap.add_argument("--scale", type=float, default=1.0, help="container size factor (default 1)")
    ap.add_argument("--small-scale", type=float, default=0.118,
                    help="size factor of the small container the throttled mode also runs (0: none)")
    ap.add_argument("--part-size", type=int, default=1024)
    ap.add_argument("--tiny", action="store_true", help="a container of one small image (smoke runs)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    args = ap.parse_args()

    bins = {p: os.path.join(args.bindir, p) for p in ("updater", "devsim", "affpack")}
    # The helper is built into the build tree's bench/ directory, not with the programs.
    bins["bench_rusage"] = args.rusage or os.path.join(args.bindir, os.pardir, "bench", "bench_rusage")
    bins["bench_floor"] = os.path.join(os.path.dirname(bins["bench_rusage"]), "bench_floor")
    for path in bins.values():
        if not os.access(path, os.X_OK):
            print("bench: missing program " + path, file=sys.stderr)
            return 1
    modes = args.mode or ["throttled", "cpu", "parallel"]
    work = tempfile.mkdtemp(prefix="upd-bench-")
    try:
        container, firmware = build_container(bins["affpack"], work, args.scale, args.part_size, args.seed,
                                              args.tiny)
        print("container: %s bytes, %.2f MiB of firmware in parts of %d bytes; load average %.2f on %d cores"
              % (os.path.getsize(container), firmware / MIB, args.part_size, os.getloadavg()[0],
                 os.cpu_count()))
        if "throttled" in modes:
            sizes = [("large", container, firmware)]
            if args.small_scale > 0 and not args.tiny:
                small, small_firmware = build_container(bins["affpack"], work, args.small_scale, args.part_size,
                                                        args.seed, False, "small")
                sizes.append(("small", small, small_firmware))
            mode_throttled(bins, work, sizes, [int(r) for r in args.rates.split(",")])
        if "cpu" in modes:
            mode_cpu(bins, work, container, firmware)
        if "parallel" in modes:
            mode_parallel(bins, work, container, args.parallel_rate,
                          [int(n) for n in args.parallel_counts.split(",")])
    except BenchError as e:
        print("bench: %s" % e, file=sys.stderr)
        args.keep = True
        return 1
    finally:
        if args.keep:
            print("work directory kept: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
