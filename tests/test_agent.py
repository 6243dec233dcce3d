"""The real agent on private buses with dbusmock's logind and UPower and a stand-in for GNOME's
session manager, seen in its lock, its answers and its exit (the card draws offscreen); and its
readers of those services and of sysfs, which answer through nw-probe (NW_PROBE)."""
import os
import pathlib
import signal
import subprocess
import tempfile
import time
import unittest

import dbus
import dbusmock

MANAGER = 'org.freedesktop.login1.Manager'
CLIENT = 'org.gnome.SessionManager.ClientPrivate'
CLIENT_PATH = '/org/gnome/SessionManager/Client1'
MOCK = {'dbus_interface': dbusmock.MOCK_IFACE}
LIMIT_S = 1.0  # logind's InhibitDelayMaxUSec: the card leaves half a second before it
CARD_S = 4.0   # the card's own time-out, when nothing waits on it sooner


# Capability bits of the input device beside a battery (hex words, most significant first), as
# the kernel gives them, which the sysfs reader tells a mouse by as udev's input_id does.
INPUTS = {'mouse': 'ev=17;key=ff0000 0 0 0 0;rel=1943',
          'magic': 'ev=f;key=30000 0 0 0 0;rel=1943;abs=273800000000000',  # multitouch
          'keyboard': 'ev=120013;key=1000000000007 ff9f207ac14057ff febeffdfffefffff fffffffffffffffe',
          'touchpad': 'ev=b;key=e520 10000 0 0 0 0;abs=273800000000003',
          'keys': 'ev=13;key=c000000000000 0'}  # a few media keys


def supplies(root, *batteries):
    """Peripheral batteries under root/power_supply, each (percent, model, input kind, status, on
    a USB interface), its HID device on a USB interface or a Bluetooth link."""
    for n, (percent, model, kind, status, usb) in enumerate(batteries):
        hid = pathlib.Path(root, 'devices', str(n), 'usb1-1:1.0' if usb else 'hci0:256', 'hid')
        hid.mkdir(parents=True)
        if usb:
            pathlib.Path(root, 'bus/usb').mkdir(parents=True, exist_ok=True)
            (hid.parent / 'subsystem').symlink_to(pathlib.Path(root, 'bus/usb'))
            (hid.parent / 'bInterfaceNumber').write_text('00\n')
        for bits in INPUTS[kind].split(';'):
            name, value = bits.split('=')
            pathlib.Path(hid, 'input/input0/capabilities').mkdir(parents=True, exist_ok=True)
            pathlib.Path(hid, 'input/input0/capabilities', name).write_text(value + '\n')
        supply = pathlib.Path(root, 'power_supply', f'hid-{n}-battery')
        supply.mkdir(parents=True)
        (supply / 'device').symlink_to(hid)
        for name, value in [('scope', 'Device'), ('capacity', percent), ('model_name', model),
                            ('status', status)]:
            (supply / name).write_text(f'{value}\n')


def eventually(check, timeout=15.0):
    deadline = time.monotonic() + timeout
    while not check() and time.monotonic() < deadline:
        time.sleep(0.01)
    return bool(check())


class Agent(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.start_session_bus()
        cls.system = cls.get_dbus(system_bus=True)
        cls.session = cls.get_dbus(system_bus=False)

    def prepare(self):
        self.home = tempfile.TemporaryDirectory()
        self.addCleanup(self.home.cleanup)
        self.logind, self.login1 = self.start('logind')
        self.login1.AddProperty(MANAGER, 'InhibitDelayMaxUSec', dbus.UInt64(LIMIT_S * 1e6), **MOCK)
        self.upowerd, self.upower = self.start('upower')

    def start(self, template):
        process, bus_object = self.spawn_server_template(template, {}, stdout=subprocess.DEVNULL)
        self.addCleanup(self.end, process)
        return process, bus_object

    def end(self, process):
        if process.poll() is None:
            process.kill()
        process.wait()

    def mouse(self, percent, charging):
        path = self.upower.AddDischargingBattery('mouse', 'Magic Mouse 2', percent, 3600, **MOCK)
        # UPower's types: 5 a mouse; states: 1 charging, 2 discharging.
        self.upower.SetDeviceProperties(path, {
            'Type': dbus.UInt32(5, variant_level=1),
            'PowerSupply': dbus.Boolean(False, variant_level=1),
            'State': dbus.UInt32(1 if charging else 2, variant_level=1)}, **MOCK)

    def launch(self):
        env = {k: v for k, v in os.environ.items() if k not in ('DISPLAY', 'WAYLAND_DISPLAY')}
        env.update(HOME=self.home.name, XDG_CONFIG_HOME=self.home.name + '/config',
                   XDG_DATA_HOME=self.home.name + '/data', QT_QPA_PLATFORM='offscreen')
        self.agent = subprocess.Popen([os.environ['NIGHTWICK_BINARY'], '--autostart'], env=env)
        self.addCleanup(self.end, self.agent)

    def locks(self):
        return [i for i in self.login1.ListInhibitors(dbus_interface=MANAGER)
                if i[:2] == ('shutdown', 'Nightwick') and i[3] == 'delay']

    def announce(self, starting):
        # As logind 255 and later do it: each change comes twice, the second with metadata.
        self.login1.EmitSignal(MANAGER, 'PrepareForShutdown', 'b', [starting], **MOCK)
        self.login1.EmitSignal(MANAGER, 'PrepareForShutdownWithMetadata', 'ba{sv}',
                               [starting, {'type': 'poweroff'}], **MOCK)

    def each(self, cases, check):
        for name, *case in cases:
            with self.subTest(name):
                self.prepare()
                try:
                    check(*case)
                finally:
                    self.doCleanups()

    def ends_cleanly(self):
        return self.agent.wait(15) == 0

    def holds(self, count):
        return eventually(lambda: len(self.locks()) == count)

    SHUTDOWNS = [
        # name, mouse percent, charging, signal sent at the announcement, card
        ('low mouse: the card holds the lock until just before the limit', 8, False, None, True),
        ('SIGTERM during the card: the agent ends after it', 8, False, signal.SIGTERM, True),
        ('charging, as UPower says it: let go at once', 8, True, None, False),
        ('SIGINT, no card', 50, False, signal.SIGINT, False),
    ]

    def test_shutdown(self):
        self.each(self.SHUTDOWNS, self.shut_down)

    def shut_down(self, percent, charging, sent, card):
        self.mouse(percent, charging)
        self.launch()
        self.assertTrue(self.holds(1))  # past its launch, which read the mouse once
        reads = lambda: len(self.upower.GetMethodCalls('EnumerateDevices', **MOCK))
        before, announced = reads(), time.monotonic()
        self.announce(True)
        if sent:  # once the agent reads the mouse for the announcement, as logind's delay allows
            self.assertTrue(eventually(lambda: reads() > before))
            self.agent.send_signal(sent)
        self.assertTrue(self.ends_cleanly() if sent else self.holds(0))
        held = time.monotonic() - announced
        # Never before the card's time, and well before the card's own 4 s without one.
        self.assertGreaterEqual(held, LIMIT_S / 2 - 0.1) if card else \
            self.assertLess(held, CARD_S - 1)
        if sent:
            return
        # Called off: the lock is back, once; the next shutdown within 30 s of a card gets
        # none, and a descriptor kept of an earlier lock would keep that lock listed.
        self.announce(False)
        self.assertTrue(self.holds(1))
        again = time.monotonic()
        self.announce(True)
        self.assertTrue(self.holds(0))
        self.assertLess(time.monotonic() - again, CARD_S - 1)
        self.agent.send_signal(signal.SIGTERM)
        self.assertTrue(self.ends_cleanly())

    def test_logind_restarts(self):
        self.prepare()
        self.mouse(50, False)
        self.launch()
        self.assertTrue(self.holds(1))
        self.end(self.logind)
        self.logind, self.login1 = self.start('logind')
        self.assertTrue(self.holds(1))

    def probe(self, *arguments):
        return subprocess.run([os.environ['NW_PROBE'], *arguments], capture_output=True, text=True,
                              check=True, timeout=20).stdout.split('\n')[:3]

    def tree(self, *batteries):
        root = tempfile.mkdtemp(dir=self.home.name)
        supplies(root, *batteries)
        return root + '/power_supply'

    # The sysfs reader's, for when UPower is not running; upowerd read the same of such trees.
    M, K = ('Magic Mouse 2', 'magic', 'Discharging', False), ('Magic Keyboard', 'keyboard')
    TREES = [
        ('Magic Mouse 2, low', [(8, *M)], '8 discharging'),
        ('named without "mouse", known by its input device', [(40, 'MX', 'mouse', 'Full', False)],
         '40 charging'),
        ("a keyboard's lower battery ignored", [(4, *K, 'Discharging', False), (60, *M)],
         '60 discharging'),
        ("a trackpad's lower battery ignored",
         [(5, 'Magic Trackpad 2', 'touchpad', 'Discharging', False), (50, *M)], '50 discharging'),
        ('known by name alone, its input device no pointer',
         [(31, 'Wireless Mouse', 'keys', 'Not charging', False)], '31 charging'),
        ('on a USB interface but discharging: no cable', [(8, 'Jo', 'magic', 'Discharging', True)],
         '8 discharging'),
        ('on a USB interface, its status unknown: its cable', [(8, 'Jo', 'magic', 'Unknown', True)],
         '8 charging'),
        ('same mouse over Bluetooth and on its cable', [(8, *M), (8, 'Jo', 'magic', 'Charging', True)],
         '8 charging'),
    ]

    def test_sysfs(self):
        self.each(self.TREES, lambda batteries, expected: self.assertEqual(
            self.probe('battery', self.tree(*batteries), '/nonexistent')[2], expected))

    def test_reads_only_what_a_peripheral_battery_says_plainly(self):
        self.prepare()
        root = tempfile.mkdtemp(dir=self.home.name)
        for n, attributes in enumerate([
                {'scope': b'System', 'model_name': b'Mouse', 'capacity': b'2'},  # the laptop's
                {'model_name': b'Mouse', 'capacity': b'1'},  # no scope: no peripheral
                {'scope': b'Device', 'model_name': b'\xff\xfeMouse', 'capacity': b'3'},
                {'scope': b'Device', 'model_name': b'Mouse', 'capacity': b'4x2'},
                {'scope': b'Device', 'model_name': b'Mouse', 'capacity': b'60'}]):
            os.mkdir(f'{root}/{n}')
            for attribute, value in attributes.items():
                pathlib.Path(root, str(n), attribute).write_bytes(value)
        self.assertEqual(self.probe('battery', root, root)[2], '60 discharging')

    def test_falls_back_to_sysfs_only_while_upower_cannot_answer(self):
        self.prepare()
        fallback = self.tree((77, *self.M))  # its own mouse tells who answered
        self.mouse(50, False)
        steps = [(None, '50'), (signal.SIGSTOP, '77'),  # keeps its name, answers nothing: hung
                 (signal.SIGCONT, '50'), ('stop', '77')]
        for step, expected in steps:
            if step == 'stop':
                self.end(self.upowerd)
            elif step:
                self.upowerd.send_signal(step)
            self.assertEqual(self.probe('battery', '/nonexistent', fallback)[:2],
                             [expected + ' discharging'] * 2, step)
        self.upowerd, self.upower = self.start('upower')  # no devices is an answer
        self.assertEqual(self.probe('battery', '/nonexistent', fallback)[:2], ['none'] * 2)

    def probe_session(self):
        open(self.home.name + '/utmp', 'w').close()  # no login writes a "console" record
        return self.probe('session', self.home.name + '/utmp')

    def add_session(self, name, uid=os.getuid(), **properties):
        path = self.login1.AddSession(name, 'seat0', dbus.UInt32(uid), 'ada', True, **MOCK)
        for key, value in properties.items():
            self.system.get_object('org.freedesktop.login1', path).Set(
                'org.freedesktop.login1.Session', key, value, dbus_interface=dbus.PROPERTIES_IFACE)
        return path

    # A termination signal is a log-out while the session closes: the agent's own session, or
    # where it has none (started by the user's service manager) the user's graphical one.
    SESSIONS = [
        # name, the agent's own session's state, the graphical one's (None: no such session)
        ('own session closing', 'closing', None, 'closing'),
        ("own session active, the display's closing", 'active', 'closing', 'open'),
        ("no own session, the display's closing", None, 'closing', 'closing'),
        ("no own session, the display's active", None, 'active', 'open'),
        ('no session at all', None, None, 'open'),
    ]

    def test_session_closing(self):
        self.each(self.SESSIONS, self.session_closing)

    def session_closing(self, own, display, expected):
        if own:
            self.login1.AddMethod(MANAGER, 'GetSessionByPID', 'u', 'o',
                                  f'ret = "{self.add_session("own", State=own)}"', **MOCK)
        # The template's own GetUser cannot make a path of a number.
        self.login1.AddMethod(MANAGER, 'GetUser', 'u', 'o',
                              "ret = '/org/freedesktop/login1/user/%u' % args[0]", **MOCK)
        if display:
            self.system.get_object('org.freedesktop.login1',
                                   f'/org/freedesktop/login1/user/{os.getuid()}').Set(
                'org.freedesktop.login1.User', 'Display',
                dbus.Struct(('gfx', self.add_session('gfx', State=display)), signature='so'),
                dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(self.probe_session()[0], expected)

    def test_graphical_sessions_count_as_logins(self):
        self.prepare()
        microseconds = lambda seconds: dbus.UInt64(seconds * 1000000)
        self.add_session('c1', Type='x11', Timestamp=microseconds(1000))
        self.add_session('c2', Type='wayland', Timestamp=microseconds(3000))
        self.add_session('c3', Type='tty', Timestamp=microseconds(9000))
        self.add_session('c4', os.getuid() + 1, Type='x11', Timestamp=microseconds(8000))
        self.assertEqual(self.probe_session()[1], '3000')

    def test_lock_granted_late(self):  # as at a busy login
        self.prepare()
        self.login1.AddMethod(MANAGER, 'Inhibit', 'ssss', 'h',
                              "time.sleep(1); ret = os.open('/dev/null', 0)", **MOCK)
        self.assertEqual(self.probe_session()[2], 'held')

    # Where KWin says the user is, as the card asks it: the place of the output KWin calls active,
    # from a section of its support information as KWin 5.27 writes it, in one answer; nothing
    # when KWin does not answer within the 100 ms given.
    KWIN_INFORMATION = (
        'Options\n=======\nName: eDP-1\nEnabled: 1\nGeometry: 0,0,800x600\n\nScreens\n=======\n'
        'Screen 0:\n---------\nName: DP-10\nEnabled: 1\nGeometry: 0,0,1280x800\nScale: 1\n'
        'Screen 1:\n---------\nName: DP-1\nEnabled: 0\nGeometry: 1280,0,1280x800\nScreen 2:\n'
        '---------\nName: HDMI-A-1\nEnabled: 1\nGeometry: -1920,0,1920x1080\nScreen 3:\n---------\n'
        'Name: Virtual-2\nEnabled: 1\nGeometry: 0,0,0x0\n\nCompositing\n===========\nName: eDP-1\n'
        'Enabled: 1\nGeometry: 0,0,800x600\n')
    KWIN = [  # name, the output KWin calls active ('silent': no answer), the answer
        ('first', 'DP-10', '0,0 1280x800'),
        ('left of it', 'HDMI-A-1', '-1920,0 1920x1080'),
        ("disabled, its name the start of another's", 'DP-1', 'none'),
        ('no size', 'Virtual-2', 'none'),
        ('not an output', 'eDP-1', 'none'),
        ('silent', 'silent', 'none'),
    ]

    def test_kwin_active_output(self):
        self.each(self.KWIN, self.kwin_output)

    def kwin_output(self, active, expected):
        self.addCleanup(self.end, self.spawn_server('org.kde.KWin', '/KWin', 'org.kde.KWin',
                                                    system_bus=False, stdout=subprocess.DEVNULL))
        self.session.get_object('org.kde.KWin', '/KWin').AddMethods('org.kde.KWin', [
            ('activeOutputName', '', 's', f'time.sleep({active == "silent"}); ret = {active!r}'),
            ('supportInformation', '', 's', f'ret = {self.KWIN_INFORMATION!r}')], **MOCK)
        self.assertEqual(self.probe('kwin')[0], expected)

    # GNOME's session manager: QueryEndSession is answered at once; EndSession once the card has
    # gone; the agent ends only when told to stop, or when the session manager leaves mid log-out.
    LOGOUTS = [
        # name, mouse percent, card, how the log-out ends
        ('low: answered after the card, ends at Stop', 8, True, 'Stop'),
        ('fine: answered at once, ends at Stop', 50, False, 'Stop'),
        ('the session manager leaves during the log-out', 50, False, 'leave'),
    ]

    def test_log_out(self):
        self.each(self.LOGOUTS, self.log_out)

    def log_out(self, percent, card, ending):
        name = 'org.gnome.SessionManager'
        manager = self.spawn_server(name, '/org/gnome/SessionManager', name,
                                    stdout=subprocess.DEVNULL)
        self.addCleanup(self.end, manager)
        stand_in = self.session.get_object(name, '/org/gnome/SessionManager')
        stand_in.AddMethod('', 'RegisterClient', 'ss', 'o',  # slow, as at a busy login
                           f'self.AddObject("{CLIENT_PATH}", "{CLIENT}", {{}}, '
                           f'[("EndSessionResponse", "bs", "", "")]); '
                           f'time.sleep(1); ret = "{CLIENT_PATH}"', **MOCK)
        self.mouse(percent, False)
        self.launch()
        client = self.session.get_object(name, CLIENT_PATH)
        answers = lambda: client.GetMethodCalls('EndSessionResponse', **MOCK)
        emit = lambda signal_name, *argument: client.EmitSignal(
            CLIENT, signal_name, 'u' * len(argument), dbus.Array(argument, signature='v'), **MOCK)
        self.assertTrue(eventually(lambda: stand_in.GetMethodCalls('RegisterClient', **MOCK)))
        # Asked until it answers: it listens only once it has its client's path.
        for _ in range(20):
            emit('QueryEndSession', 0)
            if eventually(answers, timeout=0.5):
                break
        time.sleep(0.3)  # for the answer to a question asked twice
        queried = len(answers())
        asked = time.monotonic()
        emit('EndSession', 0)
        self.assertTrue(eventually(lambda: len(answers()) == queried + 1))
        waited = time.monotonic() - asked
        self.assertGreaterEqual(waited, CARD_S - 0.3) if card else \
            self.assertLess(waited, CARD_S - 1)
        # The log-out may yet be called off: the agent and its lock stay.
        self.assertIsNone(self.agent.poll())
        self.assertEqual(len(self.locks()), 1)
        if ending == 'Stop':
            emit('Stop')
        else:
            self.end(manager)
        self.assertTrue(self.ends_cleanly())


if __name__ == '__main__':
    unittest.main()
