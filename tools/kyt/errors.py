"""The one error the release tool reports to its user: a message that stands on its own, and
the exit code it ends the command with."""

FAILED = 1  # refused or failed: the input is wrong, or a check found a fault
USAGE = 2  # wrong use, or something the command needs is missing


class KytError(Exception):
    """A failure the command prints as it stands (never as a traceback) before it exits with
    `code`."""

    def __init__(self, message, code=FAILED):
        super().__init__(message)
        self.code = code
