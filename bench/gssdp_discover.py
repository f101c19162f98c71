#!/usr/bin/python3
"""SSDP-only discovery by GSSDP, a third-party client: how long its resource browser takes
to see COUNT distinct devices. Usage: gssdp_discover.py INTERFACE COUNT TIMEOUT [TARGET]
Prints one line: "gssdp: seen=K seconds=S" (S from the first search to the
COUNT-th device, or to TIMEOUT when fewer were seen)."""
import sys
import time

import gi

gi.require_version("GSSDP", "1.6")
from gi.repository import GLib, GSSDP  # noqa: E402

iface, count, timeout = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
target = sys.argv[4] if len(sys.argv) > 4 else "urn:schemas-velmorant-com:device:indicator:1"

client = GSSDP.Client.new_full(iface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
browser = GSSDP.ResourceBrowser.new(client, target)
# The same MX as Tarovue's searches, so that the devices spread their answers alike.
browser.set_mx(100)
seen = set()
loop = GLib.MainLoop()
state = {"end": None}


def available(_browser, usn, _locations):
    seen.add(usn)
    if len(seen) >= count and state["end"] is None:
        state["end"] = time.monotonic()
        loop.quit()


browser.connect("resource-available", available)
start = time.monotonic()
browser.set_active(True)
GLib.timeout_add(int(timeout * 1000), loop.quit)
loop.run()
end = state["end"] if state["end"] is not None else time.monotonic()
print(f"gssdp: seen={len(seen)} seconds={end - start:.6f}", flush=True)
