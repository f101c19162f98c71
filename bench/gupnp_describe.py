#!/usr/bin/python3
"""Discovery with descriptions by GUPnP, a third-party control point: how long it takes until
COUNT distinct devices are described. Usage: gupnp_describe.py INTERFACE COUNT TIMEOUT [TARGET]
Prints "gupnp: t=S UDN" per device described (S from the first search), then one line
"gupnp: described=K seconds=S" (S to the COUNT-th device, or to TIMEOUT when fewer were
described). Exits with status 77 when GUPnP 1.6 is not installed."""
import sys
import time

import gi

try:
    gi.require_version("GSSDP", "1.6")
    gi.require_version("GUPnP", "1.6")
    from gi.repository import GLib, GSSDP, GUPnP  # noqa: E402
except (ValueError, ImportError) as e:
    print(f"gupnp: missing: {e}", flush=True)
    sys.exit(77)

iface, count, timeout = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
target = sys.argv[4] if len(sys.argv) > 4 else "urn:schemas-velmorant-com:device:indicator:1"

context = GUPnP.Context.new_full(iface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
control_point = GUPnP.ControlPoint.new(context, target)
described = set()
loop = GLib.MainLoop()
state = {"end": None}


def available(_control_point, proxy):
    # The signal comes only after the description was fetched and parsed.
    udn = proxy.get_udn()
    if udn in described:
        return
    described.add(udn)
    print(f"gupnp: t={time.monotonic() - start:.6f} {udn}", flush=True)
    if len(described) >= count and state["end"] is None:
        state["end"] = time.monotonic()
        loop.quit()


control_point.connect("device-proxy-available", available)
start = time.monotonic()
control_point.set_active(True)
GLib.timeout_add(int(timeout * 1000), loop.quit)
loop.run()
end = state["end"] if state["end"] is not None else time.monotonic()
print(f"gupnp: described={len(described)} seconds={end - start:.6f}", flush=True)
