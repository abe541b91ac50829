#!/usr/bin/python3
"""Publishes one DNS-SD service over mDNS until SIGTERM, for the discovery tests.

    mdns_publish.py [--late] ADDRESS TYPE NAME PORT [KEY[=VALUE]...]

Sends and hears mDNS on ADDRESS only, so on that link and nowhere else. Prints "published"
once the service is registered. With --late the service has no address until SIGUSR1, and
from then on browsing no longer finds it: only a resolution already under way can finish.
"""

import signal
import socket
import sys

from zeroconf import IPVersion, ServiceInfo, Zeroconf

late = "--late" in sys.argv
address, kind, name, port, *txt = [a for a in sys.argv[1:] if a != "--late"]
# A key without '=' is a boolean attribute in DNS-SD: no value at all.
properties = {k: (v if sep else None) for k, sep, v in (t.partition("=") for t in txt)}
# Blocked before zeroconf's threads start: a SIGTERM that comes early waits for sigwait and
# still unregisters cleanly.
signals = {signal.SIGTERM, signal.SIGINT, signal.SIGUSR1}
signal.pthread_sigmask(signal.SIG_BLOCK, signals)
info = ServiceInfo(kind, f"{name}.{kind}", addresses=[] if late else [socket.inet_aton(address)],
                   port=int(port), properties=properties,
                   server="knobly-" + address.replace(".", "-") + ".local.")
zc = Zeroconf(interfaces=[address], ip_version=IPVersion.V4Only)
try:
    zc.register_service(info)
    print("published", flush=True)
    hidden = None
    while signal.sigwait(signals) == signal.SIGUSR1:
        info.addresses = [socket.inet_aton(address)]
        # No more answers to browsing: the registry's index by type (zeroconf 0.47 and 0.147)
        # forgets the type, while its index by name still answers the resolution.
        hidden = zc.registry.types.pop(kind.lower(), hidden)
        print("resolvable", flush=True)
    if hidden is not None:
        zc.registry.types[kind.lower()] = hidden
    # The goodbye packets tell browsers the service is gone, rather than letting it age out.
    zc.unregister_service(info)
finally:
    zc.close()
