#!/usr/bin/python3
# Holds one umockdev testbed (a simulated /sys) for a C++ test, which cannot run under umockdev's
# preload library itself. Prints the testbed's root folder, then answers one command per line on
# stdin, each a JSON array, with "ok" or a reason:
#   ["add", records]                       devices in umockdev's record format (P:/E:/A:/L: lines)
#   ["set", devpath, attribute, value]     devpath as the kernel names it, /sys/devices/...
#   ["uevent", devpath, action]            "add", "change", "remove"
# Runs under LD_PRELOAD=libumockdev-preload.so.0: uevents are looked up in the testbed through it.
# Ends, removing the testbed, when stdin closes.

import json
import sys

import gi

gi.require_version('UMockdev', '1.0')
from gi.repository import UMockdev  # noqa: E402

testbed = UMockdev.Testbed.new()
print(testbed.get_root_dir(), flush=True)

for line in sys.stdin:
    try:
        command, *arguments = json.loads(line)
        if command == 'add':
            answer = 'ok' if testbed.add_from_string(*arguments) else 'umockdev refused the records'
        elif command == 'set':
            testbed.set_attribute(*arguments)
            answer = 'ok'
        elif command == 'uevent':
            testbed.uevent(*arguments)
            answer = 'ok'
        else:
            answer = 'unknown command ' + command
    except Exception as error:  # the test reads the reason; the testbed stays usable
        answer = f'{type(error).__name__}: {error}'
    print(answer.replace('\n', ' '), flush=True)

del testbed
