#!/usr/bin/python3
"""Shows Nightwick at work where there is no desktop, and saves two pictures of it.

    scripts/demo.py PROGRAM OUTPUT-FOLDER

Starts a virtual X display (Xvfb), private system and session buses with python3-dbusmock's
logind and UPower on the system bus and a Magic Mouse 2 at 8 % on it, then the real agent as a
user starts it by hand (its settings window opens), then a shutdown as logind announces it (the
reminder card shows). It saves settings.png and reminder-card.png in OUTPUT-FOLDER, prints their
paths, stops everything it started and exits 0. Nothing touches the user's own settings, login
items or buses: the agent's home and configuration folders are a temporary folder.
"""
import os
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
BUS_CONFIG = os.path.join(HERE, '..', 'tests', 'support', 'private-bus.conf')
MOCK = 'org.freedesktop.DBus.Mock'


def wait_for(condition, what, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    raise RuntimeError(f'gave up waiting for {what}')


def first_line(process, what):
    line = process.stdout.readline().decode().strip()
    if not line:
        raise RuntimeError(f'{what} did not start')
    return line


def windows(display):
    """(title, id, width, height) of every window xwininfo lists on the display."""
    listing = subprocess.run(['xwininfo', '-display', display, '-root', '-tree'],
                             capture_output=True, text=True, check=True).stdout
    found = []
    for line in listing.splitlines():
        fields = line.split('"')
        if len(fields) < 3 or 'x' not in line.rsplit(None, 2)[-2]:
            continue
        size = line.rsplit(None, 2)[-2].split('+')[0]
        width, height = (int(n) for n in size.split('x'))
        found.append((fields[1], fields[0].strip(), width, height))
    return found


def grab(display, window):
    """The window's own picture through xwd, as (width, height, PNG rows of RGB), or None once
    the window is gone. Read from the root window instead, a window of another depth (the card's)
    would come out black."""
    taken = subprocess.run(['xwd', '-id', window, '-silent', '-display', display],
                           capture_output=True)
    if taken.returncode != 0:
        return None
    dump = taken.stdout
    header = struct.unpack('>25I', dump[:100])
    header_size, width, height, bytes_per_line = header[0], header[4], header[5], header[12]
    order = 'little' if header[7] == 0 else 'big'
    size = header[11] // 8  # bytes a pixel
    masks = header[14:17]
    pixels = dump[header_size + 12 * header[19]:]
    rows = bytearray()
    for row in range(height):
        rows.append(0)  # no filter
        start = row * bytes_per_line
        for at in range(start, start + size * width, size):
            value = int.from_bytes(pixels[at:at + size], order)
            for mask in masks:
                shift = (mask & -mask).bit_length() - 1
                rows.append((value & mask) >> shift)
    return width, height, bytes(rows)


RED, TEXT = (255, 69, 59), (235, 235, 235)  # the level's red and the words' light grey


def vividness(picture):
    """How many pixels show the red and the light grey at full strength."""
    width, _, rows = picture
    counts = [0, 0]
    stride = 1 + 3 * width
    for start in range(0, len(rows), stride):
        row = rows[start + 1:start + stride]
        for at in range(0, len(row), 3):
            pixel = row[at:at + 3]
            for which, colour in enumerate((RED, TEXT)):
                if sum(abs(a - b) for a, b in zip(pixel, colour)) < 24:
                    counts[which] += 1
    return tuple(counts)


def most_vivid(display, window, seconds):
    """Of the window's pictures over the next seconds, the one painted, faded in, with its bar
    lit and its cursor on, however late a busy machine ran the animations."""
    pictures = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        picture = grab(display, window)
        if picture is None:
            break
        pictures.append(picture)
        time.sleep(0.1)
    if not pictures:
        raise RuntimeError('the window went before its picture was taken')
    return max(pictures, key=vividness)


def save_png(picture, path):
    width, height, rows = picture

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))

    with open(path, 'wb') as png:
        png.write(b'\x89PNG\r\n\x1a\n'
                  + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
                  + chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))


def main(program, output):
    output = os.path.abspath(output)
    os.makedirs(output, exist_ok=True)
    started = []
    scratch = tempfile.TemporaryDirectory(prefix='nightwick-demo-')

    def start(arguments, **options):
        process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, **options)
        started.append(process)
        return process

    try:
        xvfb = start(['Xvfb', '-displayfd', '1', '-nolisten', 'tcp', '-screen', '0',
                      '1280x800x24'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        display = ':' + first_line(xvfb, 'Xvfb')
        addresses = {}
        for kind in ('system', 'session'):
            daemon = start(['dbus-daemon', '--config-file=' + BUS_CONFIG, '--nofork',
                            '--print-address=1'], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
            addresses[kind] = first_line(daemon, 'dbus-daemon')
        home = scratch.name
        environment = {key: value for key, value in os.environ.items()
                       if not key.startswith(('XDG_', 'DBUS_', 'WAYLAND', 'SESSION_MANAGER',
                                              'DESKTOP_AUTOSTART', 'QT_'))}
        environment.update(DISPLAY=display, HOME=home,
                           DBUS_SYSTEM_BUS_ADDRESS=addresses['system'],
                           DBUS_SESSION_BUS_ADDRESS=addresses['session'],
                           XDG_CONFIG_HOME=os.path.join(home, 'config'),
                           XDG_DATA_HOME=os.path.join(home, 'data'),
                           XDG_RUNTIME_DIR=home)

        system = dbus.bus.BusConnection(addresses['system'])
        for template, name in (('logind', 'org.freedesktop.login1'),
                               ('upower', 'org.freedesktop.UPower')):
            start(['/usr/bin/python3', '-m', 'dbusmock', '--system', '--template', template],
                  env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: system.name_has_owner(name), name)
        upower = system.get_object('org.freedesktop.UPower', '/org/freedesktop/UPower')
        mouse = upower.AddDischargingBattery('mouse', 'Magic Mouse 2', 8.0, dbus.Int64(3600),
                                             dbus_interface=MOCK)
        upower.SetDeviceProperties(dbus.ObjectPath(mouse), {'Type': dbus.UInt32(5)},
                                   dbus_interface=MOCK)
        print('A Magic Mouse 2 at 8 %, not charging, on a private system bus; the agent reminds '
              'at 10 % and below.')

        agent = start([program], env=environment, stdout=subprocess.DEVNULL)
        settings = wait_for(lambda: [w for w in windows(display)
                                     if w[0] == 'Nightwick' and w[2] == 560],
                            'the settings window')[0]
        settings_png = os.path.join(output, 'settings.png')
        save_png(most_vivid(display, settings[1], 1.5), settings_png)
        print('Started by hand, the agent opened its settings window: ' + settings_png)

        login1 = system.get_object('org.freedesktop.login1', '/org/freedesktop/login1')
        login1.EmitSignal('org.freedesktop.login1.Manager', 'PrepareForShutdown', 'b', [True],
                          dbus_interface=MOCK)
        card = wait_for(lambda: [w for w in windows(display)
                                 if w[0].startswith('nightwick') and w[2] == 560],
                        'the reminder card')[0]
        card_png = os.path.join(output, 'reminder-card.png')
        save_png(most_vivid(display, card[1], 2.5), card_png)  # well within the card's 4 s
        print('At the shutdown logind announced, it showed the reminder card: ' + card_png)

        agent.terminate()  # as the system ends every program at shutdown
        agent.wait(timeout=10)
        print(f'The card held the shutdown back until it closed; the agent then ended '
              f'(status {agent.returncode}).')
    finally:
        for process in reversed(started):
            if process.poll() is None:
                process.kill()
            process.wait()
        scratch.cleanup()
    return 0


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
