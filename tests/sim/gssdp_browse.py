#!/usr/bin/python3
"""Browses for indicators with GSSDP, a third-party SSDP client, and prints one line per
device found: "available USN LOCATION...". Usage: gssdp_browse.py INTERFACE SECONDS [TARGET]"""
import sys

import gi

gi.require_version("GSSDP", "1.6")
from gi.repository import GLib, GSSDP  # noqa: E402

iface, seconds = sys.argv[1], float(sys.argv[2])
target = sys.argv[3] if len(sys.argv) > 3 else "urn:schemas-velmorant-com:device:indicator:1"
client = GSSDP.Client.new_full(iface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
browser = GSSDP.ResourceBrowser.new(client, target)
browser.connect("resource-available",
                lambda _b, usn, locations: print("available", usn, *locations, flush=True))
browser.connect("resource-unavailable",
                lambda _b, usn: print("unavailable", usn, flush=True))
browser.set_active(True)
loop = GLib.MainLoop()
GLib.timeout_add(int(seconds * 1000), loop.quit)
loop.run()
