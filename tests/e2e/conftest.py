import sys
from pathlib import Path

import pytest

# The Wine and server helpers, and the mirror that misbehaves on purpose,
# live in tools/, shared with the demo and the benchmark.
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parents[1] / "tools"))
import winenv  # noqa: E402


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    # The tests' folders inside the prefix's C: drive, whose folders only
    # their owner may change: the program refuses to install below a folder
    # that ordinary users may replace, as Wine shows /tmp (its sticky bit
    # has no Windows counterpart). The paths are shorter there too.
    if config.option.basetemp is None:
        config.option.basetemp = str(winenv.build().prefix / "drive_c" / "pytest")


@pytest.fixture(scope="session")
def wine():
    winenv.ensure_prefix()
    display_proc, display = winenv.start_display()
    w = winenv.Wine(display)
    server = winenv.start_wineserver(w.env)
    try:
        yield w
    finally:
        w.stop_all()
        winenv.stop_wineserver(w.env)
        winenv.kill(server)
        winenv.kill(display_proc)


@pytest.fixture
def win(wine):
    """The session's Wine, with every program a test started killed after it."""
    yield wine
    wine.stop_all()
