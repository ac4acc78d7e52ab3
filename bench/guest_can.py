"""Inside the user-mode Linux guest (see bench/guest-can): the CAN benchmarks of
bench/report.py on the kernel's vcan0, written to bench/guest_can.json."""

import json
import platform
from datetime import datetime, timezone

from report import GUEST_FIGURES, can_figures

if __name__ == "__main__":
    figures = can_figures(frames=20000)
    GUEST_FIGURES.write_text(json.dumps({
        "python": platform.python_version(),
        "taken": f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC",
        "figures": figures,
    }, indent=2) + "\n")
    print(json.dumps(figures, indent=2))
