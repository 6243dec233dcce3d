#!/usr/bin/python3
# The real upowerd over a simulated sysfs (umockdev) on a private system bus, as UPower's own
# integration test runs it, and the agent's readers (NW_PROBE) over the same tree: the
# agent reads the mouse upowerd reports, and its sysfs reader, which answers where UPower is not
# running, reads the same. Exit status 77: upowerd, umockdev or python3-dbusmock is missing.

import contextlib
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

UPOWERD, UPOWER = '/usr/libexec/upowerd', 'org.freedesktop.UPower'
PRELOAD = 'libumockdev-preload.so.0'
# A uevent reads its device from the testbed, through umockdev's preload in this process too.
if PRELOAD not in os.environ.get('LD_PRELOAD', ''):
    os.environ['LD_PRELOAD'] = PRELOAD
    os.execv(sys.executable, [sys.executable] + sys.argv)
try:
    import dbus
    import dbusmock
    import gi
    gi.require_version('UMockdev', '1.0')
    from gi.repository import UMockdev
    assert os.access(UPOWERD, os.X_OK), 'no ' + UPOWERD
    assert 'umockdev-preload' in open('/proc/self/maps').read(), 'no ' + PRELOAD
except (ImportError, ValueError, AssertionError) as missing:  # upower, umockdev, its gir, dbusmock
    sys.exit(print('skipped:', missing, file=sys.stderr) or 77)

# The input device beside a battery: what udev's input_id marks, which upowerd goes by, and the
# capability bits (hex words, most significant first) the sysfs reader decides by instead.
INPUTS = {'mouse': ('MOUSE', 'ev=17;key=ff0000 0 0 0 0;rel=1943'),
          'magic': ('MOUSE', 'ev=f;key=30000 0 0 0 0;rel=1943;abs=273800000000000'),  # multitouch
          'keyboard': ('KEYBOARD', 'ev=120013;key=1000000000007 ff9f207ac14057ff '
                       'febeffdfffefffff fffffffffffffffe'),
          'touchpad': ('TOUCHPAD', 'ev=b;key=e520 10000 0 0 0 0;abs=273800000000003'),
          'keys': ('KEY', 'ev=13;key=c000000000000 0')}  # a few media keys


def device(n, via, percent, kind='magic', model='Magic Mouse 2', status='Discharging'):
    '''The n-th battery of a case and the devices above it, parents first, in umockdev's record
    format; with its path and whether an input device lies beside it.'''
    def usb(port):  # upowerd pairs a battery and an input device by their USB device
        return [(f'/devices/pci0000:00/0000:00:14.0/usb1/{port}', 'usb', ['DEVTYPE=usb_device']),
                (f'{port}:1.0', 'usb', ['DEVTYPE=usb_interface'], ['bInterfaceNumber=00'])]
    hid = (f'0005:05AC:0269.{n:04X}', 'hid')
    chain = {'bluetooth': usb('1-10') + [('bluetooth/hci0', 'bluetooth'),  # the adapter on USB
                                         (f'hci0:{n * 256}', 'bluetooth'), hid],
             'cable': usb(f'1-{n}') + [hid],  # its HID device straight on USB
             'receiver': usb('1-3') + [('0003:046D:C52B.0005', 'hid'), hid],
             'le': [('/devices/virtual/misc/uhid', 'misc'), hid],
             'acpi': [('/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0A:00', 'acpi')]}[via]
    records, path = [], ''

    def add(name, subsystem, properties=(), attributes=(), links=()):
        records.append(''.join(f'{letter}: {line}\n' for letter, lines in (
            ('P', [name]), ('E', ['SUBSYSTEM=' + subsystem, *properties]), ('A', attributes),
            ('L', links)) for line in lines))
    for name, *rest in chain:
        path = name if name.startswith('/') else f'{path}/{name}'
        add(path, *rest)
    parent = ['device=../../../' + path.split('/')[-1]]
    supply = f'{path}/power_supply/' + ('BAT0' if via == 'acpi' else f'hid-{n}-battery')
    add(supply, 'power_supply', [], ['type=Battery', 'present=1', f'status={status}',
        f'capacity={percent}', f'model_name={model}'] + ['scope=Device'] * (via != 'acpi'), parent)
    if kind:
        udev, bits = INPUTS[kind]
        add(f'{path}/input/input{n}', 'input', ['ID_INPUT=1', f'ID_INPUT_{udev}=1'],
            [f'name={model}', 'properties=0'] + ['capabilities/' + b for b in bits.split(';')],
            parent)
    return records, '/sys' + supply, bool(kind)


LAPTOP, KEYBOARD = ('acpi', 6, None, '5B10W13930'), ('bluetooth', 4, 'keyboard', 'Magic Keyboard')
CASES = [
    ('Magic Mouse 2 low over Bluetooth, beside a laptop battery', [LAPTOP, ('bluetooth', 8)], 8),
    ('mouse behind a Unifying receiver, discharging', [('receiver', 9, 'mouse', 'M705')], 9),
    ('named without "mouse", known by its input device', [('le', 40, 'mouse', 'MX Anywhere')], 40),
    ('a Magic Mouse renamed, known by its input device', [('bluetooth', 12, 'magic', 'Jo')], 12),
    ("a keyboard's lower battery ignored", [KEYBOARD, ('bluetooth', 60)], 60),
    ("a trackpad's lower battery ignored", [('bluetooth', 5, 'touchpad', 'Magic Trackpad 2'),
                                            ('bluetooth', 50)], 50),
    ('known by name alone, no input device', [('bluetooth', 30, None, 'Wireless Mouse')], 30),
    ('known by name alone, its input device no pointer',
     [('bluetooth', 31, 'keys', 'Wireless Mouse')], 31),
    ('on a USB interface but discharging: no cable', [('cable', 8)], 8),
    ('no mouse at all', [LAPTOP, KEYBOARD], None),
    ('same mouse over Bluetooth and on its cable',
     [('bluetooth', 8), ('cable', 8, 'magic', 'Magic Mouse 2', 'Charging')], '8 charging'),
] + [(f'battery says {status}', [('bluetooth', 40, 'mouse', 'M', status)], f'40 {reading}')
     for status, reading in [('Charging', 'charging'), ('Full', 'charging'),
                             ('Not charging', 'charging'), ('Empty', 'discharging')]]


class UPowerd(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.bus = cls.get_dbus(system_bus=True)

    def setUp(self):
        self.testbed = self.upowerd = None
        self.addCleanup(self.stop_upowerd)

    def new_testbed(self, devices=()):
        self.stop_upowerd()
        self.testbed = None  # gone before the next one sets UMOCKDEV_DIR
        self.testbed = UMockdev.Testbed.new()
        self.sysfs = self.testbed.get_root_dir() + '/sys/class/power_supply'
        self.batteries, added = {}, set()
        for n, description in enumerate(devices, 1):
            records, battery, self.batteries[battery] = device(n, *description)
            for text in records:
                if text not in added:  # the Bluetooth adapter, shared
                    self.assertTrue(self.testbed.add_from_string(text), text)
                    added.add(text)

    def start_upowerd(self):
        root = self.testbed.get_root_dir()
        open(root + '/UPower.conf', 'w').close()  # upowerd's defaults
        self.upowerd = subprocess.Popen([UPOWERD], stderr=subprocess.DEVNULL, env=dict(
            os.environ, UMOCKDEV_DIR=root, UPOWER_CONF_FILE_NAME=root + '/UPower.conf',
            UPOWER_HISTORY_DIR=root))
        self.wait_for_bus_object(UPOWER, '/org/freedesktop/UPower', system_bus=True, timeout=100)

    def stop_upowerd(self):
        if self.upowerd:
            self.upowerd.send_signal(signal.SIGCONT)  # a stopped one would not end
            self.upowerd.terminate()
            self.upowerd.wait(10)
            self.upowerd = None
            self.eventually(lambda: not self.bus.name_has_owner(UPOWER))

    def eventually(self, check):
        deadline = time.monotonic() + 10  # only against a hang
        while not check():
            self.assertLess(time.monotonic(), deadline, check)
            time.sleep(0.01)

    def settled(self):  # upowerd types a battery with an input device beside it a moment later
        with contextlib.suppress(dbus.exceptions.DBusException):
            upower = self.bus.get_object(UPOWER, '/org/freedesktop/UPower')
            types = [self.bus.get_object(UPOWER, path).Get(
                UPOWER + '.Device', 'Type', dbus_interface=dbus.PROPERTIES_IFACE)
                for path in upower.EnumerateDevices(dbus_interface=UPOWER)]
            return len(types) == len(self.batteries) and \
                types.count(2) == list(self.batteries.values()).count(False)  # 2: a battery
        return False

    def read(self, sysfs=None, fallback='/nonexistent'):
        environment = {key: value for key, value in os.environ.items()
                       if key not in ('LD_PRELOAD', 'UMOCKDEV_DIR')}
        return subprocess.run([os.environ['NW_PROBE'], 'battery', sysfs or self.sysfs, fallback],
                              env=environment, capture_output=True, text=True, check=True,
                              timeout=20).stdout.splitlines()

    def test_reads_the_mouse_as_upowerd_does(self):
        for name, devices, expected in CASES:
            with self.subTest(name):
                self.new_testbed(devices)
                self.start_upowerd()
                self.eventually(self.settled)
                reading = f'{expected} discharging' if type(expected) is int else expected
                self.assertEqual(self.read(), [reading or 'none'] * 3)

    def test_falls_back_to_sysfs_only_while_upowerd_cannot_answer(self):
        self.new_testbed()
        fallback = self.testbed.get_root_dir() + '/fallback'  # its own mouse tells who answered
        os.makedirs(fallback + '/m')
        for name, value in [('scope', 'Device'), ('capacity', '77'), ('model_name', 'Mouse')]:
            pathlib.Path(fallback, 'm', name).write_text(value)
        steps = [(None, '77 discharging'), ('start', 'none'),  # no devices is an answer
                 (signal.SIGSTOP, '77 discharging'),  # keeps its name, answers nothing: hung
                 ('stop', '77 discharging'), ('start', 'none')]
        self.assertEqual(self.read('/nonexistent')[:2], ['none'] * 2)  # nothing anywhere
        for step, expected in steps:
            if step == 'start':
                self.start_upowerd()
            elif step == 'stop':
                self.stop_upowerd()
            elif step:
                self.upowerd.send_signal(step)
            self.assertEqual(self.read(fallback=fallback)[:2], [expected] * 2, step)


    def test_reads_what_a_broken_tree_holds_as_absent(self):
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        mouse = {'scope': 'Device', 'model_name': 'Mouse'}
        fifo, folder = object(), object()  # a FIFO would block a read that waits for a writer
        for name, attributes in enumerate([
                {**mouse, 'capacity': fifo}, {**mouse, 'capacity': folder},
                {**mouse, 'capacity': '7' + ' ' * 8192},  # longer than any attribute
                {**mouse, 'capacity': '4x2'}, {**mouse, 'capacity': '99999999999999999999'},
                {'scope': 'Device', 'model_name': b'\xff\xfeMouse', 'capacity': '3'},
                {'scope': 'System', 'model_name': 'Mouse', 'capacity': '2'},
                {'model_name': 'Mouse', 'capacity': '1'},
                {**mouse, 'capacity': '60', 'status': fifo}]):
            os.makedirs(f'{root}/{name}')
            for attribute, value in attributes.items():
                path = pathlib.Path(root, str(name), attribute)
                if value is fifo:
                    os.mkfifo(path)
                elif value is folder:
                    path.mkdir()
                else:
                    path.write_bytes(value if type(value) is bytes else value.encode())
        self.assertEqual(self.read(root, fallback=root), ['60 discharging'] * 3)


if __name__ == '__main__':
    unittest.main(testRunner=unittest.TextTestRunner(stream=sys.stdout, verbosity=2))
