"""A desktop without the X libraries Qt loads: the IDE names each one missing and its package."""
import os
import subprocess
import sys

from ide.gui.x_libraries import X_LIBRARIES, missing_x_libraries


def test_each_library_that_does_not_load_is_named_with_its_package():
    assert missing_x_libraries(lambda name: name != "libxcb-icccm.so.4") == [
        ("libxcb-icccm.so.4", "libxcb-icccm4")]
    assert missing_x_libraries(lambda name: True) == []


def test_the_ide_says_which_libraries_are_missing_before_qt_starts(tmp_path):
    # A broken copy of one library first on the search path: it does not load.
    (tmp_path / "libxcb-cursor.so.0").write_bytes(b"not a shared library")
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", DISPLAY=":99",
               LD_LIBRARY_PATH=f"{tmp_path}:{os.environ.get('LD_LIBRARY_PATH', '')}")
    run = subprocess.run([sys.executable, "-m", "ide.gui", "--port", "9"], env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 1
    assert "libxcb-cursor.so.0" in run.stderr and "sudo apt-get install libxcb-cursor0" in \
        run.stderr
    expected = {name for name, _package in missing_x_libraries()} | {"libxcb-cursor.so.0"}
    for name, _package in X_LIBRARIES:  # each one missing here is named, and only those
        assert (name in run.stderr) == (name in expected), name
