"""Reads the sample support host's start log.

Each start of QuorvantisSupportHost.exe appends one line to
%LOCALAPPDATA%\\Quorvantis Software\\QVS Support Host\\starts.log: UTF-8, ended by LF, three fields
separated by TAB (module path, the full command line from GetCommandLineW, the working directory),
with "%", TAB, CR and LF inside a field written as %25, %09, %0D and %0A.
"""

import dataclasses
import pathlib
import re

LOG_RELATIVE_PATH = pathlib.PurePath("Quorvantis Software", "QVS Support Host", "starts.log")


@dataclasses.dataclass(frozen=True)
class HostStart:
    module_path: str
    command_line: str
    working_directory: str

    @property
    def arguments(self):
        """The arguments after the program name, split as the Microsoft C runtime does."""
        return split_command_line(self.command_line)[1:]


def _unescape(field):
    return re.sub(r"%(25|09|0D|0A)", lambda m: chr(int(m.group(1), 16)), field)


def parse_line(line):
    fields = line.split("\t")
    if len(fields) != 3:
        raise ValueError(f"not a start record: {line!r}")
    return HostStart(*map(_unescape, fields))


def read_starts(path):
    """Every start recorded in the log at `path`, oldest first; [] when there is no log."""
    path = pathlib.Path(path)
    if not path.exists():
        return []
    text = path.read_bytes().decode("utf-8")
    if text and not text.endswith("\n"):
        raise ValueError("the start log ends in the middle of a line")
    return [parse_line(line) for line in text.split("\n")[:-1]]


def log_path(local_app_data):
    """The log's path below a user's local application-data folder (a host path)."""
    return pathlib.Path(local_app_data) / LOG_RELATIVE_PATH


def split_command_line(command_line):
    """argv from a Windows command line: the program name ends at the next quote or blank; later
    arguments follow the 2n / 2n+1 backslash rule, and "" inside quotes is a literal quote."""
    argv = []
    i, n = 0, len(command_line)
    if command_line.startswith('"'):
        end = command_line.find('"', 1)
        end = n if end < 0 else end
        argv.append(command_line[1:end])
        i = end + 1
    else:
        while i < n and command_line[i] not in " \t":
            i += 1
        argv.append(command_line[:i])
    while True:
        while i < n and command_line[i] in " \t":
            i += 1
        if i >= n:
            return argv
        current, quoted = [], False
        while i < n and (quoted or command_line[i] not in " \t"):
            backslashes = 0
            while i < n and command_line[i] == "\\":
                backslashes += 1
                i += 1
            if i < n and command_line[i] == '"':
                current.append("\\" * (backslashes // 2))
                if backslashes % 2:
                    current.append('"')
                elif quoted and i + 1 < n and command_line[i + 1] == '"':
                    current.append('"')
                    i += 1
                else:
                    quoted = not quoted
                i += 1
            else:
                current.append("\\" * backslashes)
                if i < n and (quoted or command_line[i] not in " \t"):
                    current.append(command_line[i])
                    i += 1
        argv.append("".join(current))
