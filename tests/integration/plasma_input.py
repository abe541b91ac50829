#!/usr/bin/python3
# Real input for a KWin session through its org_kde_kwin_fake_input protocol: the one way to
# send what a touchpad sends (axis events with small fractional values and no wheel notches),
# which an X server under a nested KWin cannot produce. Speaks the Wayland wire format itself,
# so the test needs no compiled client. KWin must run with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1.
# Usage: plasma_input.py STEP... with steps
#   move X Y | click left|right|middle | axis vertical|horizontal VALUE | key EVDEV_CODE | sleep S
# A positive vertical axis value scrolls down (Wayland's sense), a wheel notch being 15.
import os, socket, struct, sys, time

BUTTONS = {'left': 0x110, 'right': 0x111, 'middle': 0x112}  # linux/input-event-codes.h
AXES = {'vertical': 0, 'horizontal': 1}


class Wayland:
    def __init__(self):
        path = os.environ.get('WAYLAND_DISPLAY', 'wayland-0')
        if not path.startswith('/'):
            path = os.path.join(os.environ['XDG_RUNTIME_DIR'], path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.next_id, self.buf = 2, b''  # 1 is wl_display

    def new_id(self):
        self.next_id += 1
        return self.next_id - 1

    def send(self, obj, opcode, fmt='', *args):
        body = b''
        for kind, value in zip(fmt, args):
            if kind in 'un':
                body += struct.pack('<I', value)
            elif kind == 'i':
                body += struct.pack('<i', value)
            elif kind == 'f':  # 24.8 fixed point
                body += struct.pack('<i', round(value * 256))
            elif kind == 's':
                raw = value.encode() + b'\0'
                body += struct.pack('<I', len(raw)) + raw + b'\0' * (-len(raw) % 4)
        self.sock.sendall(struct.pack('<II', obj, (8 + len(body)) << 16 | opcode) + body)

    def events(self):
        while True:
            while len(self.buf) >= 8:
                obj, word = struct.unpack_from('<II', self.buf)
                size = word >> 16
                if len(self.buf) < size:
                    break
                msg, self.buf = self.buf[:size], self.buf[size:]
                yield obj, word & 0xffff, msg[8:]
            data = self.sock.recv(65536)
            if not data:
                sys.exit('plasma_input: the compositor closed the connection')
            self.buf += data

    def roundtrip(self, on_event=lambda obj, op, body: None):
        done = self.new_id()
        self.send(1, 0, 'n', done)  # wl_display.sync
        for obj, op, body in self.events():
            if obj == done:
                return
            if obj == 1 and op == 0:  # wl_display.error
                oid, code = struct.unpack_from('<II', body)
                sys.exit(f'plasma_input: protocol error {code} on object {oid}: {body[12:-1]!r}')
            on_event(obj, op, body)


def string_at(body, offset):
    length = struct.unpack_from('<I', body, offset)[0]
    return body[offset + 4:offset + 4 + length - 1].decode(), offset + 4 + (length + 3) // 4 * 4


def main(steps):
    wl = Wayland()
    registry = wl.new_id()
    wl.send(1, 1, 'n', registry)  # wl_display.get_registry
    found = {}

    def on_global(obj, op, body):
        if obj == registry and op == 0:
            name = struct.unpack_from('<I', body)[0]
            interface, offset = string_at(body, 4)
            found[interface] = (name, struct.unpack_from('<I', body, offset)[0])

    wl.roundtrip(on_global)
    if 'org_kde_kwin_fake_input' not in found:
        sys.exit('plasma_input: the compositor offers no org_kde_kwin_fake_input')
    name, version = found['org_kde_kwin_fake_input']
    fake = wl.new_id()
    wl.send(registry, 0, 'usun', name, 'org_kde_kwin_fake_input', min(version, 4), fake)
    wl.send(fake, 0, 'ss', 'Knobly test', 'drives a test session')  # authenticate
    wl.roundtrip()
    it = iter(steps)
    for step in it:
        if step == 'move':
            wl.send(fake, 9, 'ff', float(next(it)), float(next(it)))
        elif step == 'click':
            code = BUTTONS[next(it)]
            wl.send(fake, 2, 'uu', code, 1)
            wl.roundtrip()
            wl.send(fake, 2, 'uu', code, 0)
        elif step == 'axis':
            wl.send(fake, 3, 'uf', AXES[next(it)], float(next(it)))
        elif step == 'key':
            code = int(next(it))
            wl.send(fake, 10, 'uu', code, 1)
            wl.roundtrip()
            wl.send(fake, 10, 'uu', code, 0)
        elif step == 'sleep':
            wl.roundtrip()
            time.sleep(float(next(it)))
        else:
            sys.exit(f'plasma_input: unknown step {step!r}')
        wl.roundtrip()


if __name__ == '__main__':
    main(sys.argv[1:])
