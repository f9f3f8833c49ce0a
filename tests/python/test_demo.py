"""The demo runs end to end and writes its pictures where it is told to."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("kelp")
pytest.importorskip("matplotlib")
pytest.importorskip("kelpkit")

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "demo.py")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def test_demo_writes_pictures(tmp_path):
    folder = tmp_path / "pictures"
    done = subprocess.run([sys.executable, DEMO, "--quick", "--output", str(folder)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    expected = {"munk_tl_slice.png", "munk_rays.png", "wedge_tl_map.png", "wedge_rays_plan.png"}
    assert set(os.listdir(folder)) == expected
    for name in expected:
        data = (folder / name).read_bytes()
        assert data.startswith(PNG_SIGNATURE) and len(data) > 20000
    assert "beams" in done.stdout and "receivers" in done.stdout
    assert str(folder) in done.stdout
