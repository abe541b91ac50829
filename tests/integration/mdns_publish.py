#!/usr/bin/python3
"""Publishes one DNS-SD service over mDNS until SIGTERM, for the discovery tests.

Binds to one interface address only, so it is heard on that link and nowhere else.
Prints "published" once the service is registered.
"""

import argparse
import signal
import socket
import threading

from zeroconf import IPVersion, ServiceInfo, Zeroconf

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("--type", required=True,
                    choices=("_airplay._tcp.local.", "_googlecast._tcp.local.",
                             "_linkplay._tcp.local."))
parser.add_argument("--name", required=True, help="service instance name")
parser.add_argument("--address", required=True, help="IPv4 address the service is on")
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--txt", action="append", default=[], metavar="KEY=VALUE")
parser.add_argument("--interface-address", required=True,
                    help="the only local IPv4 address mDNS is sent and heard on")
args = parser.parse_args()
# A key without '=' is a boolean attribute in DNS-SD: no value at all.
properties = {k: (v if sep else None) for k, sep, v in (t.partition("=") for t in args.txt)}

stop = threading.Event()
# Set before registering: a SIGTERM that comes early still unregisters cleanly.
signal.signal(signal.SIGTERM, lambda *_: stop.set())
signal.signal(signal.SIGINT, lambda *_: stop.set())
info = ServiceInfo(args.type, f"{args.name}.{args.type}",
                   addresses=[socket.inet_aton(args.address)], port=args.port,
                   properties=properties,
                   server="knobly-" + args.address.replace(".", "-") + ".local.")
zc = Zeroconf(interfaces=[args.interface_address], ip_version=IPVersion.V4Only)
try:
    zc.register_service(info)
    print("published", flush=True)
    while not stop.wait(0.5):
        pass
    # The goodbye packets tell browsers the service is gone, rather than letting it age out.
    zc.unregister_service(info)
finally:
    zc.close()
