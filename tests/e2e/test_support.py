"""What the Win32 units write, seen from the Linux side of the file."""
import datetime

from winenv import TEST_BIN, winpath


def test_a_dos_stamp_is_the_files_utc_modification_time(win, tmp_path):
    stamped = tmp_path / "stamp.txt"
    result = win.run(TEST_BIN / "win32_tests.exe", ["-tc=DOS time stamps are taken as UTC"], timeout=60,
                     env={"TOVIMAR_STAMP_FILE": winpath(stamped)})
    assert result.returncode == 0, result.stdout.decode("latin-1")
    when = datetime.datetime.fromtimestamp(stamped.stat().st_mtime, datetime.timezone.utc)
    assert when == datetime.datetime(2009, 1, 15, 10, 30, tzinfo=datetime.timezone.utc)
