"""Reads Wine's relay trace of the calls the setup's tests and its sample run watch: the
message box and process starts, the calls that carry the setup's defences, each with its
arguments as text, and the run's event-log record."""
import re
from collections import namedtuple

_CALL = re.compile(r"^([0-9a-f]+):Call (?:user32\.MessageBoxW|KERNEL32\.CreateProcessW)\((.*)\) ret=[0-9a-f]+$")
_ANY_CALL = re.compile(r"^([0-9a-f]+):Call [A-Za-z0-9_]+\.([A-Za-z0-9_]+)\((.*)\) ret=[0-9a-f]+$")
# Wine keeps no event log: its ReportEventW writes each string to its eventlog debug channel,
# errors always, warnings and information with WINEDEBUG=+eventlog. Long strings end in "...".
_EVENT_STRING = re.compile(r'^([0-9a-f]+):[a-z]+:eventlog:ReportEventW L"((?:[^"\\]|\\.)*)"(\.\.\.)?$')

# One traced call: the thread that made it, the function's name and its arguments.
RelayCall = namedtuple("RelayCall", "thread function args")
# One event-log record: the source registered for it, its type and event ID, and its strings
# as far as the trace shows them.
EventRecord = namedtuple("EventRecord", "source type event_id strings")
EVENT_TYPES = {1: "error", 2: "warning", 4: "information"}


def decode_wine_string(text):
    """Returns the text of a Wine trace string literal body (escapes \\\\, \\", \\n, \\XXXX)."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        nxt = text[i + 1]
        simple = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t", "0": "\0"}
        if re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
        else:
            out.append(simple.get(nxt, nxt))
            i += 2
    return "".join(out)


def word(argument):
    """Returns a 32-bit argument from the trace, which shows the whole 64-bit register."""
    return int(argument, 16) & 0xFFFFFFFF


def split_arguments(arguments):
    """Returns the call's arguments: a string argument as its text, any other as its hex text."""
    values, i = [], 0
    while i < len(arguments):
        m = re.match(r'[0-9a-f]+ L"((?:[^"\\]|\\.)*)"', arguments[i:])
        if m:
            values.append(decode_wine_string(m.group(1)))
            i += m.end()
        else:
            m = re.match(r"[^,]*", arguments[i:])
            values.append(m.group(0))
            i += m.end()
        i += 1  # the comma
    return values


def traced_calls(text):
    """Yields (function name, arguments) of every traced MessageBoxW and CreateProcessW call."""
    for line in text.splitlines():
        m = _CALL.match(line)
        if m:
            yield ("MessageBoxW" if "MessageBoxW" in line else "CreateProcessW"), split_arguments(m.group(2))


def relay_calls(text):
    """Yields every traced call of a function (not the loader's entry-point calls) as a RelayCall."""
    for line in text.splitlines():
        m = _ANY_CALL.match(line)
        if m:
            yield RelayCall(m.group(1), m.group(2), split_arguments(m.group(3)))


def event_records(text):
    """Returns every record written with ReportEventW, in order, as EventRecord."""
    records, sources, writing = [], {}, {}
    for line in text.splitlines():
        thread = line.split(":", 1)[0]
        call = _ANY_CALL.match(line)
        string = _EVENT_STRING.match(line)
        if call and call.group(2) == "RegisterEventSourceW":
            sources[thread] = split_arguments(call.group(3))[1]
        elif call and call.group(2) == "ReportEventW":
            args = split_arguments(call.group(3))
            writing[thread] = EventRecord(sources.get(thread), word(args[1]) & 0xFFFF, word(args[3]), [])
            records.append(writing[thread])
        elif line.startswith(f"{thread}:Ret ") and ".ReportEventW(" in line:
            writing.pop(thread, None)
        elif string and thread in writing:
            writing[thread].strings.append(decode_wine_string(string.group(2)) + (string.group(3) or ""))
    return records


def message_box_texts(path):
    """Returns the text of every message box that the trace file at path shows."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    return [args[1] for name, args in traced_calls(text) if name == "MessageBoxW"]
