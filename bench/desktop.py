"""A desktop of the benchmark's own, on which the real agent runs: private system and session
buses, logind as python3-dbusmock stands in for it (bench/logind.py), the real upowerd over a
simulated sysfs (a umockdev testbed) with the devices asked for, and an Xvfb display. Everything
it starts ends with it, by process id."""
import os
import random
import subprocess
import tempfile
import time

import dbus
import gi

gi.require_version('UMockdev', '1.0')
from gi.repository import UMockdev  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
UPOWER = 'org.freedesktop.UPower'
BUS_CONFIG = '''<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy></busconfig>'''

# Capability bitmaps as the kernel prints them, and what udev's input_id makes of them.
MAGIC_MOUSE = ['ID_INPUT_MOUSE=1'], ['capabilities/ev=f', 'capabilities/key=30000 0 0 0 0',
                                     'capabilities/rel=1943', 'capabilities/abs=273800000000000']
INPUTS = {
    'mouse': (['ID_INPUT_MOUSE=1'], ['capabilities/ev=17', 'capabilities/key=ff0000 0 0 0 0',
                                     'capabilities/rel=1943']),
    'keyboard': (['ID_INPUT_KEY=1', 'ID_INPUT_KEYBOARD=1'], [
        'capabilities/ev=120013', 'capabilities/led=1f', 'capabilities/key=1000000000007 '
        'ff9f207ac14057ff febeffdfffefffff fffffffffffffffe']),
    'touchpad': (['ID_INPUT_TOUCHPAD=1'], ['capabilities/ev=b', 'capabilities/key=e520 10000 0 0 0 0',
                                           'capabilities/abs=273800000000003']),
    'keys': (['ID_INPUT_KEY=1'], ['capabilities/ev=13', 'capabilities/key=c000000000000 0']),
}


def record(path, properties, attributes=(), links=()):
    return ''.join([f'P: {path}\n'] + [f'E: {p}\n' for p in properties]
                   + [f'A: {a}\n' for a in attributes] + [f'L: {link}\n' for link in links])


def bluetooth_device(model, percent, kind, link, hid_id=None, supply=None, driver='hid-generic'):
    """A Bluetooth HID device with a hid-input battery, and the input device beside it (kind None:
    none), as the kernel lays them out; each link a different device."""
    number = 0x10 + link // 256
    usb = '/devices/pci0000:00/0000:00:14.0/usb1/1-10'
    adapter = usb + '/1-10:1.0/bluetooth/hci0'
    hid = f'{adapter}:{link}/{hid_id or "0005:1D57:AD02.%04X" % number}'
    supply = supply or f'hid-04:f1:3e:00:01:{number:02x}-battery'
    records = [record(usb, ['SUBSYSTEM=usb', 'DEVTYPE=usb_device', 'DRIVER=usb']),
               record(usb + '/1-10:1.0', ['SUBSYSTEM=usb', 'DEVTYPE=usb_interface', 'DRIVER=btusb']),
               record(adapter, ['SUBSYSTEM=bluetooth', 'DEVTYPE=host']),
               record(f'{adapter}:{link}', ['SUBSYSTEM=bluetooth', 'DEVTYPE=link']),
               record(hid, ['SUBSYSTEM=hid', 'DRIVER=' + driver, 'HID_NAME=' + model]),
               record(f'{hid}/power_supply/{supply}', ['SUBSYSTEM=power_supply'],
                      ['type=Battery', 'scope=Device', 'present=1', 'online=1', 'status=Discharging',
                       f'capacity={percent}', 'model_name=' + model],
                      ['device=../../../' + hid.rsplit('/', 1)[1]])]
    if kind:
        properties, capabilities = MAGIC_MOUSE if kind == 'magic' else INPUTS[kind]
        records.append(record(f'{hid}/input/input{30 + link // 256}',
                              ['SUBSYSTEM=input', 'ID_INPUT=1'] + properties,
                              ['name=' + model, 'properties=0'] + capabilities,
                              ['device=../../../' + hid.rsplit('/', 1)[1]]))
    return records


def magic_mouse(percent):
    """An Apple Magic Mouse 2 paired over Bluetooth (hid-magicmouse, battery from hid-input)."""
    return bluetooth_device('Magic Mouse 2', percent, 'magic', 256, '0005:004C:0269.0003',
                            'hid-04:f1:3e:5a:21:7b-battery', 'magicmouse')


def laptop_battery(percent):
    """The laptop's own ACPI battery: no scope attribute, as the ACPI driver leaves it."""
    acpi = '/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0A:00'
    full = 50000000
    return [record(acpi, ['SUBSYSTEM=acpi', 'DRIVER=battery']),
            record(acpi + '/power_supply/BAT0', ['SUBSYSTEM=power_supply'],
                   ['type=Battery', 'status=Discharging', 'present=1', f'capacity={percent}',
                    'energy_full_design=57000000', f'energy_full={full}',
                    f'energy_now={full * percent // 100}', 'power_now=5000000',
                    'voltage_now=11400000', 'model_name=5B10W13930', 'manufacturer=SMP'],
                   ['device=../../../PNP0C0A:00'])]


def wait_for(condition, what, seconds=10):
    deadline = time.monotonic() + seconds
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise RuntimeError('gave up waiting for ' + what)
        time.sleep(0.002)
    return result


class Desktop:
    def __init__(self, devices, display=True, logind=True):
        self.scratch = tempfile.TemporaryDirectory(prefix='nightwick-bench-')
        self.processes = []
        self.environment = {k: v for k, v in os.environ.items()
                            if not k.startswith(('DBUS_', 'DISPLAY', 'WAYLAND', 'XDG_', 'SESSION_'))}
        self.environment['XDG_CONFIG_HOME'] = os.path.join(self.scratch.name, 'config')
        try:
            self._start(devices, display, logind)
        except BaseException:
            self.close()
            raise

    def _start(self, devices, display, logind):
        config = os.path.join(self.scratch.name, 'bus.conf')
        with open(config, 'w') as out:
            out.write(BUS_CONFIG)
        for kind in ('SYSTEM', 'SESSION'):
            bus = self.start(['dbus-daemon', '--config-file=' + config, '--nofork',
                              '--print-address=1'], stdout=subprocess.PIPE)
            self.environment[f'DBUS_{kind}_BUS_ADDRESS'] = bus.stdout.readline().decode().strip()
        self.system = dbus.bus.BusConnection(self.environment['DBUS_SYSTEM_BUS_ADDRESS'])
        while display and 'DISPLAY' not in self.environment:
            # A number of its own: the first free one may be free only in this mount namespace,
            # while X clients look for the server's abstract socket first. No reset: a client
            # would find no server while the last one's leaving reset it.
            number = random.randrange(100, 1000)
            xvfb = self.start(['Xvfb', f':{number}', '-displayfd', '1', '-nolisten', 'tcp',
                               '-noreset', '-screen', '0', '1280x800x24'], stdout=subprocess.PIPE)
            if xvfb.stdout.readline().strip():
                self.environment['DISPLAY'] = f':{number}'
        if logind:
            self.start(['/usr/bin/python3', '-m', 'dbusmock', '--system', '--template',
                        os.path.join(HERE, 'logind.py')])
            wait_for(lambda: self.system.name_has_owner('org.freedesktop.login1'), 'logind')
            self.logind = self.system.get_object('org.freedesktop.login1', '/org/freedesktop/login1')
        self.testbed = UMockdev.Testbed.new()
        added = set()
        for device in devices:
            for text in device:
                if text not in added:  # a parent shared with a device added before
                    self.testbed.add_from_string(text)
                    added.add(text)
        self.power_supplies = self.testbed.get_root_dir() + '/sys/class/power_supply'
        self.start_upower(sum('ID_INPUT=1' in text for device in devices for text in device))

    def start(self, command, **options):
        options.setdefault('env', self.environment)
        options.setdefault('stderr', subprocess.DEVNULL)
        options.setdefault('stdout', subprocess.DEVNULL)
        process = subprocess.Popen(command, stdin=options.pop('stdin', subprocess.DEVNULL),
                                   **options)
        self.processes.append(process)
        return process

    def start_upower(self, typed):
        """upowerd, once it lists every battery and has typed each with an input device beside it
        (it lists a new device as a plain battery, Type 2, first)."""
        history = os.path.join(self.scratch.name, 'history')
        os.makedirs(history)
        open(os.path.join(self.scratch.name, 'UPower.conf'), 'w').close()
        self.upowerd = self.start(['/usr/libexec/upowerd'], env=dict(
            self.environment, LD_PRELOAD='libumockdev-preload.so.0',
            UMOCKDEV_DIR=self.testbed.get_root_dir(), UPOWER_HISTORY_DIR=history,
            UPOWER_CONF_FILE_NAME=os.path.join(self.scratch.name, 'UPower.conf')))

        def types():
            if not self.system.name_has_owner(UPOWER):
                return []
            upower = self.system.get_object(UPOWER, '/org/freedesktop/UPower')
            return [self.system.get_object(UPOWER, path).Get(UPOWER + '.Device', 'Type',
                                                             dbus_interface=dbus.PROPERTIES_IFACE)
                    for path in upower.EnumerateDevices(dbus_interface=UPOWER)]
        wait_for(lambda: sum(t not in (0, 1, 2) for t in types()) >= typed, 'upowerd')

    def stop(self, process):
        if process.poll() is None:
            process.kill()
        process.wait()

    def close(self):
        for process in reversed(self.processes):
            self.stop(process)
        self.testbed = None
        self.scratch.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
