import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winenv  # noqa: E402


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
