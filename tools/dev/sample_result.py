#!/usr/bin/env python3
"""Prints the result of one sample run: the setup's exit code and its meaning, the record it wrote
to the Application event log (what an administrator reads there), the text of each error box
the setup showed, and the driver packages the run staged into the driver store.

  sample_result.py LAUNCH_OUTPUT TRACE INF_FOLDER MARKER

LAUNCH_OUTPUT is what the test launcher printed ("exit code: N"), TRACE Wine's relay trace of
the run (with WINEDEBUG=+relay,+eventlog, which also shows the record's strings), INF_FOLDER
the prefix's C:\\windows\\inf; INF files newer than the MARKER file count.
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))  # the checkout's tools
from kyt.inf_rules import decode, first, parse  # noqa: E402
from wine_trace import EVENT_TYPES, event_records, message_box_texts  # noqa: E402

MEANINGS = {0: "the driver installation succeeded", 3010: "the driver installation succeeded; a restart is needed",
            1: "the setup or the driver installation failed"}


def inf_version(path):
    """Returns (DriverVer, Provider) of an INF's [Version] section as Windows reads them, %strings%
    resolved; a value the INF does not give, or an INF that is no text, gives None."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        inf = parse(decode(data))
    except ValueError:
        return None, None
    entries = [first(inf, "version", key) for key in ("driverver", "provider")]
    return tuple(",".join(entry.fields) if entry else None for entry in entries)


def main(argv):
    if len(argv) != 4 or argv[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if argv[:1] in (["-h"], ["--help"]) else 2
    launch_output, trace, inf_folder, marker = argv
    with open(launch_output, encoding="utf-8", errors="replace") as f:
        found = re.findall(r"^exit code: (\d+)", f.read(), re.M)
    code = int(found[0]) if found else None
    print(f"Exit code: {code} ({MEANINGS.get(code, 'unexpected')})" if found else "Exit code: none (the launcher failed)")
    with open(trace, "rb") as f:
        records = event_records(f.read().decode("utf-8", "replace"))
    for record in records:
        print(f"Event log record (Application, source \"{record.source}\"): "
              f"{EVENT_TYPES.get(record.type, record.type)}, event ID {record.event_id}")
        for text in record.strings:
            print(f"  {text}")
    if not records:
        print("Event log record: none written")
    for text in message_box_texts(trace):
        print(f"The setup showed an error box: {text}")
    print("Driver store (packages staged by this run in C:\\windows\\inf):")
    since = os.path.getmtime(marker)
    staged = sorted(name for name in os.listdir(inf_folder) if name.lower().endswith(".inf")
                    and os.path.getmtime(os.path.join(inf_folder, name)) > since)
    for name in staged:
        driver_ver, provider = inf_version(os.path.join(inf_folder, name))
        print(f"  {name}: DriverVer {driver_ver or '(none)'}, provider {provider or '(none)'}")
    if not staged:
        print("  (none)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
