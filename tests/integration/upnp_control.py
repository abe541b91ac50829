#!/usr/bin/python3
"""A small UPnP control point (plain SOAP and GENA over http.client), and a launcher for
Rygel's playbin renderer, for the event tests.

    upnp_control.py rygel-start DIR PORT     Rygel in the background; prints its LOCATION
    upnp_control.py rygel-stop DIR
    upnp_control.py LOCATION volume N | mute 0|1 | get-volume | get-mute | transport-state
    upnp_control.py LOCATION play [URI [--title T] [--artist A] [--album B]] | pause | stop
    upnp_control.py LOCATION events [--seconds N]

`play URI` sets the URI (with DIDL-Lite metadata when a title is given), then plays; `play`
alone resumes. `events` subscribes to RenderingControl and AVTransport and prints one JSON
object a line: {"kind": "subscribed", ...} for each, then {"kind": "notify", ...} for each
NOTIFY, with the raw body and the LastChange text already taken out of it. It unsubscribes
after N seconds (default 30) or on SIGTERM/SIGINT.

An action exits 0 on HTTP 200; otherwise it prints the status and body to stderr and exits 1.
Nothing but the two rygel-* commands knows Rygel, so the rest drives knobly-devicesim or
any other renderer as well (IPv4 LOCATIONs; use the IP literal, not a name).
"""

import http.client
import http.server
import json
import math
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import wave
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

RC = "urn:schemas-upnp-org:service:RenderingControl:"
AVT = "urn:schemas-upnp-org:service:AVTransport:"
DEVICE_NS = "{urn:schemas-upnp-org:device-1-0}"
TIMEOUT = 5


class Failure(Exception):
    pass


# --- HTTP ----------------------------------------------------------------------------------

def request(method, url, body=b"", headers=None):
    """One request; returns (status, response, body). The Host header is the URL's own host,
    an IP literal when the LOCATION is one: GUPnP servers refuse a name there."""
    u = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(u.hostname, u.port or 80, timeout=TIMEOUT)
    try:
        path = u.path or "/"
        if u.query:
            path += "?" + u.query
        conn.request(method, path, body, headers or {})
        r = conn.getresponse()
        return r.status, r, r.read()
    except OSError as e:
        raise Failure(f"{method} {url}: {e}") from e
    finally:
        conn.close()


def services(location):
    """{service type: (control URL, event URL)} for every service of every device."""
    status, _, body = request("GET", location)
    if status != 200:
        raise Failure(f"GET {location}: HTTP {status}\n{body.decode(errors='replace')}")
    root = ET.fromstring(body)
    base = (root.findtext(DEVICE_NS + "URLBase") or "").strip() or location
    found = {}
    for s in root.iter(DEVICE_NS + "service"):
        stype = (s.findtext(DEVICE_NS + "serviceType") or "").strip()
        found[stype] = tuple(urllib.parse.urljoin(base, (s.findtext(DEVICE_NS + tag) or "").strip())
                             for tag in ("controlURL", "eventSubURL"))
    return found


def service(location, prefix):
    """(type, control URL, event URL) of the first service whose type starts with prefix."""
    for stype, (control, event) in services(location).items():
        if stype.startswith(prefix):
            return stype, control, event
    raise Failure(f"{location} lists no {prefix}* service")


def soap(location, prefix, action, args):
    """Calls action; returns the response's out arguments as {name: text}."""
    stype, control, _ = service(location, prefix)
    inner = "".join(f"<{k}>{escape(str(v))}</{k}>" for k, v in args)
    body = ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            f'<u:{action} xmlns:u="{stype}">{inner}</u:{action}></s:Body></s:Envelope>')
    status, _, answer = request("POST", control, body.encode(),
                                {"Content-Type": 'text/xml; charset="utf-8"',
                                 "SOAPAction": f'"{stype}#{action}"'})
    if status != 200:
        raise Failure(f"{action}: HTTP {status}\n{answer.decode(errors='replace')}")
    out = {}
    for el in ET.fromstring(answer).iter():
        if el.tag.endswith("Response"):
            out = {child.tag.rpartition("}")[2]: child.text or "" for child in el}
    return out


def didl(uri, title, artist, album):
    """One item's DIDL-Lite, the way control points describe a track they hand over."""
    parts = [f"<dc:title>{escape(title)}</dc:title>"]
    if artist:
        parts.append(f"<upnp:artist>{escape(artist)}</upnp:artist>")
    if album:
        parts.append(f"<upnp:album>{escape(album)}</upnp:album>")
    parts.append("<upnp:class>object.item.audioItem.musicTrack</upnp:class>")
    parts.append(f'<res protocolInfo="*:*:audio/wav:*">{escape(uri)}</res>')
    return ('<DIDL-Lite xmlns="urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/" '
            'xmlns:dc="http://purl.org/dc/elements/1.1/" '
            'xmlns:upnp="urn:schemas-upnp-org:metadata-1-0/upnp/">'
            f'<item id="knobly-test" parentID="-1" restricted="1">{"".join(parts)}</item></DIDL-Lite>')


# --- events ----------------------------------------------------------------------------------

def last_change(body):
    """The LastChange text of a propertyset, entities decoded once, or None."""
    try:
        root = ET.fromstring(body)
    except ET.ParseError:
        return None
    for el in root.iter():
        if el.tag.rpartition("}")[2] == "LastChange":
            return el.text or ""
    return None


def events(location, seconds):
    lock = threading.Lock()

    def emit(obj):
        with lock:
            print(json.dumps(obj), flush=True)

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_NOTIFY(self):
            body = self.read_body()
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()
            # Named by the callback path: the first NOTIFY may come before SUBSCRIBE's answer.
            emit({"kind": "notify", "service": self.path.strip("/"), "at": time.time(),
                  "sid": self.headers.get("SID"), "seq": self.headers.get("SEQ"),
                  "headers": dict(self.headers),
                  "lastChange": last_change(body), "body": body.decode("utf-8", errors="replace")})

        def read_body(self):
            if "chunked" not in self.headers.get("Transfer-Encoding", "").lower():
                return self.rfile.read(int(self.headers.get("Content-Length") or 0))
            chunks = []
            while size := int(self.rfile.readline().split(b";")[0].strip() or b"0", 16):
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            while self.rfile.readline().strip():
                pass  # trailers
            return b"".join(chunks)

        def log_message(self, *args):
            pass

    targets = [service(location, prefix) for prefix in (RC, AVT)]
    # Listen on the (IPv4) address that reaches the device, so the callback is one it can reach.
    u = urllib.parse.urlsplit(location)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.connect((u.hostname, u.port or 80))
        local = probe.getsockname()[0]
    server = http.server.ThreadingHTTPServer((local, 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    sids = []
    try:
        for stype, _, event_url in targets:
            name = stype[len("urn:schemas-upnp-org:service:"):]
            status, r, body = request("SUBSCRIBE", event_url, headers={
                "CALLBACK": f"<http://{local}:{port}/{name.split(':')[0]}>",
                "NT": "upnp:event", "TIMEOUT": f"Second-{max(int(seconds) + 60, 300)}"})
            sid = r.getheader("SID") if status == 200 else None
            if not sid:
                raise Failure(f"SUBSCRIBE {event_url}: HTTP {status}\n{body.decode(errors='replace')}")
            sids.append((event_url, sid))
            emit({"kind": "subscribed", "service": name.split(":")[0], "type": stype, "sid": sid,
                  "timeout": r.getheader("TIMEOUT"), "at": time.time()})
        stop.wait(seconds)
    finally:
        for event_url, sid in sids:
            try:
                request("UNSUBSCRIBE", event_url, headers={"SID": sid})
            except Failure:
                pass  # the device may be gone already
        server.shutdown()


# --- Rygel -----------------------------------------------------------------------------------

RYGEL_UUID = "6b1f2c9e-0000-4000-8000-000000000001"


def only_loopback():
    """Why Rygel may not start here (it announces itself over SSDP), or None."""
    try:
        if os.stat("/proc/self/ns/net").st_ino == os.stat("/proc/1/ns/net").st_ino:
            return "this is the machine's own network namespace"
    except OSError:
        pass  # no /proc/1 to compare with: the interface list below still decides
    with open("/proc/self/net/dev") as f:
        names = [line.split(":")[0].strip() for line in f.readlines()[2:]]
    others = [n for n in names if n != "lo"]
    return f"interfaces other than lo: {', '.join(others)}" if others else None


def write_tone(path, seconds=120):
    """A quiet 400 Hz tone, long enough that playback never ends during a test."""
    rate = 8000
    period = bytes(128 + int(20 * math.sin(2 * math.pi * i / 20)) for i in range(20))
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(1)
        w.setframerate(rate)
        w.writeframes(period * (rate * seconds // 20))


def rygel_config(port):
    # Every plugin that reads the machine's media or services is off; /etc/rygel.conf is
    # still read for whatever this file leaves out. Sinks sync to the clock, or the tone
    # would play out at once.
    off = ["MediaExport", "MPRIS", "External", "Tracker", "Tracker3", "LMS", "GstLaunch",
           "Ruih", "Test"]
    return "\n".join([
        "[general]", "ipv6=false", "interface=lo", f"port={port}", "enable-transcoding=false",
        "allow-upload=false", "allow-deletion=false", "acl-fallback-policy=true", "log-level=*:4",
        "", *(f"[{name}]\nenabled=false\n" for name in off),
        "[Playbin]", "enabled=true", "title=Knobly test renderer", f"uuid={RYGEL_UUID}",
        "audio-sink=fakesink sync=true", "video-sink=fakesink sync=true", ""])


def rygel_start(directory, port, limit=20.0):
    why = only_loopback()
    if why:
        raise Failure(f"will not start Rygel: {why}; run it in a network namespace of its own")
    directory = os.path.abspath(directory)
    env = dict(os.environ)
    for var, sub in (("XDG_CONFIG_HOME", "config"), ("XDG_CACHE_HOME", "cache"),
                     ("XDG_DATA_HOME", "data"), ("HOME", "home")):
        os.makedirs(os.path.join(directory, sub), exist_ok=True)
        env[var] = os.path.join(directory, sub)
    env["LC_ALL"] = "C.UTF-8"  # its log speaks UTF-8
    for var in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(var, None)
    # Rygel 0.42.1 read $XDG_CONFIG_HOME/rygel.conf despite -c (a file elsewhere left
    # MediaExport on and IPv6 in use), so the one file sits where both ways find it.
    conf = os.path.join(env["XDG_CONFIG_HOME"], "rygel.conf")
    with open(conf, "w") as f:
        f.write(rygel_config(port))
    write_tone(os.path.join(directory, "tone.wav"))
    log_path = os.path.join(directory, "rygel.log")
    with open(log_path, "wb") as log:
        # A session of its own: rygel-stop ends dbus-run-session, its bus and Rygel together.
        proc = subprocess.Popen(["dbus-run-session", "--", "rygel", "-c", conf], env=env,
                                cwd=directory, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True)
    with open(os.path.join(directory, "rygel.pid"), "w") as f:
        f.write(f"{proc.pid}\n")
    location = f"http://127.0.0.1:{port}/{RYGEL_UUID}.xml"
    deadline = time.monotonic() + limit
    while True:
        if proc.poll() is not None:
            why = f"Rygel exited with {proc.returncode}"
            break
        try:
            if request("GET", location)[0] == 200:
                return location
        except Failure:
            pass
        if time.monotonic() >= deadline:
            why = f"no description at {location} after {limit:g} s"
            break
        time.sleep(0.1)
    rygel_stop(directory)
    with open(log_path, errors="replace") as f:
        tail = "".join(f.readlines()[-30:])
    raise Failure(f"{why}; the end of {log_path}:\n{tail}")


def group_alive(pgid):
    """Whether a process of the group still runs (zombies waiting for a reaper do not)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rpartition(")")[2].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            return True
    return False


def rygel_stop(directory, grace=5.0):
    try:
        with open(os.path.join(directory, "rygel.pid")) as f:
            pgid = int(f.read())
    except (OSError, ValueError):
        return
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            break
        deadline = time.monotonic() + grace
        while group_alive(pgid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if not group_alive(pgid):
            break
    os.unlink(os.path.join(directory, "rygel.pid"))


# --- command line ----------------------------------------------------------------------------

def options(words, names):
    """Splits --name VALUE pairs out of words; returns (rest, {name: value})."""
    rest, found = [], {}
    it = iter(words)
    for w in it:
        if w.startswith("--") and w[2:] in names:
            value = next(it, None)
            if value is None:
                raise Failure(f"{w} needs a value")
            found[w[2:]] = value
        else:
            rest.append(w)
    return rest, found


def main(argv):
    if len(argv) >= 2 and argv[0] == "rygel-start":
        if len(argv) != 3 or not argv[2].isdigit():
            raise Failure("usage: rygel-start DIR PORT")
        print(rygel_start(argv[1], int(argv[2])))
        return 0
    if len(argv) == 2 and argv[0] == "rygel-stop":
        rygel_stop(argv[1])
        return 0
    if len(argv) < 2:
        raise Failure(__doc__.strip())
    location, command, *rest = argv
    rest, opts = options(rest, {"title", "artist", "album", "seconds"})
    instance = [("InstanceID", 0)]
    if command == "volume" and len(rest) == 1 and rest[0].isdigit():
        soap(location, RC, "SetVolume", instance + [("Channel", "Master"), ("DesiredVolume", rest[0])])
    elif command == "mute" and rest in (["0"], ["1"]):
        soap(location, RC, "SetMute", instance + [("Channel", "Master"), ("DesiredMute", rest[0])])
    elif command == "get-volume" and not rest:
        print(soap(location, RC, "GetVolume", instance + [("Channel", "Master")])["CurrentVolume"])
    elif command == "get-mute" and not rest:
        print(soap(location, RC, "GetMute", instance + [("Channel", "Master")])["CurrentMute"])
    elif command == "transport-state" and not rest:
        print(soap(location, AVT, "GetTransportInfo", instance)["CurrentTransportState"])
    elif command == "play" and len(rest) <= 1:
        if rest:
            meta = didl(rest[0], opts["title"], opts.get("artist"), opts.get("album")) \
                if "title" in opts else ""
            soap(location, AVT, "SetAVTransportURI",
                 instance + [("CurrentURI", rest[0]), ("CurrentURIMetaData", meta)])
        soap(location, AVT, "Play", instance + [("Speed", "1")])
    elif command in ("pause", "stop") and not rest:
        soap(location, AVT, command.capitalize(), instance)
    elif command == "events" and not rest:
        events(location, float(opts.get("seconds", 30)))
    else:
        raise Failure(f"unknown command or arguments: {' '.join(argv[1:])}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Failure as e:
        print(f"upnp_control: {e}", file=sys.stderr)
        sys.exit(1)
