"""An X display for Wine programs, through scripts/display (the suite's one
way of starting Xvfb).

    with Display():          # DISPLAY is set inside
        ...

The caller's display is used when it answers (scripts/test starts one for the
whole run); otherwise an Xvfb is started for the block and stopped after it.
Whoever ran Wine programs on it ends their Wine server first (a Wine desktop
holds the display).
"""

import os
import pathlib
import subprocess

HELPER = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "display"


def alive():
    return subprocess.run([str(HELPER), "alive"]).returncode == 0


class Display:
    def __init__(self):
        self.pid = None
        self.before = None

    def __enter__(self):
        if alive():
            return self
        out = subprocess.run([str(HELPER), "start"], stdout=subprocess.PIPE, text=True)
        if out.returncode != 0:
            raise RuntimeError("no X display: scripts/display start failed")
        display, pid = out.stdout.split()
        self.before = os.environ.get("DISPLAY")
        self.pid = pid
        os.environ["DISPLAY"] = display
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def stop(self):
        """Ends the display this object started (safe to call twice)."""
        if self.pid is None:
            return
        subprocess.run([str(HELPER), "stop", self.pid])
        self.pid = None
        if self.before is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = self.before
