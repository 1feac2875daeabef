"""The one record of a problem that every tool reports: the file, the line where there is one,
the reason, and its level, so that every command words and sorts them alike."""
from dataclasses import dataclass

REFUSAL = "refusal"  # the build stops: the setup would fail on every x64 machine
WARNING = "warning"  # the build goes on; the release engineer should look
NOTE = "note"  # what the summary tells about the package


@dataclass(frozen=True)
class Problem:
    file: str  # the package path with backslashes, "" for the package as a whole
    line: int  # counting from 1, 0 where no line applies
    reason: str
    level: str = REFUSAL

    def __str__(self):
        where = f"{self.file}, line {self.line}" if self.line else self.file
        return f"{where}: {self.reason}" if where else self.reason


def of_level(problems, level):
    """Returns the problems of one level, in the order they were found."""
    return [problem for problem in problems if problem.level == level]


def lowered(problems, level, when):
    """Returns the problems with each refusal turned into the given level when `when` holds."""
    return [Problem(p.file, p.line, p.reason, level) if when and p.level == REFUSAL else p for p in problems]
