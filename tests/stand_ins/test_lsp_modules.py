"""The analyser's mirror of the workbook's modules: a folder of files that never outlives its
kernel for long, even one that was killed."""
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from python_server import lsp_modules
from python_server.lsp_modules import ModuleMirror


def test_the_mirror_holds_the_modules_and_goes_with_its_process(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    mirror = ModuleMirror()
    mirror.sync({"sales": "x = 1\n", "pkg.inner": "y = 2\n", "../escape": "z = 3\n"})
    assert (mirror.root / "sales.py").read_text() == "x = 1\n"
    assert (mirror.root / "pkg" / "inner.py").exists()
    assert not (tmp_path / "escape.py").exists()
    mirror.sync({"sales": "x = 1\n"})
    assert not (mirror.root / "pkg" / "inner.py").exists()
    assert mirror.root.name.startswith(f"quorvel-modules-{os.getpid()}-")
    lsp_modules.remove_all()  # as a kernel that ends with os._exit does
    assert not mirror.root.exists()


def test_the_folders_of_killed_kernels_are_removed_by_the_next_mirror(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    child = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, check=True)
    gone = tmp_path / f"quorvel-modules-{child.stdout.strip()}-abc"  # its process has ended
    alive = tmp_path / f"quorvel-modules-{os.getppid()}-def"
    unnamed = tmp_path / "quorvel-modules-x7_k2"
    for folder in (gone, alive, unnamed):
        folder.mkdir()
        (folder / "m.py").write_text("")
    mirror = ModuleMirror()
    assert not gone.exists() and alive.exists() and unnamed.exists()
    mirror.close()
    assert sorted(p.name for p in Path(tmp_path).iterdir()) == sorted([alive.name, unnamed.name])


async def test_a_hub_start_removes_the_folders_of_killed_kernels(tmp_path, monkeypatch):
    from devhub import DevHub

    scratch = tmp_path / "tmp"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    child = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, check=True)
    gone = scratch / f"quorvel-modules-{child.stdout.strip()}-abc"
    gone.mkdir()
    hub = await DevHub(port=0, data_dir=str(tmp_path / "data")).start()
    try:
        assert not gone.exists()
    finally:
        await hub.stop()
