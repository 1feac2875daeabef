"""The one record of a problem that every tool reports: the file, the line where there is one,
the reason, and its level, so that every command words and sorts them alike."""
import re
from dataclasses import dataclass

from .errors import KytError

REFUSAL = "refusal"  # the build stops: the setup would fail on every x64 machine
WARNING = "warning"  # the build goes on; the release engineer should look
NOTE = "note"  # what the summary tells about the package
LABELS = {REFUSAL: "refused", WARNING: "warning", NOTE: "note"}  # the word each level is printed with


@dataclass(frozen=True)
class Problem:
    file: str  # the package path with backslashes, "" for the package as a whole
    line: int  # counting from 1, 0 where no line applies
    reason: str
    level: str = REFUSAL

    def __str__(self):
        where = f"{self.file}, line {self.line}" if self.line else self.file
        return escaped(f"{where}: {self.reason}" if where else self.reason)


def refusal(problems, what="the driver package"):
    """Returns the error that refuses a driver package, naming each file and the reason."""
    return KytError(f"{what} cannot be built into a setup:\n" + "\n".join(f"  {p}" for p in problems))


def escaped(text):
    """Returns the text with control characters written as \\xNN, so that a name taken from a
    file cannot move the cursor or hide what follows it."""
    return re.sub(r"[\x00-\x1f\x7f-\x9f]", lambda m: f"\\x{ord(m.group()):02x}", text)


def labelled(problem):
    """Returns the problem as every command prints it: its level's word, then the problem."""
    return f"{LABELS[problem.level]}: {problem}"


def of_level(problems, level):
    """Returns the problems of one level, in the order they were found."""
    return [problem for problem in problems if problem.level == level]

