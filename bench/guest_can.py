"""Inside the user-mode Linux guest (see bench/guest-can): the CAN benchmarks of
bench/report.py on the kernel's vcan0, and the robot-scale loop on vcan0..vcan7
(the guest raises vcan0 and vcan1; the others are added here), written to
bench/guest_can.json. --short: the short run's sizes (bench/report.py)."""

import json
import platform
import subprocess
import sys
from datetime import datetime, timezone
from pathlib import Path

from report import FULL, GUEST_FIGURES, SHORT, can_figures, python


def raise_interfaces(count):
    for n in range(count):
        if not Path(f"/sys/class/net/vcan{n}").exists():
            subprocess.run(["ip", "link", "add", "dev", f"vcan{n}", "type", "vcan"], check=True)
            subprocess.run(["ip", "link", "set", f"vcan{n}", "up"], check=True)


if __name__ == "__main__":
    short = "--short" in sys.argv[1:]
    size = SHORT if short else FULL
    figures = can_figures(size, size["guest_frames"])
    raise_interfaces(8)
    robot = python("robot/robot.py", *size["robot"], "--json")
    GUEST_FIGURES.write_text(json.dumps({
        "python": platform.python_version(),
        "taken": f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC",
        "short": short,
        "figures": figures,
        "robot": robot,
    }, indent=2) + "\n")
    print(json.dumps(figures, indent=2))
