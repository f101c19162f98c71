#!/usr/bin/python3
"""Discovery at scale, measured against the floor. Run by scripts/bench inside the private
network of tests/net/netns.sh (TV_NS_CLIENT, TV_NS_DEVICES, TV_IF_CLIENT, TV_ADDR_DEVICES set).

Usage: bench.py BUILD_DIR [N ...]

For each N and each answer pattern (spread over MX, all at once) it starts the simulator in the
devices namespace, runs the scanner and then the dialog (offscreen) in the client namespace,
timestamps their trace lines as they arrive, and measures the floor against the same
simulator: GSSDP's resource browser (SSDP only) and a bare loop of the same HTTP exchanges.

The latency pattern (see bench_latency) has slow devices, each on its own address, some of them
hung, and compares the front ends with GUPnP's control point. The agent pattern (bench_agent)
measures a real agent's resident memory with ten thousand devices; the siege pattern
(bench_siege) how fast scrapes are answered while another host squats every connection slot."""
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
# The latency pattern: slow devices, each on its own address, 1 in HUNG_ONE_IN never answering.
LATENCY_SIZES = [200, 1000]
LATENCY_SIM = ["--http-delay", "25", "--http-jitter", "50"]  # 50 ms +- 25 ms per answer
HUNG_ONE_IN = 100
# The scanner's --time: its fetch bound is 5 s, so the hung devices' fetches end within it.
SCAN_SECONDS = 6
# GUPnP's control point gets this long, in seconds; it does not search again for answers that
# its socket dropped, so waiting longer finds nothing more.
PEER_LIMIT = 10
# Fetches closer than this, in seconds, cannot be told apart by the trace timestamps.
BLOCK_GAP = 2 * READ_PAUSE
# The agent pattern: a real agent (tarovue-scan --serve) watching AGENT_DEVICES devices,
# scraped every AGENT_SCRAPE_SECONDS as a busy Prometheus would; its resident memory once all
# are described and it has served scrapes for AGENT_SETTLE_SECONDS more (a watch returns what
# bursts left free every 30 s), and its peak.
AGENT_DEVICES = 10000
AGENT_PORT = 9731
AGENT_SCRAPE_SECONDS = 2.0
AGENT_SETTLE_SECONDS = 32.0
AGENT_LIMIT_MB = 50.0
# The siege pattern: the slot-squatting test in its own private network, scraping this many
# times once a second; every answer within SIEGE_LIMIT_S seconds is the target.
SIEGE_SCRAPES = 30
SIEGE_LIMIT_S = 1.0
RE_SIEGE = re.compile(r"(\d+)/(\d+) answered, slowest ([0-9.]+) s")

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
    def __init__(self, build, devices, spread, options=None, verbose=True):
        # Verbose: a line per datagram, so that the time of each device's first answer is known.
        argv = [os.path.join(build, "tarovue-sim"), "--devices", str(devices)]
        if verbose:
            argv.append("--verbose")
        argv += options if options is not None else ["--address", ADDR_DEVICES]
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
        self.open_fetches = {}  # location: when its GetUrl started
        self.fetch_spans = []  # (start, end) of every GetUrl that returned
        self.stats = {}  # tarovue-scan --stats: name: value
        self.completed_locations = set()
        self.fetches_at_complete = 0
        self.failed_fetches = 0
        self.tail = collections.deque(maxlen=20)  # the last lines, shown when a run fails
        self.probe_wait = 0.0  # the dialog probe's longest wait for the loop, in seconds
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
                        self.open_fetches[line[len("GetUrl("):-1]] = now
                        continue
                    location, _, count = line[len("GetUrl("):].rpartition(")=")
                    if not location or not count.lstrip("-").isdigit():
                        continue  # cut at the trace's 255 characters
                    started = self.open_fetches.pop(location, None)
                    if started is not None:
                        self.fetch_spans.append((started, now))
                    if int(count) > 0:
                        self.completed_locations.add(location)
                        if (self.complete_at is None
                                and len(self.completed_locations) >= self.devices):
                            self.complete_at = now
                            self.fetches_at_complete = len(self.fetches)
                    else:
                        self.failed_fetches += 1
                elif line.startswith("probe: waited "):
                    self.probe_wait = max(self.probe_wait, int(line.split()[2]) / 1000.0)
                elif line.startswith("fetch."):
                    name, _, value = line.partition(" ")
                    if value.isdigit():
                        self.stats[name] = int(value)

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
        # Every datagram reaches the handler; descriptions a burst already fetched are reused,
        # so the fetches no longer count the announcements.
        handled = run.received
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


def add_device_addresses(count):
    """Gives the devices side `count` addresses of their own (tests/net/netns.sh); returns the
    first, for tarovue-sim --spread."""
    out = subprocess.run(["bash", "-c", 'source tests/net/netns.sh && '
                          'tv_add_device_addresses "$1" && echo "$TV_ADDR_SPREAD"', "-",
                          str(count)], cwd=ROOT, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"cannot add device addresses: {out.stderr.strip()}")
    return out.stdout.strip()


def blocked_stretches(spans):
    """The longest stretch of back-to-back fetches, and the longest single fetch, in seconds.
    Fetches closer than the timestamps can tell apart count as one stretch."""
    longest = single = 0.0
    start = end = None
    for s, e in sorted(spans):
        single = max(single, e - s)
        if end is not None and s - end <= BLOCK_GAP:
            end = max(end, e)
        else:
            start, end = s, e
        longest = max(longest, end - start)
    return longest, single


def run_peer(expected):
    """GUPnP's control point: (described, seconds to the last one it described), or None when
    GUPnP is not installed."""
    script = os.path.join(ROOT, "bench", "gupnp_describe.py")
    out = subprocess.run(in_ns(NS_CLIENT, ["/usr/bin/python3", script, IF_CLIENT, str(expected),
                                           str(PEER_LIMIT)]),
                         capture_output=True, text=True, timeout=PEER_LIMIT + 30)
    if out.returncode == 77:
        return None
    m = re.search(r"described=(\d+) seconds=([0-9.]+)", out.stdout)
    if not m:
        raise RuntimeError(f"GUPnP control point failed: {out.stdout} {out.stderr}")
    times = [float(t) for t in re.findall(r"^gupnp: t=([0-9.]+) ", out.stdout, re.M)]
    return int(m.group(1)), max(times, default=None)


def run_latency_front(build, name, devices, hung, sim):
    """One run of `name` (scan, dialog or peer) against slow devices, some of them hung."""
    expected = devices - hung
    before = sim.query_counts()
    _, inerr_before = udp_errors()
    r = {"front": name, "devices": devices, "hung": hung, "complete": None, "described": 0,
         "own": None, "blocked": None, "single": None}
    if name == "peer":
        peer = run_peer(expected)
        if peer is None:
            return None
        r["described"], r["complete"] = peer
    else:
        if name == "scan":
            argv = [os.path.join(build, "tarovue-scan"), "--format", "json", "--time",
                    str(SCAN_SECONDS), "--stats"]
            env = {}
        else:
            # The dialog with a timer that waits as a click would: its longest wait is the
            # longest stretch in which the window could not take input.
            argv = [os.path.join(build, "tarovue-bench-dialog-probe")]
            env = {"QT_QPA_PLATFORM": "offscreen"}
        run = FrontEndRun(argv, env, expected)
        start = time.monotonic()
        while run.proc.poll() is None and time.monotonic() - start < RUN_LIMIT:
            time.sleep(0.2)
            with run.lock:
                # The dialog runs until closed: done once complete and no fetch has been
                # waiting for a while, so that the hung devices' fetches are in.
                settled = (run.complete_at is not None and not run.open_fetches
                           and time.monotonic() - max(e for _, e in run.fetch_spans) > 1.0)
            if name == "dialog" and settled:
                break
        run.stop()
        with run.lock:
            if run.complete_at is not None and run.first_search is not None:
                r["complete"] = run.complete_at - run.first_search
            r["described"] = len(run.completed_locations)
            if name == "scan":
                r["own"] = sum(run.stats.get("fetch." + outcome, 0) for outcome in
                               ("ok", "http_error", "refused", "timeout", "failed"))
            else:
                r["own"] = len(run.fetch_spans) + len(run.open_fetches)
                _, r["single"] = blocked_stretches(run.fetch_spans)
                r["blocked"] = run.probe_wait
            if r["complete"] is None:
                print(f"bench-latency: {name} with N={devices} did not describe all "
                      f"{expected} ({r['described']}); its last lines:", file=sys.stderr)
                for line in run.tail:
                    print("  " + line, file=sys.stderr)
    after = sim.query_counts()
    _, inerr_after = udp_errors()
    r["all"] = r["described"] >= expected
    # What reached the devices: a hung device's connection is its fetch.
    r["fetches"] = sum(after[k] - before[k] for k in ("http_descriptions", "http_hung"))
    # InErrors already counts what the receive buffer dropped.
    r["lost"] = inerr_after - inerr_before
    return r


def bench_latency(build, sizes):
    """The latency pattern: rows and summary lines for each N."""
    first = add_device_addresses(max(sizes))
    rows = []
    peer_missing = False
    for devices in sizes:
        hung = devices // HUNG_ONE_IN
        options = ["--spread", "--address", first] + LATENCY_SIM
        if hung:
            options += ["--hung", str(hung)]
        sim = Simulator(build, devices, False, options)
        try:
            measured = {"scan": [], "dialog": [], "peer": []}
            for _ in range(REPEAT):
                for front in measured:
                    if front == "peer" and peer_missing:
                        continue
                    r = run_latency_front(build, front, devices, hung, sim)
                    if r is None:
                        peer_missing = True
                        print("bench-latency: peer skipped: GUPnP 1.6 is not installed "
                              "(gir1.2-gupnp-1.6, see scripts/install-deps)", flush=True)
                        continue
                    measured[front].append(r)
                    print(f"bench-latency: N={devices} {front}: "
                          f"complete={fmt(r['complete'], '.3f')}s "
                          f"described={r['described']} fetches={r['fetches']} "
                          f"blocked={fmt(r['blocked'], '.3f')}s lost={r['lost']}",
                          file=sys.stderr, flush=True)
        finally:
            sim.stop()
        for front, runs in measured.items():
            if not runs:
                continue
            row = dict(runs[0])
            for key in ("complete", "fetches", "own", "blocked", "single"):
                row[key] = median(run[key] for run in runs)
            row["complete_all"] = all(run["all"] for run in runs)
            row["described"] = min(run["described"] for run in runs)
            row["blocked_worst"] = max((run["blocked"] for run in runs
                                        if run["blocked"] is not None), default=None)
            row["lost"] = sum(run["lost"] for run in runs)
            row["runs"] = len(runs)
            rows.append(row)

    print()
    print(f"latency: each device on its own address, HTTP answers after "
          f"{LATENCY_SIM[1]} + 0..{LATENCY_SIM[3]} ms, 1 in {HUNG_ONE_IN} hung (never answers); "
          f"{REPEAT} runs per row, medians.")
    print("complete: first search to the last non-hung device described (the peer: from its "
          "activation; with fewer described,")
    print("          to the last it described). described: fewest in a run. fetch/dev: "
          "descriptions the simulator served plus")
    print("          connections to hung devices, per device and run (one search burst); own: "
          "the front end's count (scan --stats,")
    print("          dialog GetUrl). blocked: the longest the dialog's loop could not run (a "
          "10 ms probe timer's longest wait,")
    print("          as a click would wait), median and worst; 1fetch: its longest single "
          "fetch. lost: "
          "Udp InErrors (drops of the receive buffer included), summed.")
    header = (f"{'N':>5} {'hung':>4} {'front':<6} {'complete':>9} {'described':>9} "
              f"{'fetch/dev':>9} {'own/dev':>7} {'blocked':>8} {'worst':>8} {'1fetch':>7} "
              f"{'lost':>5}")
    print(header)
    print("-" * len(header))
    for r in rows:
        own = r["own"] / r["devices"] if r["own"] is not None else None
        mark = "" if r["complete_all"] else "*"
        print(f"{r['devices']:>5} {r['hung']:>4} {r['front']:<6} "
              f"{fmt(r['complete'], '.3f'):>8}s{mark:1}{r['described']:>8} "
              f"{fmt(r['fetches'] / r['devices'], '.3f'):>9} {fmt(own, '.3f'):>7} "
              f"{fmt(r['blocked'], '.3f'):>7}s {fmt(r['blocked_worst'], '.3f'):>7}s "
              f"{fmt(r['single'], '.3f'):>6}s {r['lost']:>5}")
    print("* not every run described all non-hung devices.")
    print()
    for devices in sizes:
        by_front = {r["front"]: r for r in rows if r["devices"] == devices}
        scan, dialog, peer = (by_front.get(f) for f in ("scan", "dialog", "peer"))
        scan_s = scan["complete"] if scan and scan["complete_all"] else None
        peer_s = peer["complete"] if peer else None
        ratio = scan_s / peer_s if scan_s and peer_s else None
        peer_text = "skipped" if peer is None else f"{fmt(peer_s, '.3f')}s"
        if peer is not None and not peer["complete_all"]:
            peer_text += f"({peer['described']}/{devices - peer['hung']})"
        per_device = max((r["fetches"] / devices for r in (scan, dialog) if r), default=None)
        print(f"bench-latency: N={devices} scan={fmt(scan_s, '.3f')}s peer={peer_text} "
              f"ratio={fmt(ratio, '.2f')} fetches_per_device={fmt(per_device, '.3f')} "
              f"dialog_blocked_max={fmt(dialog['blocked'] if dialog else None, '.3f')}s")
    return 0


def scrape(url):
    """The body of one GET of `url` from the client namespace, or None."""
    code = ("import sys, urllib.request\n"
            "sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=20).read().decode())")
    out = subprocess.run(in_ns(NS_CLIENT, ["/usr/bin/python3", "-c", code, url]),
                         capture_output=True, text=True, timeout=30)
    return out.stdout if out.returncode == 0 else None


def proc_rss_mb(pid):
    """VmRSS (resident now) and VmHWM (the peak) of `pid`, in MB."""
    found = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key = line.split(":", 1)[0]
                if key in ("VmRSS", "VmHWM"):
                    found[key] = int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return found.get("VmRSS"), found.get("VmHWM")


def bench_agent(build, devices):
    """A real agent watching `devices` simulated devices behind one address, scraped as
    Prometheus would: its resident memory once every device is described and scraped."""
    sim = Simulator(build, devices, True, verbose=False)
    url = f"http://127.0.0.1:{AGENT_PORT}/metrics"
    agent = subprocess.Popen(
        in_ns(NS_CLIENT, [os.path.join(build, "tarovue-scan"), "--serve", str(AGENT_PORT),
                          "--quiet"]),
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    described = 0
    settled_at = None
    start = time.monotonic()
    rss = peak = None
    try:
        while time.monotonic() - start < RUN_LIMIT and agent.poll() is None:
            time.sleep(AGENT_SCRAPE_SECONDS)
            body = scrape(url)
            if body is None:
                continue
            m = re.search(r'^tarovue_description_fetches_total\{outcome="ok"\} (\d+)', body,
                          re.M)
            described = int(m.group(1)) if m else 0
            if described >= devices and settled_at is None:
                settled_at = time.monotonic() - start
            elif (settled_at is not None
                  and time.monotonic() - start - settled_at >= AGENT_SETTLE_SECONDS):
                # What a gateway holds from now on, scrape after scrape.
                rss, peak = proc_rss_mb(agent.pid)
                break
    finally:
        if agent.poll() is None:
            agent.send_signal(signal.SIGTERM)
        try:
            agent.wait(20)
        except subprocess.TimeoutExpired:
            agent.kill()
            agent.wait()
        sim.stop()
    within = rss is not None and rss <= AGENT_LIMIT_MB
    print(f"bench-agent: devices={devices} described={described} "
          f"in={fmt(settled_at, '.1f')}s rss={fmt(rss, '.1f')}MB peak={fmt(peak, '.1f')}MB "
          f"(rss {'within' if within else 'OVER'} {AGENT_LIMIT_MB:.0f} MB; tarovue-scan --serve, "
          f"/metrics scraped every {AGENT_SCRAPE_SECONDS:.0f} s, rss "
          f"{AGENT_SETTLE_SECONDS:.0f} s after the last was described)", flush=True)
    return within


def bench_siege(build):
    """Scrapes from one host while another squats every connection slot of the agent."""
    test = os.path.join(build, "tests", "agent", "agent_siege_test")
    if not os.access(test, os.X_OK):
        print(f"bench-siege: skipped: {test} is missing (make build builds it)")
        return
    env = dict(os.environ, TAROVUE_SIEGE_SCRAPES=str(SIEGE_SCRAPES))
    run = subprocess.run([test, "--gtest_filter=AgentSiegeTest.OneHostSquatting*"], env=env,
                         capture_output=True, text=True, timeout=180)
    found = RE_SIEGE.search(run.stdout)
    if run.returncode != 0 or not found:
        print(f"bench-siege: the test failed (exit {run.returncode})\n{run.stdout[-2000:]}")
        return
    answered, scrapes, slowest = int(found[1]), int(found[2]), float(found[3])
    met = answered == scrapes and slowest <= SIEGE_LIMIT_S
    print(f"bench-siege: one host squatting every slot: {answered}/{scrapes} scrapes answered, "
          f"slowest {slowest:.3f} s (target: all, each within {SIEGE_LIMIT_S:.0f} s: "
          f"{'met' if met else 'NOT met'})")


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
    given = [int(n) for n in sys.argv[2:]]
    sizes = given or [1, 100, 1000]
    patterns = os.environ.get("BENCH_PATTERNS", "spread at-once latency agent siege").split()
    rows = []
    for devices in sizes:
        for spread in [p == "spread" for p in patterns if p in ("spread", "at-once")]:
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

    if rows:
        print_rows(rows, sizes)
    if "latency" in patterns:
        bench_latency(build, given or LATENCY_SIZES)
    if "agent" in patterns:
        print()
        bench_agent(build, AGENT_DEVICES)
    if "siege" in patterns:
        print()
        bench_siege(build)
    return 0 if rows or {"latency", "agent", "siege"} & set(patterns) else 1


def print_rows(rows, sizes):
    """The table of the spread and at-once patterns, and its summary line."""
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
          "recv, handled: OnReceive; fetches: GetUrl.")
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
    worst = max(last, key=lambda r: (r["ratio"] is None, r["ratio"] or 0))
    print(f"bench: N={top} complete={fmt(worst['complete'], '.3f')}s "
          f"floor={fmt(worst['floor'], '.3f')}s ratio={fmt(worst['ratio'], '.2f')} "
          f"lost={sum(r['lost'] for r in last)} "
          f"rss={fmt(max((r['rss'] or 0) for r in last), '.1f')}MB "
          f"cpu_per_announcement={fmt(max((r['cpu_per'] or 0) for r in last), '.0f')}us")


if __name__ == "__main__":
    sys.exit(main())
