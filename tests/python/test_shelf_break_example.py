"""The shelf-break example: its inputs are CF netCDF files kelpkit loads, the set-up has no
plausibility findings, and kelp runs on it."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

pytest.importorskip("kelp")
pytest.importorskip("gsw")
pytest.importorskip("pyproj")
xr = pytest.importorskip("xarray")

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
sys.path.insert(0, EXAMPLES)
import shelf_break  # noqa: E402

import kelpkit  # noqa: E402


def test_the_inputs_are_cf_files_and_load_into_a_plausible_configuration(tmp_path):
    elevation_path, profile_path = shelf_break.write_inputs(tmp_path)
    with xr.open_dataset(elevation_path, engine="h5netcdf") as tile:
        assert tile.attrs["Conventions"].startswith("CF-")
        assert tile["elevation"].dims == ("lat", "lon")
        assert tile["lat"].attrs["units"] == "degrees_north"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cfg = shelf_break.load_config(elevation_path, profile_path, quick=True)
    notes = [str(w.message) for w in caught]
    assert len(notes) == 2 and "raised to 1 m (by up to 21.0 m)" in notes[0]
    assert "by up to 500 m (the shallowest ends at 1500 m, the grid at 2000 m)" in notes[1]
    assert kelpkit.check_config(cfg) == []
    # The source sits on the 150 m shelf at the origin; the plain lies 2000 m down.
    x, y = np.array(cfg["bathymetry"]["x_bty_m"]), np.array(cfg["bathymetry"]["y_bty_m"])
    depth = np.reshape(cfg["bathymetry"]["z_bty_m"], (x.size, y.size))
    assert cfg["source"]["position"] == [0.0, 0.0, 50.0]
    assert depth[x == 0.0, y == 0.0] == pytest.approx(150.0, abs=1.0)
    assert depth.max() == pytest.approx(2000.0, abs=2.0)


def test_the_example_runs_and_draws_its_map(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "shelf_break.py"), "--quick",
                           "--output", str(tmp_path)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert "plausibility findings: none" in done.stdout
    data = (tmp_path / "shelf_break_tl_map.png").read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 20000
