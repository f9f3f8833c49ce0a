"""Plausibility findings: kelp computes them (kelp._check_config), kelpkit returns them
(check_config) and warns with them before a run; kelp.run_simulation's own warnings and errors
stay as they are."""

import copy
import re
import warnings

import numpy as np
import pytest

import kelp
import kelpkit


def base():
    """1500 m/s water 4 km square; the bottom deepens along x from 100 m at x = -2000 to 300 m
    at x = 2000 (175 m under x = -500, 200 m under the source, 225 m under x = 500)."""
    return {
        "ssp": {"x_ssp_m": [-2000.0, 2000.0], "y_ssp_m": [-2000.0, 2000.0],
                "z_ssp_m": [0.0, 300.0], "c_m_s": [1500.0] * 8},
        "bathymetry": {"x_bty_m": [-2000.0, 2000.0], "y_bty_m": [-2000.0, 2000.0],
                       "z_bty_m": [100.0, 100.0, 300.0, 300.0]},
        "source": {"position": [0.0, 0.0, 50.0], "freq_hz": [100.0],
                   "launch_elev_deg": [-20.0, -10.0, 0.0, 10.0, 20.0],
                   "launch_azim_deg": [0.0, 90.0, 180.0, 270.0]},
        "receivers": {"config_type": "grid", "x_rcvr_m": [-500.0, 500.0],
                      "y_rcvr_m": [0.0, 400.0], "z_rcvr_m": [10.0, 60.0]},
        "beam": {"step_m": 10.0, "max_steps": 1000, "max_range_m": 900.0},
    }


def changed(**paths):
    """base() with "section__key" entries replaced."""
    cfg = base()
    for path, value in paths.items():
        section, key = path.split("__")
        cfg[section][key] = value
    return cfg


# One row per finding: its pattern, a configuration that triggers it and one just on the
# plausible side of its rule.
FINDINGS = {
    "speeds": (r"ssp: 8 of 8 sound speeds lie outside 1300-1800 m/s .*km/s",
               changed(ssp__c_m_s=[1.5] * 8), changed(ssp__c_m_s=[1300.0, 1800.0] * 4)),
    "extent": (r"grids: a horizontal grid is under 10 m wide \(x_bty_m spans 0\.3 m\)",
               changed(bathymetry__x_bty_m=[-0.15, 0.15], receivers__x_rcvr_m=[0.0]),
               changed(bathymetry__x_bty_m=[-5.0, 5.0], receivers__x_rcvr_m=[0.0])),
    "negative depths": (r"bathymetry: 1 of 4 depths in z_bty_m are negative .*up to 5 m",
                        changed(bathymetry__z_bty_m=[-5.0, 100.0, 300.0, 300.0]),
                        changed(bathymetry__z_bty_m=[0.0, 100.0, 300.0, 300.0])),
    "source in the seabed": (r"source: its depth 250 m lies below the bottom under it \(200 m\)",
                             changed(source__position=[0.0, 0.0, 250.0]),
                             changed(source__position=[0.0, 0.0, 200.0])),
    "source off the grids": (r"source: \(x, y\) = \(2500, 0\) m lies outside the sound-speed",
                             changed(source__position=[2500.0, 0.0, 50.0],
                                     beam__max_range_m=4000.0),
                             changed(source__position=[2000.0, 0.0, 50.0],
                                     beam__max_range_m=4000.0)),
    "frequencies": (r"source: 1 of 2 frequencies lie outside 1 Hz to 1 MHz .*kHz",
                    changed(source__freq_hz=[0.2, 100.0]),
                    changed(source__freq_hz=[1.0, 1e6])),
    "radians": (r"source: the launch angles look like radians",
                changed(source__launch_elev_deg=list(np.radians([-20.0, 0.0, 20.0])),
                        source__launch_azim_deg=list(np.radians([0.0, 90.0, 180.0, 270.0]))),
                changed(source__launch_elev_deg=[-0.1, 0.0, 0.1],
                        source__launch_azim_deg=[0.0])),
    "receivers in the seabed": (r"receivers: 2 of 8 lie below the bottom under them",
                                changed(receivers__z_rcvr_m=[10.0, 200.0]),
                                changed(receivers__z_rcvr_m=[10.0, 175.0])),
    "receivers off the grids": (r"receivers: 4 of 8 lie outside the horizontal extent",
                                changed(receivers__x_rcvr_m=[-500.0, 2100.0],
                                        beam__max_range_m=3000.0),
                                changed(receivers__x_rcvr_m=[-500.0, 2000.0],
                                        beam__max_range_m=3000.0)),
    # The farthest receivers, (+-500, 400), are sqrt(410000) = 640.31 m from the source.
    "receivers beyond the range": (r"receivers: 4 of 8 lie farther than max_range_m = 640\.3 m",
                                   changed(beam__max_range_m=640.3),
                                   changed(beam__max_range_m=640.32)),
}


def matching(pattern, findings):
    return [f for f in findings if re.match(pattern, f)]


def test_the_plausible_base_has_no_findings():
    assert kelpkit.check_config(base()) == []


@pytest.mark.parametrize("kind", FINDINGS)
def test_each_finding_on_a_triggering_and_a_plausible_case(kind):
    pattern, bad, good = FINDINGS[kind]
    assert len(matching(pattern, kelpkit.check_config(bad))) == 1, kelpkit.check_config(bad)
    assert kelpkit.check_config(good) == []


@pytest.mark.parametrize("build", [kelpkit.munk, kelpkit.pekeris, kelpkit.ideal_wedge,
                                   kelpkit.seamount], ids=lambda f: f.__name__)
def test_ready_environments_have_no_findings(build):
    assert kelpkit.check_config(build()) == []


def small(cfg):
    cfg = copy.deepcopy(cfg)
    cfg["source"]["launch_elev_deg"] = [-10.0, 0.0, 10.0]
    cfg["source"]["launch_azim_deg"] = [0.0, 90.0]
    return cfg


def test_run_warns_with_each_finding_before_kelps_own_warnings():
    cfg = small(changed(source__position=[0.0, 0.0, 250.0], receivers__z_rcvr_m=[-10.0, 200.0]))
    cfg["foo"] = 1
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kelpkit.run(cfg)
    assert [str(w.message) for w in caught] == [
        "kelpkit: source: its depth 250 m lies below the bottom under it (200 m), inside the "
        "seabed",
        "kelpkit: receivers: 2 of 8 lie below the bottom under them, inside the seabed",
        "kelp: receivers: z_rcvr_m value -10 is negative (positive down convention); correcting "
        "to 10",
        "kelp: unknown input key is ignored: config.foo",
    ]
    assert all(w.category is UserWarning for w in caught)


def test_run_simulation_keeps_its_own_warnings_only():
    cfg = small(changed(source__position=[0.0, 0.0, 250.0]))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kelp.run_simulation(cfg)
    assert caught == []
    assert kelp.__all__ == ["__doc__", "run_simulation"]


def raised(call, cfg):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(BaseException) as info:
            call(cfg)
    return type(info.value), str(info.value), [str(w.message) for w in caught]


@pytest.mark.parametrize("cfg", [
    changed(beam__step_m=0.0),                                   # validation error
    changed(ssp__c_m_s=[1500.0] * 7),                            # grid the run cannot build
    changed(ssp__c_m_s=[1500.0] * 7, source__position=[0.0, 0.0, -5.0]),
    {"ssp": {1, 2}},                                             # not JSON-serialisable
], ids=["invalid", "unbuildable", "unbuildable after a warning", "unserialisable"])
def test_configurations_kelp_refuses_fail_alike_everywhere(cfg):
    kind, message, caught = raised(kelp.run_simulation, cfg)
    assert raised(kelp._check_config, cfg)[:2] == (kind, message)
    # kelpkit.run leaves refusals to kelp: the same error after the same kelp warnings, except
    # that kelp's PanicException becomes kelpkit's KelpInternalError, a RuntimeError that a
    # sweep's `except Exception` catches.
    if kind is kelp.PanicException:
        kind = kelpkit.KelpInternalError
    assert raised(kelpkit.run, cfg) == (kind, message, caught)
    assert raised(kelpkit.check_config, cfg)[:2] == (kind, message)
