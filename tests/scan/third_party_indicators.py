#!/usr/bin/python3
"""Three indicators played by third-party servers: GSSDP's resource group announces them and
answers searches, Python's http.server serves their descriptions. Nothing of Tarovue or of
its simulator is involved. Prints "ready" once both run, then serves until SIGTERM or SIGINT.
GSSDP announces at start and then every MAX_AGE / 3 - 1 seconds (default max-age 1800).
Usage: third_party_indicators.py INTERFACE ADDRESS HTTP_PORT [MAX_AGE]"""
import http.server
import signal
import sys
import threading

import gi

gi.require_version("GSSDP", "1.6")
from gi.repository import GLib, GSSDP  # noqa: E402

DEVICE_TYPE = "urn:schemas-velmorant-com:device:indicator:1"
DEVICES = [  # host name, model name, model number, serial number
    ("hall-a", "TP-300", "300", "TP0001"),
    ("hall-b", "TP-310", "310", "TP0002"),
    ("yard", "TP-900", "900", "TP0003"),
]

iface, address, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
max_age = int(sys.argv[4]) if len(sys.argv) > 4 else 1800


def udn(n):
    return "uuid:7b3c9e10-0000-4000-8000-%012d" % n


def description(n):
    host, model, number, serial = DEVICES[n - 1]
    return (
        '<?xml version="1.0"?>\n<root xmlns="urn:schemas-upnp-org:device-1-0">\n<device>\n'
        f"<deviceType>{DEVICE_TYPE}</deviceType>\n<friendlyName>Indicator {host}</friendlyName>\n"
        f'<modelDescription>Indicator "{host}"</modelDescription>\n<modelName>{model}</modelName>\n'
        f"<modelNumber>{number}</modelNumber>\n<serialNumber>{serial}</serialNumber>\n"
        f"<UDN>{udn(n)}</UDN>\n<presentationURL>http://{address}:{port}/{n}/</presentationURL>\n"
        "</device>\n</root>\n"
    ).encode()


class Descriptions(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        parts = self.path.strip("/").split("/")
        if len(parts) == 2 and parts[1] == "description.xml" and parts[0] in ("1", "2", "3"):
            body = description(int(parts[0]))
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
        else:
            self.send_error(404)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer((address, port), Descriptions)
threading.Thread(target=server.serve_forever, daemon=True).start()

client = GSSDP.Client.new_full(iface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
group = GSSDP.ResourceGroup.new(client)
group.set_max_age(max_age)
for n in range(1, len(DEVICES) + 1):
    group.add_resource_simple(DEVICE_TYPE, f"{udn(n)}::{DEVICE_TYPE}",
                              f"http://{address}:{port}/{n}/description.xml")
group.set_available(True)

loop = GLib.MainLoop()
for sig in (signal.SIGTERM, signal.SIGINT):
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
print("ready", flush=True)
loop.run()
group.set_available(False)
server.shutdown()
