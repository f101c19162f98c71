#!/usr/bin/python3
"""Discovery at scale, measured against the floor. Run by scripts/bench inside the private
network of tests/net/netns.sh (TV_NS_CLIENT, TV_NS_DEVICES, TV_IF_CLIENT, TV_ADDR_DEVICES set).

Usage: bench.py BUILD_DIR [N ...]

For each N and each answer pattern (spread over MX, all at once) it starts the simulator in the
devices namespace, runs the scanner and then the dialog (offscreen) in the client namespace,
timestamps their trace lines as they arrive, and measures the floor against the same
simulator: GSSDP's resource browser (SSDP only) and a bare loop of the same HTTP exchanges."""
import collections
import fcntl
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NS_CLIENT = os.environ["TV_NS_CLIENT"]
NS_DEVICES = os.environ["TV_NS_DEVICES"]
IF_CLIENT = os.environ["TV_IF_CLIENT"]
ADDR_DEVICES = os.environ["TV_ADDR_DEVICES"]

# Each front end runs this often per N and pattern; the table shows medians.
REPEAT = int(os.environ.get("BENCH_REPEAT", "3"))
# The trace reader's pause between reads, in seconds: the precision of every timestamp.
READ_PAUSE = 0.002
F_SETPIPE_SZ = 1031  # fcntl.F_SETPIPE_SZ, missing before Python 3.10
# Longest a front end may take before the run counts as failed, in seconds.
RUN_LIMIT = 240
# After completion, the run ends once every response the simulator sent has been received,
# or when nothing has arrived for this long.
QUIET_SECONDS = 2.5
# Devices spread their answers over min(MX, 5) s; Tarovue sends MX 100.
SPREAD_SECONDS = 5.0

RE_COUNTS = re.compile(r"^(counts|summary): (.*)$")
RE_SENT_RESPONSE = re.compile(r"^sent response, \d+ bytes, to \S+ for (\S+)$")


def in_ns(ns, argv):
    return ["ip", "netns", "exec", ns] + argv


def udp_errors():
    """Udp RcvbufErrors and InErrors of the client namespace."""
    text = subprocess.run(in_ns(NS_CLIENT, ["cat", "/proc/net/snmp"]), capture_output=True,
                          text=True, check=True).stdout
    rows = [line.split() for line in text.splitlines() if line.startswith("Udp:")]
    table = dict(zip(rows[0][1:], (int(v) for v in rows[1][1:])))
    return table.get("RcvbufErrors", 0), table.get("InErrors", 0)


def proc_cpu_seconds(pid):
    """CPU time of all threads of the process: the scheduler's nanosecond counts, else
    utime + stime in clock ticks."""
    try:
        total = 0
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        return total / 1e9
    except (OSError, ValueError, IndexError):
        pass
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime


def proc_hwm_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def child_pid(pid, limit=5.0):
    """The one child of `pid` (the program that `timeout` started)."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                children = f.read().split()
            if children:
                return int(children[0])
        except OSError:
            return None
        time.sleep(0.01)
    return None


def batched_lines(stream):
    """(arrival time, line) of a pipe. Read in batches after a short pause, so that the reader
    does not wake for every line and take the CPU from what it measures; the pipe is made
    large enough to hold what arrives meanwhile."""
    fd = stream.fileno()
    try:
        fcntl.fcntl(fd, F_SETPIPE_SZ, 1 << 20)
    except OSError:
        pass
    pending = b""
    while True:
        data = os.read(fd, 1 << 20)
        now = time.monotonic()
        if not data:
            return
        lines = (pending + data).split(b"\n")
        pending = lines.pop()
        for raw in lines:
            yield now, raw.decode("utf-8", "replace")
        time.sleep(READ_PAUSE)


class Simulator:
    def __init__(self, build, devices, spread):
        # Verbose: a line per datagram, so that the time of each device's first answer is known.
        argv = [os.path.join(build, "tarovue-sim"), "--devices", str(devices), "--address",
                ADDR_DEVICES, "--verbose"]
        if spread:
            argv.append("--mx-delay")
        self.proc = subprocess.Popen(in_ns(NS_DEVICES, argv), stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.counts = []
        # (when, line) of every response sent since reset_answers(); taken apart only when
        # asked, so that the reader costs little while a front end is measured.
        self.answer_lines = []
        self.ready = threading.Event()
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        if not self.ready.wait(10):
            self.stop()
            raise RuntimeError("simulator did not become ready")

    def _read(self):
        for now, line in batched_lines(self.proc.stdout):
            if line.startswith("sent response"):
                with self.lock:
                    self.answer_lines.append((now, line))
            elif line.startswith("ready:"):
                self.ready.set()
            elif line.startswith(("counts:", "summary:")):
                m = RE_COUNTS.match(line)
                fields = dict(kv.split("=", 1) for kv in m.group(2).split())
                with self.lock:
                    self.counts.append({k: int(v) for k, v in fields.items()})

    def reset_answers(self):
        with self.lock:
            self.answer_lines = []

    def last_first_answer(self, devices):
        """When the last of `devices` devices sent its first answer since reset_answers()."""
        with self.lock:
            lines = list(self.answer_lines)
        first_answer = {}  # USN: when its first response left
        for now, line in lines:
            m = RE_SENT_RESPONSE.match(line)
            if m:
                first_answer.setdefault(m.group(1), now)
        if len(first_answer) < devices:
            return None
        return max(first_answer.values())

    def query_counts(self, timeout=2.0):
        """The simulator's counters now (SIGUSR1 makes it print them)."""
        with self.lock:
            before = len(self.counts)
        self.proc.send_signal(signal.SIGUSR1)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                if len(self.counts) > before:
                    return self.counts[-1]
            time.sleep(0.01)
        raise RuntimeError("simulator did not print its counts")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class FrontEndRun:
    """One front end in the client namespace, its trace lines timestamped as they arrive."""

    def __init__(self, argv, env_extra, devices):
        env = dict(os.environ)
        env["QT_LOGGING_RULES"] = "tarovue.trace.debug=true"
        env.update(env_extra)
        self.devices = devices
        self.lock = threading.Lock()
        self.first_search = None
        self.cpu_at_first_search = None
        self.complete_at = None
        self.last_receive = None
        self.received = 0
        self.fetches = []  # (timestamp, location) of every GetUrl started
        self.completed_locations = set()
        self.fetches_at_complete = 0
        self.failed_fetches = 0
        self.tail = collections.deque(maxlen=20)  # the last lines, shown when a run fails
        # BENCH_WRAP (e.g. "perf record -g -o FILE --") runs the front end under a profiler;
        # CPU and memory are then the profiler's.
        wrap = os.environ.get("BENCH_WRAP", "").split()
        self.proc = subprocess.Popen(
            in_ns(NS_CLIENT, ["timeout", "-s", "KILL", str(RUN_LIMIT + 30)] + wrap + argv),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=env)
        self.pid = child_pid(self.proc.pid)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        # Plain string tests rather than patterns: the reader shares the CPUs with what it
        # measures.
        for now, line in batched_lines(self.proc.stderr):
            with self.lock:
                self.tail.append(line)
                if line.startswith("OnReceive("):
                    self.received += 1
                    self.last_receive = now
                elif line == "SendDiscover:SentTo()":
                    if self.first_search is None:
                        self.first_search = now
                        self.cpu_at_first_search = proc_cpu_seconds(self.pid)
                elif line.startswith("GetUrl("):
                    if line.endswith(")"):
                        self.fetches.append((now, line[len("GetUrl("):-1]))
                        continue
                    location, _, count = line[len("GetUrl("):].rpartition(")=")
                    if not location or not count.lstrip("-").isdigit():
                        continue  # cut at the trace's 255 characters
                    if int(count) > 0:
                        self.completed_locations.add(location)
                        if (self.complete_at is None
                                and len(self.completed_locations) >= self.devices):
                            self.complete_at = now
                            self.fetches_at_complete = len(self.fetches)
                    else:
                        self.failed_fetches += 1

    def wait(self, sim, spread):
        """Until complete and every response sent has been received (or all is quiet)."""
        start = time.monotonic()
        while True:
            time.sleep(0.2)
            now = time.monotonic()
            with self.lock:
                complete = self.complete_at is not None
                first = self.first_search
                last = self.last_receive or first or start
                received = self.received
            if self.proc.poll() is not None or now - start > RUN_LIMIT:
                return
            if not complete or first is None:
                continue
            # The burst lasts a few hundred milliseconds; spread answers come for 5 s more.
            if now - first < (SPREAD_SECONDS + 0.5 if spread else 1.0):
                continue
            counts = sim.query_counts()
            if received >= counts["responses"] + counts["alive"] - self.sent_before:
                return
            if now - last > QUIET_SECONDS:
                return

    def stop(self):
        hwm = proc_hwm_mb(self.pid) if self.pid else None
        cpu = proc_cpu_seconds(self.pid) if self.pid else None
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(5)
        return hwm, cpu


def run_front_end(build, name, devices, spread, sim):
    if name == "scan":
        argv = [os.path.join(build, "tarovue-scan"), "--watch", "--format", "csv"]
        env = {}
    else:
        argv = [os.path.join(build, "tarovue")]
        env = {"QT_QPA_PLATFORM": "offscreen"}
    before = sim.query_counts()
    rcvbuf_before, inerr_before = udp_errors()
    sim.reset_answers()
    run = FrontEndRun(argv, env, devices)
    run.sent_before = before["responses"] + before["alive"]
    run.wait(sim, spread)
    after = sim.query_counts()
    hwm, cpu = run.stop()
    rcvbuf_after, inerr_after = udp_errors()
    answers_done = sim.last_first_answer(devices)
    if run.complete_at is None:
        print(f"bench: {name} with N={devices} did not complete (exit status "
              f"{run.proc.returncode}); its last lines:", file=sys.stderr)
        for line in run.tail:
            print("  " + line, file=sys.stderr)
    with run.lock:
        handled = len(run.fetches)
        cpu_discovery = None
        if cpu is not None and run.cpu_at_first_search is not None:
            cpu_discovery = cpu - run.cpu_at_first_search
        return {
            "exit": run.proc.returncode if run.first_search is None else 0,
            "front": name,
            "devices": devices,
            "spread": spread,
            "complete": (run.complete_at - run.first_search) if run.complete_at else None,
            # Both ends are timestamped within READ_PAUSE; an early answer must not count less.
            "answers": max(0.0, answers_done - run.first_search)
            if answers_done and run.first_search else None,
            "found": len(run.completed_locations),
            "sent": after["responses"] + after["alive"] - run.sent_before,
            "received": run.received,
            "handled": handled,
            "failed": run.failed_fetches,
            "lost_kernel": (rcvbuf_after - rcvbuf_before) + (inerr_after - inerr_before),
            "cpu": cpu_discovery,
            "cpu_per": (cpu_discovery / handled * 1e6) if cpu_discovery and handled else None,
            "rss": hwm,
            "urls": [loc for _, loc in run.fetches[:run.fetches_at_complete]],
            "fetches": run.fetches_at_complete if run.complete_at else None,
        }


def http_floor(build, urls, search):
    """The bare loop's time for `urls`. With `search`, the loop starts with the same search the
    front end sent, so that the simulator answers it meanwhile, as it did for the front end: one
    thread of the simulator both answers and serves. (Spread answers take 5 s and would overlap
    the next run; there the floor is the answers' time anyway.)"""
    if not urls:
        return None
    argv = [os.path.join(build, "tarovue-bench-http-floor")] + (["--search"] if search else [])
    out = subprocess.run(in_ns(NS_CLIENT, argv), input="\n".join(urls) + "\n",
                         capture_output=True, text=True, timeout=RUN_LIMIT)
    m = re.search(r"ok=(\d+) .*seconds=([0-9.]+)", out.stdout)
    if not m or int(m.group(1)) != len(urls):
        raise RuntimeError(f"HTTP floor failed: {out.stdout} {out.stderr}")
    return float(m.group(2))


def gssdp_floor(devices):
    script = os.path.join(ROOT, "bench", "gssdp_discover.py")
    # Long enough for answers spread over 5 s; a browser that loses answers gives up then.
    out = subprocess.run(in_ns(NS_CLIENT, ["/usr/bin/python3", script, IF_CLIENT, str(devices),
                                           "15"]), capture_output=True, text=True, timeout=60)
    m = re.search(r"seen=(\d+) seconds=([0-9.]+)", out.stdout)
    if not m:
        raise RuntimeError(f"GSSDP browse failed: {out.stdout} {out.stderr}")
    return int(m.group(1)), float(m.group(2))


def fmt(value, format_spec, missing="-"):
    return missing if value is None else format(value, format_spec)


def median(values):
    values = sorted(v for v in values if v is not None)
    return statistics.median(values) if values else None


def summarise(runs):
    """One row for the repetitions of a front end: medians of times, sums of counts."""
    r = dict(runs[0])
    for key in ("complete", "answers", "http_floor", "floor", "ratio", "cpu_per", "fetches"):
        r[key] = median(run[key] for run in runs)
    # A run that did not complete counts against the row.
    if any(run["complete"] is None for run in runs):
        r["complete"] = r["ratio"] = None
    for key in ("sent", "received", "handled", "lost", "failed"):
        r[key] = sum(run[key] for run in runs)
    r["rss"] = max((run["rss"] for run in runs if run["rss"] is not None), default=None)
    r["runs"] = len(runs)
    return r


def gssdp_text(r):
    """GSSDP's time, or how many devices it saw when it did not see them all."""
    if r["gssdp"] is not None:
        return f"{r['gssdp']:.3f}s"
    return f"{r['gssdp_seen']}seen"


def main():
    build = sys.argv[1]
    sizes = [int(n) for n in sys.argv[2:]] or [1, 100, 1000]
    rows = []
    for devices in sizes:
        for spread in [p == "spread" for p in
                       os.environ.get("BENCH_PATTERNS", "spread at-once").split()]:
            sim = Simulator(build, devices, spread)
            try:
                fronts = os.environ.get("BENCH_FRONTS", "scan dialog").split()
                measured = {front: [] for front in fronts}
                for _ in range(REPEAT):
                    for front in fronts:
                        r = run_front_end(build, front, devices, spread, sim)
                        if r["exit"] in (126, 127):
                            # The shared build directory was being relinked: try once more.
                            time.sleep(5)
                            r = run_front_end(build, front, devices, spread, sim)
                        # The floor's loop right after, on the same machine load.
                        r["http_floor"] = http_floor(build, r["urls"], search=not spread)
                        parts = [p for p in (r["http_floor"], r["answers"]) if p is not None]
                        r["floor"] = max(parts) if len(parts) == 2 else None
                        r["ratio"] = (r["complete"] / r["floor"]
                                      if r["complete"] and r["floor"] else None)
                        # A datagram the kernel dropped is also missing from what was handled.
                        r["lost"] = max(r["sent"] - r["handled"], r["lost_kernel"], 0)
                        measured[front].append(r)
                        print(f"bench: N={devices} {'spread' if spread else 'at-once'} {front}: "
                              f"complete={fmt(r['complete'], '.3f')}s "
                              f"floor={fmt(r['floor'], '.3f')}s lost={r['lost']}",
                              file=sys.stderr, flush=True)
                # Last, so that answers to its searches are not counted for a front end.
                seen, ssdp_seconds = gssdp_floor(devices)
                for front in fronts:
                    r = summarise(measured[front])
                    r["gssdp"] = ssdp_seconds if seen >= devices else None
                    r["gssdp_seen"] = seen
                    rows.append(r)
            finally:
                sim.stop()

    print()
    print(f"Each row: {REPEAT} runs; times, ratio and cpu/ann are medians, counts are sums, "
          "rss the largest.")
    print("complete: first M-SEARCH to the last device's row written with its description "
          f"(trace lines timestamped within {READ_PAUSE * 1000:.0f} ms).")
    print("floor = max(answers: first M-SEARCH to the last device's first answer to it, from "
          "the simulator's log;")
    print("            http: a bare loop of the exchanges the front end made until complete "
          "(fetches), same URLs and order;")
    print("            at-once: the loop starts with the same search, answered meanwhile).")
    print("gssdp: SSDP-only discovery of the same devices by GSSDP's resource browser (its own "
          "searches, MX 100), for comparison.")
    print("sent: responses and notifications the simulator sent while the front end ran; "
          "recv: OnReceive; handled: fetches.")
    print("lost: the larger of sent - handled and the client namespace's Udp RcvbufErrors + "
          "InErrors. fail: fetches that returned 0.")
    print("cpu/ann: CPU time (schedstat) from the first M-SEARCH to the end / handled; rss: VmHWM.")
    header = (f"{'N':>5} {'pattern':<8} {'front':<6} {'complete':>9} {'answers':>8} "
              f"{'http':>7} {'floor':>7} {'ratio':>5} {'gssdp':>8} {'fetches':>7} {'sent':>6} "
              f"{'recv':>6} {'handled':>7} {'lost':>4} {'fail':>4} {'cpu/ann':>7} {'rss':>7}")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r['devices']:>5} {'spread' if r['spread'] else 'at-once':<8} {r['front']:<6} "
              f"{fmt(r['complete'], '.3f'):>8}s {fmt(r['answers'], '.3f'):>7}s "
              f"{fmt(r['http_floor'], '.3f'):>6}s {fmt(r['floor'], '.3f'):>6}s "
              f"{fmt(r['ratio'], '.2f'):>5} {gssdp_text(r):>8} {fmt(r['fetches'], '.0f'):>7} "
              f"{r['sent']:>6} {r['received']:>6} {r['handled']:>7} {r['lost']:>4} "
              f"{r['failed']:>4} {fmt(r['cpu_per'], '.0f'):>5}us {fmt(r['rss'], '.1f'):>5}MB")
    print()
    # The last line: the largest N, both patterns and both front ends, each figure at its worst.
    top = max(sizes)
    last = [r for r in rows if r["devices"] == top]
    if not last:
        return 1
    worst = max(last, key=lambda r: (r["ratio"] is None, r["ratio"] or 0))
    print(f"bench: N={top} complete={fmt(worst['complete'], '.3f')}s "
          f"floor={fmt(worst['floor'], '.3f')}s ratio={fmt(worst['ratio'], '.2f')} "
          f"lost={sum(r['lost'] for r in last)} "
          f"rss={fmt(max((r['rss'] or 0) for r in last), '.1f')}MB "
          f"cpu_per_announcement={fmt(max((r['cpu_per'] or 0) for r in last), '.0f')}us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
