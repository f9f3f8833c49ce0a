"""kelpkit's pictures: nothing clipped by a plain savefig, maps averaged over stated cells,
under-sampling warned about, rays coloured by their own launch angles."""

import dataclasses
import warnings

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.collections  # noqa: E402

import kelpkit  # noqa: E402
from kelpkit import plots  # noqa: E402


def synthetic_map(pressure_xy, spacing_m=100.0):
    """A one-depth grid result of the given pressures, no configuration (no floor drawn)."""
    p = np.asarray(pressure_xy, dtype=np.complex64)[None, :, :, None]
    nx, ny = p.shape[1:3]
    x, y = np.meshgrid(spacing_m * np.arange(nx), spacing_m * np.arange(ny), indexing="ij")
    ones = np.ones((nx, ny, 1), np.float32)
    return kelpkit.KelpResult(pressure=p, delay_s=ones, amplitude=ones,
                              frequency_hz=np.float32([100.0]), layout={"kind": "grid"},
                              receiver_x_m=x[..., None].astype(np.float32),
                              receiver_y_m=y[..., None].astype(np.float32),
                              receiver_z_m=30.0 * ones)


@pytest.fixture(scope="module")
def pekeris_rays():
    cfg = kelpkit.pekeris(max_range_m=1e3)
    cfg["source"]["launch_elev_deg"] = kelpkit.launch_fan(-30, 30, spacing_deg=2.0)
    cfg["beam"]["store_ray_paths"] = True
    return kelpkit.run(cfg, progress=False)


def inside_figure(ax):
    fig = ax.figure
    fig.canvas.draw()
    box = fig.get_tightbbox(fig.canvas.get_renderer())  # inches, drawn artists only
    width, height = fig.get_size_inches()
    return box.x0 >= 0 and box.y0 >= 0 and box.x1 <= width and box.y1 <= height


@pytest.mark.parametrize("draw", [
    lambda r: plots.plot_tl_map(synthetic_map(np.ones((60, 8)))),  # a flat, wide map
    lambda r: plots.plot_tl_slice(r),
    lambda r: plots.plot_rays(r),
    lambda r: plots.plot_rays(r, view="plan"),
], ids=["map", "slice", "rays", "plan"])
def test_nothing_drawn_falls_outside_the_figure(pekeris_rays, draw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ax = draw(pekeris_rays)
    assert inside_figure(ax)
    matplotlib.pyplot.close(ax.figure)


def test_map_averages_intensity_over_stated_cells_and_warns_only_unaveraged():
    # |p|^2 of 1, 4, 9, 16 in one 2 x 2 cell averages to 7.5: TL = -10 log10 7.5 = -8.75 dB.
    p = np.array([[1, 2, 5, 5], [3, 4, 5, 5], [1, 1, 0, 0], [1, 1, 0, 0]], dtype=float)
    with pytest.warns(UserWarning) as caught:
        plots.plot_tl_map(synthetic_map(p))
    assert [str(w.message) for w in caught] == [
        "kelpkit: the receiver horizontal spacing (100 m) exceeds half a wavelength (7.5 m) at "
        "100 Hz: interference fringes are under-sampled and may alias; average_m= draws "
        "intensity averaged over cells"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ax = plots.plot_tl_map(synthetic_map(p), average_m=200.0)
    image = ax.get_images()[0].get_array()  # (y, x)
    # Cells (x 0-1, y 0-1), (x 2-3, y 0-1), (x 0-1, y 2-3) hold mean |p|^2 7.5, 1 and 25.
    np.testing.assert_allclose(image.data[~image.mask],
                               -10.0 * np.log10([7.5, 1.0, 25.0]), rtol=1e-12)
    assert image.mask[1, 1]  # no sound in the last cell: drawn as no beam
    assert ax.get_title().endswith("intensity averaged over 200 m x 200 m cells")


def test_rays_are_coloured_by_their_own_launch_angles(pekeris_rays):
    # Rays 20 to 24 of the fan: 11 azimuths of 31 elevations, so elevations 22 to 30 deg.
    subset = dataclasses.replace(pekeris_rays, ray_paths=pekeris_rays.ray_paths[20:25],
                                 ray_launch_deg=pekeris_rays.ray_launch_deg[20:25])
    [lines] = [c for c in plots.plot_rays(subset).collections
               if isinstance(c, matplotlib.collections.LineCollection)]
    np.testing.assert_array_equal(lines.get_array(), [10.0, 12.0, 14.0, 16.0, 18.0])
    assert (lines.norm.vmin, lines.norm.vmax) == (10.0, 18.0)
    anonymous = dataclasses.replace(subset, ray_launch_deg=None)
    with pytest.raises(ValueError, match="plot_rays: the result holds 5 ray paths but no "
                                         "launch angles for them"):
        plots.plot_rays(anonymous)
    plots.plot_rays(anonymous, colour="k")
