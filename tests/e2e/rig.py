"""The end-to-end rig: runs a built setup under Wine the way a user's double-click would, in an
Xvfb display of its own, and reports what a user and a caller see.

One Rig is one fresh Wine prefix of its own and one Xvfb display; every Wine process of the
prefix, its desktop process included, starts with that display, so boxes always appear. Rig.run() starts the setup
through the test launcher (which hands back the full 32-bit exit code), points its temporary
folder at a folder of the test's own, dismisses every "KYT DRIVER SETUP" box with Return, and
reads the relay trace for the exact arguments of each message box and process start, and the
run's event-log record (Wine keeps none, but its trace shows the call and the strings).
"""
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass, field

from wine_trace import event_records, relay_calls, traced_calls, word

CAPTION = "KYT DRIVER SETUP"
MESSAGES = {
    "E1": "驱动安装包内容无效，无法继续安装。",
    "E2": "无法创建驱动安装所需的临时目录。",
    "E3": "无法创建驱动安装所需的临时文件夹。",
    "E4": "驱动安装包缺少必要文件。",
    "E5": "无法释放驱动安装文件。",
    "E6": "无法启动Trelvik驱动安装程序。",
}

@dataclass
class Box:
    owner: str
    text: str
    caption: str
    style: int


@dataclass
class ProcessStart:
    application: str
    command_line: str
    inherit_handles: int
    creation_flags: int
    environment: str
    current_directory: str


@dataclass
class RunResult:
    exit_codes: list
    boxes: list = field(default_factory=list)
    installer_starts: list = field(default_factory=list)
    dismissed: int = 0
    disk_at_boxes: list = field(default_factory=list)  # the temporary folder's tree while each box was up
    calls: list = field(default_factory=list)  # every relayed call, as wine_trace.RelayCall
    records: list = field(default_factory=list)  # every event-log record, as wine_trace.EventRecord

    @property
    def exit_code(self):
        assert len(self.exit_codes) == 1, self.exit_codes
        return self.exit_codes[0]


def windows_path(path):
    """Returns the Windows path under which Wine shows a Linux path (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Display:
    """An Xvfb server of its own on a free display number."""

    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.name = ":" + f.readline().strip()

    def close(self):
        self.process.terminate()
        self.process.wait()


class Rig:
    def __init__(self):
        self.wine_run_script = os.environ["KYT_WINE_RUN"].split("|")[0]
        self.launch = os.environ["KYT_LAUNCH"]
        self.setups = os.environ["KYT_SETUPS"]
        self.packages = os.environ["KYT_PACKAGES"]
        scratch_root = os.environ["KYT_SCRATCH"]
        os.makedirs(scratch_root, exist_ok=True)
        self.scratch = tempfile.mkdtemp(dir=scratch_root)
        self.display = Display()
        self.prefix = os.path.join(self.scratch, "wineprefix")
        self.wine_run = [self.wine_run_script, self.prefix]
        subprocess.run(self.wine_run + ["wineboot", "-i"], env=dict(os.environ, DISPLAY=self.display.name),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=self.prefix), stderr=subprocess.DEVNULL)
        self.display.close()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def setup(self, name):
        """Returns the path of a test setup by its name, or the given path of any program."""
        return name if os.path.isabs(name) else os.path.join(self.setups, name + ".exe")

    def folder(self, name):
        """Returns a new folder of this rig's own, by name (any characters), created."""
        path = os.path.join(self.scratch, name)
        os.makedirs(path, exist_ok=True)
        return path

    def run(self, setup, temp, env=None, args=(), count=1, timeout=300, cwd=None, on_box=None, hidden_station=False,
            network_drive=False, temp_path=None):
        """Runs the setup count times at once with its temporary folder at temp (a Linux path) and
        returns the exit codes, the boxes shown and the installer starts, from the relay trace.
        on_box, when given, is called with each box's X window id and display before it is dismissed.
        hidden_station starts the setup on a window station that is not visible, as a service would.
        network_drive shows temp as the root of drive N:, which Wine reports as a network drive.
        temp_path, when given, is the Windows path the setup gets as its temporary folder instead."""
        trace = os.path.join(self.scratch, "trace.log")
        environment = dict(os.environ, DISPLAY=self.display.name, WINEDEBUG="+relay,+eventlog", **(env or {}))
        temp_path = temp_path or (self._network_drive(temp) if network_drive else windows_path(temp))
        command = self.wine_run + [self.launch, "--temp", temp_path, "--count", str(count),
                                   *(["--hidden-station"] if hidden_station else []), "--",
                                   windows_path(self.setup(setup)), *args]
        stop = threading.Event()
        dismissed, disk_at_boxes = [], []
        dismisser = threading.Thread(target=self._dismiss_boxes, args=(stop, dismissed, temp, disk_at_boxes, on_box))
        dismisser.start()
        try:
            with open(trace, "wb") as err:
                done = subprocess.run(command, env=environment, stdout=subprocess.PIPE, stderr=err, timeout=timeout,
                                      cwd=cwd)
        finally:
            stop.set()
            dismisser.join()
        out = done.stdout.decode("utf-8", "replace")
        if done.returncode != 0:
            raise RuntimeError(f"the launcher failed ({done.returncode}): {out}")
        result = RunResult([int(c) for c in re.findall(r"^exit code: (\d+)", out, re.M)], dismissed=len(dismissed),
                           disk_at_boxes=disk_at_boxes)
        self._read_trace(trace, result)
        return result

    def _network_drive(self, folder):
        """Makes folder drive N: of this rig's prefix, of the type "network", and returns its root.
        The drive types are read when Wine's mount manager starts, so the prefix's server is
        stopped first."""
        link = os.path.join(self.prefix, "dosdevices", "n:")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.abspath(folder), link)
        subprocess.run(self.wine_run + ["reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "n:", "/d", "network",
                                        "/f"], env=dict(os.environ, DISPLAY=self.display.name),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=self.prefix), stderr=subprocess.DEVNULL)
        return "N:\\"

    def _dismiss_boxes(self, stop, dismissed, temp, disk_at_boxes, on_box):
        environment = dict(os.environ, DISPLAY=self.display.name)
        while not stop.is_set():
            found = subprocess.run(["xdotool", "search", "--name", f"^{CAPTION}$"], env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.split()
            for window in found:
                if window not in dismissed:
                    disk_at_boxes.append(tree(temp))
                    if on_box:
                        on_box(window.decode(), self.display.name)
                    subprocess.run(["xdotool", "key", "--window", window, "Return"], env=environment,
                                   stderr=subprocess.DEVNULL)
                    dismissed.append(window)
            time.sleep(0.2)

    @staticmethod
    def _read_trace(trace, result):
        with open(trace, "rb") as f:
            text = f.read().decode("utf-8", "replace")
            result.calls = list(relay_calls(text))
            result.records = event_records(text)
            for name, args in traced_calls(text):
                if name == "MessageBoxW":
                    result.boxes.append(Box(args[0], args[1], args[2], word(args[3])))
                elif args[0].lower().endswith("\\dpinst.exe"):
                    result.installer_starts.append(
                        ProcessStart(args[0], args[1], word(args[4]), word(args[5]), args[6], args[7]))


class RigTestCase(unittest.TestCase):
    """A test class whose tests share one rig: one fresh Wine prefix and one display."""

    @classmethod
    def setUpClass(cls):
        cls.rig = Rig()

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def assert_record(self, result, event_type, event_id):
        """Checks the run's one event-log record and returns it: the source registered on the local
        computer, one record of this type and ID written before any box, the source deregistered."""
        names = ("RegisterEventSourceW", "ReportEventW", "DeregisterEventSource", "MessageBoxW")
        calls = [c for c in result.calls if c.function in names]
        logged = [c for c in calls if c.function != "MessageBoxW"]
        self.assertEqual([c.function for c in logged], list(names[:3]))
        register, report, deregister = logged
        self.assertEqual((int(register.args[0], 16), register.args[1]), (0, "KYT Driver Setup"))
        self.assertEqual((word(report.args[1]) & 0xFFFF, word(report.args[3])), (event_type, event_id))
        self.assertEqual(deregister.args[0], report.args[0], "the handle the record was written with")
        boxes_at = [i for i, c in enumerate(calls) if c.function == "MessageBoxW"]
        self.assertTrue(all(i > calls.index(report) for i in boxes_at), "the record comes before the box")
        self.assertEqual(len(result.records), 1)
        return result.records[0]


def tree(path):
    """Returns every file and folder below path, as relative paths with forward slashes."""
    found = set()
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(top, name), path))
    return found
