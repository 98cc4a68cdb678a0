import re

import pytest

from qvs_wine import LAUNCHER, WinePrefix

DIALOG_CALL = re.compile(r'Call user32\.MessageBoxW\(([0-9a-f]+),[0-9a-f]+ L"(.*)",[0-9a-f]+ L"(.*)",([0-9a-f]+)\)')


@pytest.fixture(scope="module")
def wine():
    """One throwaway prefix per test module, with every MessageBoxW call traced."""
    assert LAUNCHER.is_file(), f"build the launcher first: {LAUNCHER}"
    prefix = WinePrefix().boot()
    prefix.set_relay_include(["user32.MessageBoxW"])
    yield prefix
    prefix.close()


def run_launcher(prefix, *args, program=LAUNCHER, env=None, cwd=None):
    """Runs the launcher under relay tracing; the result's `dialogs` lists each MessageBoxW call as
    (owner, text, caption, style), the text with Wine's escapes (a line feed reads "\\n")."""
    result = prefix.run(program, *args, env={"WINEDEBUG": "+relay", **(env or {})}, cwd=cwd)
    result.dialogs = [(int(owner, 16), text, caption, int(style, 16))
                      for owner, text, caption, style in DIALOG_CALL.findall(result.stderr)]
    return result
