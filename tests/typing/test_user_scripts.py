"""drovik's types as a user's checker sees them, against the installed package.

Run in a venv where drovik, mypy and basedpyright (pyright bundled with its own
Node) were installed. The checkers run on copies of the scripts in a directory of
their own: pyright would otherwise find src/drovik.pyi of the checkout."""

import json
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
GOOD, WRONG = "user_every_name.py", "user_wrong_calls.py"
MYPY_ERROR = re.compile(r"^[^:]+:(\d+): error: .*\[([a-z-]+)\]$")


def mypy(script: Path) -> set[tuple[int, str]]:
    """(line, error code) of every error; fails on anything it could not check."""
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(script.parent / ".mypy"),
                           script.name], cwd=script.parent, capture_output=True, text=True)
    errors = {(int(m[1]), m[2]) for m in map(MYPY_ERROR.match, done.stdout.splitlines()) if m}
    assert done.returncode == (1 if errors else 0), done.stdout + done.stderr
    return errors


def pyright(script: Path) -> set[tuple[int, str]]:
    """(line, rule) of every error or warning pyright reports in strict mode."""
    (script.parent / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    done = subprocess.run([str(Path(sysconfig.get_path("scripts")) / "basedpyright"), "--outputjson",
                           "--pythonpath", sys.executable, script.name],
                          cwd=script.parent, capture_output=True, text=True)
    report = json.loads(done.stdout)
    found = {(d["range"]["start"]["line"] + 1, d.get("rule", d["message"]))
             for d in report["generalDiagnostics"] if d["severity"] in ("error", "warning")}
    assert report["summary"]["filesAnalyzed"] == 1, done.stdout
    return found


CHECKERS = {"mypy": mypy, "pyright": pyright}


def copied(tmp_path: Path, name: str) -> Path:
    shutil.copy(HERE / name, tmp_path / name)
    return tmp_path / name


def test_drovik_and_its_stubs_come_from_the_install():
    import drovik

    site = Path(sysconfig.get_path("platlib"))
    assert Path(drovik.__file__).parent == site
    assert (site / "drovik-stubs" / "__init__.pyi").is_file()
    assert not any(Path(p).resolve() == HERE.parents[1] for p in sys.path if p)


@pytest.mark.parametrize("checker", CHECKERS)
def test_a_correct_program_checks_clean(tmp_path, checker):
    assert CHECKERS[checker](copied(tmp_path, GOOD)) == set()


@pytest.mark.parametrize("checker", CHECKERS)
def test_each_wrong_call_is_flagged_and_nothing_else(tmp_path, checker):
    script = copied(tmp_path, WRONG)
    column = list(CHECKERS).index(checker)
    expected = {(n, line.split("# wrong:")[1].split()[column])
                for n, line in enumerate(script.read_text().splitlines(), 1) if "# wrong:" in line}
    assert len(expected) >= 8
    assert CHECKERS[checker](script) == expected
