#!/usr/bin/python3
"""The dialog as a screen reader meets it: the real tarovue on Xvfb, its accessibility tree read
over AT-SPI (python3-pyatspi) as an assistive tool would, with three simulated indicators.

  dialog_atspi_test.py BUILD_DIR

Everything runs in namespaces of the test's own, entered through unshare: a network (the
indicators in a nested one, joined by a veth pair, as scripts/demo builds it), a process
namespace whose end takes every process started here with it, and a mount namespace for /proc
and the X server's sockets.
Exits 77 (skipped) when pyatspi, at-spi2-core, Xvfb, D-Bus or the namespaces are missing."""
import importlib.util
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
X_SOCKETS = "/tmp/.X11-unix"
INSIDE = "TAROVUE_ATSPI_TEST_INSIDE"
DEVICES = 3
CLIENT_ADDR = "10.231.0.1"
DEVICES_ADDR = "10.231.0.2"  # the first indicator's; the others follow it
SERIAL_BASE = 700  # indicator N has serial number SIM000(700+N) and host name scale-N
FIELDS = ("Model name", "Model number", "Serial number", "GUID")

failures = []


def skip(why):
    print("skipped:", why, file=sys.stderr)
    sys.exit(77)


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)
    return condition


def wait_for(condition, seconds):
    """Polls `condition` until it holds or `seconds` pass; returns its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


def enter_namespaces(build):
    if importlib.util.find_spec("pyatspi") is None:
        skip("python3-pyatspi is missing")
    if not os.access(LAUNCHER, os.X_OK):
        skip(f"{LAUNCHER} is missing (at-spi2-core)")
    for tool in ("Xvfb", "xauth", "dbus-daemon", "dbus-send", "unshare", "nsenter", "ip"):
        if shutil.which(tool) is None:
            skip(f"{tool} is missing (xvfb, xauth, dbus, util-linux, iproute2)")
    for program in ("tarovue", "tarovue-sim"):
        if not os.access(os.path.join(build, program), os.X_OK):
            sys.exit(f"FAIL: {build}/{program} is not built")
    # As root no user namespace is needed; anyone else gets one with root inside it.
    unshare = ["unshare", "--net", "--pid", "--fork", "--mount-proc", "--kill-child"]
    if os.getuid() != 0:
        unshare.insert(1, "--map-root-user")
    if subprocess.run(unshare + ["true"], stderr=subprocess.DEVNULL).returncode != 0:
        skip("cannot create private namespaces with " + " ".join(unshare))
    os.environ[INSIDE] = "1"
    os.execvp(unshare[0], unshare + [sys.executable] + sys.argv)


class Processes:
    """What the test started, stopped in reverse order at the end."""

    def __init__(self, logs):
        self.logs = logs
        self.started = []

    def start(self, name, argv, **kwargs):
        log = open(os.path.join(self.logs, name + ".log"), "w")
        process = subprocess.Popen(argv, stdout=kwargs.pop("stdout", log), stderr=log, **kwargs)
        self.started.append((name, process))
        return process

    def log(self, name):
        with open(os.path.join(self.logs, name + ".log")) as f:
            return f.read()

    def stop_all(self):
        for _, process in reversed(self.started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(3)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def sh(*argv):
    subprocess.run(argv, check=True)


def build_network(processes, build):
    """The client side here, the indicators in a nested namespace held open by a sleep."""
    sh("ip", "link", "set", "lo", "up")
    holder = processes.start("holder", ["unshare", "--net", "sleep", "infinity"])
    own = os.readlink("/proc/self/ns/net")
    if not wait_for(lambda: os.readlink(f"/proc/{holder.pid}/ns/net") != own, 2):
        sys.exit("FAIL: the indicators' namespace did not come up")
    sh("ip", "link", "add", "tvat-c", "type", "veth", "peer", "name", "tvat-d")
    sh("ip", "link", "set", "tvat-d", "netns", str(holder.pid))
    sh("ip", "addr", "add", CLIENT_ADDR + "/24", "dev", "tvat-c")
    sh("ip", "link", "set", "tvat-c", "up")
    sh("ip", "route", "add", "224.0.0.0/4", "dev", "tvat-c")
    inside = ["nsenter", "-t", str(holder.pid), "-n"]
    prefix, first = DEVICES_ADDR.rsplit(".", 1)
    commands = ["ip link set lo up"]
    commands += [f"ip addr add {prefix}.{int(first) + i}/24 dev tvat-d" for i in range(DEVICES)]
    commands += ["ip link set tvat-d up", "ip route add 224.0.0.0/4 dev tvat-d"]
    sh(*inside, "sh", "-ec", " && ".join(commands))
    processes.start("sim", inside + [
        os.path.join(build, "tarovue-sim"), "--devices", str(DEVICES), "--address", DEVICES_ADDR,
        "--spread", "--serial-base", str(SERIAL_BASE), "--host-name", "scale-{n}"])
    if not wait_for(lambda: "ready:" in processes.log("sim"), 10):
        sys.exit("FAIL: the simulator did not start:\n" + processes.log("sim"))


def start_desktop(processes, runtime):
    """Xvfb, a session bus and the accessibility bus beside it, as a desktop session has."""
    # The X server's socket folder is this mount namespace's own, so display :0 is ours alone
    # and no lock file in the host's /tmp is needed; a cookie keeps out anyone else's clients.
    os.makedirs(X_SOCKETS, mode=0o1777, exist_ok=True)
    sh("mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", X_SOCKETS)
    os.environ["XAUTHORITY"] = os.path.join(runtime, "Xauthority")
    open(os.environ["XAUTHORITY"], "w").close()
    sh("xauth", "-q", "add", ":0", ".", secrets.token_hex(16))
    read_end, write_end = os.pipe()
    processes.start("xvfb", ["Xvfb", ":0", "-displayfd", str(write_end), "-nolock",
                             "-auth", os.environ["XAUTHORITY"], "-nolisten", "tcp",
                             "-screen", "0", "1024x768x24"], pass_fds=(write_end,))
    os.close(write_end)
    with os.fdopen(read_end) as ready:  # the display's number, once it takes clients
        if not ready.readline().strip():
            sys.exit("FAIL: Xvfb did not start:\n" + processes.log("xvfb"))
    os.environ["DISPLAY"] = ":0"
    os.environ["XDG_RUNTIME_DIR"] = runtime
    bus = processes.start("dbus", ["dbus-daemon", "--session", "--nofork", "--print-address=1",
                                   "--address=unix:path=" + os.path.join(runtime, "bus")],
                          stdout=subprocess.PIPE, text=True)
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
    processes.start("at-spi-bus-launcher", [LAUNCHER, "--launch-immediately"])
    # Asked without activation, so that the bus does not start a launcher of its own.
    owned = lambda: "true" in subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"],
        capture_output=True, text=True).stdout
    if not wait_for(owned, 10):
        sys.exit("FAIL: the accessibility bus did not come up:\n" +
                 processes.log("at-spi-bus-launcher"))


def drive_dialog(pid):
    import pyatspi  # only now: it finds the buses through the environment set above

    def application():
        for app in pyatspi.Registry.getDesktop(0):
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                pass  # an application that went away while we looked
        return None

    app = wait_for(application, 30)
    if not check(app is not None, "the dialog never appeared on the accessibility bus"):
        return
    named = lambda name: pyatspi.findDescendant(app, lambda a: a.name == name)

    devices = wait_for(lambda: named("Indicators"), 10)
    if not check(devices is not None, "no control is named \"Indicators\""):
        return
    table = devices.queryTable()
    check(wait_for(lambda: table.nRows == DEVICES, 10),
          f"the list shows {table.nRows} rows, not {DEVICES}")
    headings = [table.getColumnHeader(c).name for c in range(table.nColumns)]
    check(headings[:2] == ["IP-Addr", "Hostname"], f"column headings {headings}")
    hosts = sorted(table.getAccessibleAt(r, 1).name for r in range(table.nRows))
    check(hosts == [f"scale-{n}" for n in range(1, DEVICES + 1)], f"host names {hosts}")

    fields = {}  # label's name -> the field it labels
    for field in pyatspi.findAllDescendants(app, lambda a: a.getRole() == pyatspi.ROLE_TEXT):
        for relation in field.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                fields[relation.getTarget(0).name] = field
    check(sorted(fields) == sorted(FIELDS), f"labelled fields {sorted(fields)}")
    for label, field in fields.items():
        check(field.name == label, f"the field labelled {label!r} is named {field.name!r}")

    ping = named("Ping")
    enabled = lambda: ping.getState().contains(pyatspi.STATE_ENABLED)
    check(ping is not None and not enabled(), "Ping is enabled with no row selected")
    if ping is None or len(fields) != len(FIELDS) or table.nRows < 2:
        return

    check(table.addRowSelection(1), "the list refused to select its second row")
    host = table.getAccessibleAt(1, 1).name
    number = int(host.rsplit("-", 1)[1])
    serial = f"SIM{SERIAL_BASE + number:06d}"
    text = lambda label: fields[label].queryText().getText(0, -1)
    check(wait_for(lambda: text("Serial number") == serial, 5),
          f"Serial number shows {text('Serial number')!r}, not {serial!r} of {host}")
    check(text("Model name") == "VI-100", f"Model name shows {text('Model name')!r}")
    check(text("Model number") == "100", f"Model number shows {text('Model number')!r}")
    guid = f"5e71a100-7e5a-4c1d-9b3f-{SERIAL_BASE + number:012x}"
    check(guid in text("GUID"), f"GUID shows {text('GUID')!r}, not {guid}")
    check(table.isRowSelected(1) and not table.isRowSelected(0), "the second row is not selected")
    check(wait_for(enabled, 5), "Ping is not enabled after selecting a row")
    print(f"second row {host}: " + ", ".join(f"{label} {text(label)!r}" for label in FIELDS))


def main():
    build = os.path.abspath(sys.argv[1])
    if os.environ.get(INSIDE) != "1":
        enter_namespaces(build)
    logs = tempfile.mkdtemp(prefix="tvatspi-")
    runtime = os.path.join(logs, "runtime")
    os.mkdir(runtime, 0o700)
    processes = Processes(logs)
    try:
        build_network(processes, build)
        start_desktop(processes, runtime)
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        dialog = processes.start("tarovue", [os.path.join(build, "tarovue")], env=env)
        drive_dialog(dialog.pid)
        check(dialog.poll() is None, f"the dialog ended with status {dialog.returncode}")
        if failures:
            for name in ("tarovue", "sim", "xvfb", "at-spi-bus-launcher"):
                print(f"--- {name}:\n{processes.log(name)}", file=sys.stderr)
    finally:
        processes.stop_all()
        shutil.rmtree(logs, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # as process 1, only a handler stops us
    sys.exit(main())
