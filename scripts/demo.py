#!/usr/bin/python3
"""Shows Nightwick at work where there is no desktop, and saves two pictures of it.

    scripts/demo.py PROGRAM OUTPUT-FOLDER

Starts a virtual X display (Xvfb), private system and session buses with python3-dbusmock's
logind and UPower on the system bus and a Magic Mouse 2 at 8 % on it, then the real agent as a
user starts it by hand (its settings window opens), then again as at login, and announces a
shutdown as logind does (the reminder card shows). It saves settings.png and reminder-card.png in
OUTPUT-FOLDER, prints their paths, stops everything it started and exits 0. Nothing touches the
user's own settings, login items or buses: the agent's home and configuration folders are a
temporary folder.
"""
import os
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import dbus

# A throw-away bus with nobody else on it: every name may be owned and every message sent.
BUS_CONFIG = '''<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy></busconfig>'''
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


def dump(display, window):
    """The window's own picture as xwd writes it, or None once the window is gone. Read from the
    root window instead, a window of another depth (the card's) would come out black."""
    taken = subprocess.run(['xwd', '-id', window, '-silent', '-display', display],
                           capture_output=True)
    return taken.stdout if taken.returncode == 0 else None


def layout(picture):
    """The fields of an xwd picture's header that say where and how its pixels are stored."""
    header = struct.unpack('>25I', picture[:100])
    return dict(pixels=picture[header[0] + 12 * header[19]:], width=header[4], height=header[5],
                bytes_per_line=header[12], order='little' if header[7] == 0 else 'big',
                size=header[11] // 8, masks=header[14:17])


def colour_at(fields, at):
    """The red, green and blue of the pixel stored at byte `at`."""
    value = int.from_bytes(fields['pixels'][at:at + fields['size']], fields['order'])
    return [(value & mask) >> ((mask & -mask).bit_length() - 1) for mask in fields['masks']]


def vividness(picture):
    """How many pixels, of every fourth in every fourth row, show the level's red, then the
    words' light grey, at about full strength: the most once the window is painted and faded in,
    with its bar lit and its cursor on."""
    fields = layout(picture)
    size = fields['size']
    counts = [0, 0]
    for row in range(0, fields['height'], 4):
        start = row * fields['bytes_per_line']
        for at in range(start, start + size * fields['width'], 4 * size):
            pixel = colour_at(fields, at)
            for which, colour in enumerate(((255, 69, 59), (235, 235, 235))):
                counts[which] += sum(abs(a - b) for a, b in zip(pixel, colour)) < 24
    return tuple(counts)


def most_vivid(display, window, seconds):
    """Of the window's pictures over the next seconds, the most vivid, however late a busy
    machine ran the animations."""
    pictures = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        picture = dump(display, window)
        if picture is None:
            break
        pictures.append(picture)
        time.sleep(0.05)
    if not pictures:
        raise RuntimeError('the window went before its picture was taken')
    return max(pictures, key=vividness)


def save_png(picture, path):
    fields = layout(picture)
    width, height, size = fields['width'], fields['height'], fields['size']
    rows = bytearray()
    for row in range(height):
        rows.append(0)  # no filter
        start = row * fields['bytes_per_line']
        for at in range(start, start + size * width, size):
            rows.extend(colour_at(fields, at))

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))

    with open(path, 'wb') as png:
        png.write(b'\x89PNG\r\n\x1a\n'
                  + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
                  + chunk(b'IDAT', zlib.compress(bytes(rows), 9)) + chunk(b'IEND', b''))


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
        xvfb = start(['Xvfb', '-displayfd', '1', '-nolisten', 'tcp', '-noreset', '-screen',
                      '0', '1280x800x24'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        display = ':' + first_line(xvfb, 'Xvfb')
        addresses = {}
        bus_config = os.path.join(scratch.name, 'bus.conf')
        with open(bus_config, 'w') as out:
            out.write(BUS_CONFIG)
        for kind in ('system', 'session'):
            daemon = start(['dbus-daemon', '--config-file=' + bus_config, '--nofork',
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

        # Started again as at login, the agent shows nothing until the shutdown; the card then
        # stands alone on the screen, and a picture taken before it is painted shows no card.
        login1 = system.get_object('org.freedesktop.login1', '/org/freedesktop/login1')
        locks = lambda: login1.ListInhibitors(dbus_interface='org.freedesktop.login1.Manager')
        agent.terminate()
        agent.wait(timeout=10)
        wait_for(lambda: not locks(), "the end of the first agent's lock")
        agent = start([program, '--autostart'], env=environment, stdout=subprocess.DEVNULL)
        wait_for(locks, "the agent's lock on shutdown")
        login1.EmitSignal('org.freedesktop.login1.Manager', 'PrepareForShutdown', 'b', [True],
                          dbus_interface=MOCK)
        card = wait_for(lambda: [w for w in windows(display)
                                 if w[0].startswith('nightwick') and w[2] == 560],
                        'the reminder card')[0]
        card_png = os.path.join(output, 'reminder-card.png')
        save_png(most_vivid(display, card[1], 3.0), card_png)  # within the card's 4 s
        print('Started again as at login, at the shutdown logind announced it showed the '
              'reminder card: ' + card_png)

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
