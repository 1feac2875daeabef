"""The everyday commands: --help on each (every subcommand of kyt and every developer's script), no
option taken for a folder, one message and exit code 2 for a missing module, the sample run's
result lines."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

import sample_result

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
DEV = os.path.join(TOOLS, "dev")


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


class Commands(unittest.TestCase):
    def test_every_command_answers_help_and_refuses_an_unknown_option(self):
        scripts = [[os.path.join(folder, n)] for folder in (TOOLS, DEV) for n in sorted(os.listdir(folder))
                   if os.access(os.path.join(folder, n), os.X_OK) and os.path.isfile(os.path.join(folder, n))]
        subcommands = [[sys.executable, "-m", "kyt", name] for name in ("build", "check", "catalog", "sign",
                                                                      "detach-signature", "attach-signature", "verify", "show")]
        for command in scripts + subcommands + [[sys.executable, "-m", "kyt"]]:
            with self.subTest(command[-1]), tempfile.TemporaryDirectory() as cwd:
                done = run(*command, "--help", cwd=cwd)
                self.assertEqual(done.returncode, 0, done.stderr)
                # A usage line that names the command itself: its manual, not any text.
                name = " ".join(["kyt"] + command[3:]) if command[0] == sys.executable else os.path.basename(command[0])
                self.assertRegex(done.stdout, rf"(?m)^\s*(usage: )?(tools/)?(dev/)?{re.escape(name)}( |$)")
                done = run(*command, "--no-such-option", cwd=cwd)
                self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
                self.assertEqual(os.listdir(cwd), [], "an option was taken for a folder")

    def test_a_missing_module_is_exit_code_2_and_says_how_to_install_it(self):
        done = run(sys.executable, "-c", "import sys, runpy; sys.modules['asn1crypto'] = None; sys.argv = ['kyt', "
                   "'catalog', '--package', '.', '--inf', 'a.inf', '--out', 'a.cat', '--cert', 'c', '--key', 'k']; "
                   "runpy.run_module('kyt', run_name='__main__')")
        self.assertEqual((done.returncode, done.stderr),
                         (2, "kyt catalog: the Python module asn1crypto is missing: pip install asn1crypto (on Debian: "
                             "apt-get install python3-asn1crypto)\n"))

    def test_the_sample_result_names_the_record_each_box_and_every_staged_driver_package(self):
        with tempfile.TemporaryDirectory() as work:
            inf = os.path.join(work, "inf")
            os.makedirs(inf)
            marker = os.path.join(work, "marker")
            open(marker, "w").close()
            os.utime(marker, (1, 1))
            with open(os.path.join(inf, "oem0.inf"), "w") as f:
                f.write("[Version]\nProvider = %Maker% ; who\nDriverVer=01/02/2026,1.2.3.4\n[Strings]\nmaker=\"KYT\"\n")
            with open(os.path.join(inf, "oem1.inf"), "w") as f:
                f.write("[Version]\nSignature=\"$Windows NT$\"\n")
            with open(os.path.join(work, "out"), "w") as f:
                f.write("exit code: 1\n")
            with open(os.path.join(work, "trace"), "w") as f:
                f.write('0024:Call advapi32.RegisterEventSourceW(00000000,010a07a0 L"KYT Driver Setup") ret=14000b4ad\n'
                        '0024:Call advapi32.ReportEventW(cafe4242,00000001,00000000,00000450,00000000,100000002,'
                        '00000000,010b4b00,00000000) ret=14000b573\n'
                        '0024:fixme:advapi:ReportEventW (00000000CAFE4242,0x0001): stub\n'
                        '0024:err:eventlog:ReportEventW L"A file is missing."\n'
                        '0024:err:eventlog:ReportEventW L"Error box shown: \\65e0\\6cd5"\n'
                        '0024:Ret  advapi32.ReportEventW() retval=00000001 ret=14000b573\n'
                        '0024:err:eventlog:ReportEventW L"not the setup\'s"\n'
                        '0024:Call user32.MessageBoxW(00000000,0012f000 L"\\65e0\\6cd5",0012f100 L"KYT DRIVER SETUP",'
                        '00000010) ret=140001000\n')
            done = run(sys.executable, os.path.join(DEV, "sample_result.py"), os.path.join(work, "out"),
                       os.path.join(work, "trace"), inf, marker)
            self.assertEqual(done.stdout.splitlines(), [
                "Exit code: 1 (the setup or the driver installation failed)",
                'Event log record (Application, source "KYT Driver Setup"): error, event ID 1104',
                "  A file is missing.",
                "  Error box shown: \u65e0\u6cd5",
                "The setup showed an error box: \u65e0\u6cd5",
                "Driver store (packages staged by this run in C:\\windows\\inf):",
                "  oem0.inf: DriverVer 01/02/2026,1.2.3.4, provider KYT",
                "  oem1.inf: DriverVer (none), provider (none)"])
        self.assertEqual(sample_result.MEANINGS[3010], "the driver installation succeeded; a restart is needed")


if __name__ == "__main__":
    unittest.main()
