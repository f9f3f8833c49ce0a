"""The module object, the function's calling convention and the layout of the output dict."""

import copy
import inspect
import math
import subprocess
import sys

import pytest

from conftest import replaced_modules, small_config

kelp = pytest.importorskip("kelp")

RUN_SIMULATION_DOC = "\n".join([
    "Run an kelp simulation from a Python configuration object.",
    "",
    "Parameters",
    "----------",
    "py_cfg : dict-like",
    "    Simulation configuration following the kelp input schema.",
    "",
    "Returns",
    "-------",
    "dict",
    "    Output dictionary containing `pressure_field` and optional `ray_paths`.",
    "",
    "Notes",
    "-----",
    "Unknown config keys are ignored and emitted as Python warnings.",
])

GRID_KEYS = ["x_m", "y_m", "z_m", "frequency_hz", "shape", "pressure_re", "pressure_im",
             "delay_s", "amplitude"]
ARRAY_KEYS = ["receiver_positions_m", "frequency_hz", "shape", "pressure_re", "pressure_im",
              "delay_s", "amplitude"]


def test_module_attributes():
    assert kelp.__doc__ == "Python bindings for the kelp underwater acoustic ray tracer."
    assert kelp.__all__ == ["__doc__", "run_simulation"]
    assert kelp.PanicException.__bases__ == (BaseException,)
    assert not issubclass(kelp.PanicException, Exception)
    assert kelp.PanicException.__qualname__ == "PanicException"
    assert "PanicException" not in kelp.__all__


def test_function_signature_and_doc():
    f = kelp.run_simulation
    assert f.__name__ == "run_simulation"
    assert f.__text_signature__ == "(py_cfg, /)"
    assert f.__doc__ == RUN_SIMULATION_DOC
    (param,) = inspect.signature(f).parameters.values()
    assert param.name == "py_cfg"
    assert param.kind is inspect.Parameter.POSITIONAL_ONLY


@pytest.mark.parametrize("call", [
    lambda f, cfg: f(),
    lambda f, cfg: f(cfg, cfg),
    lambda f, cfg: f(py_cfg=cfg),
    lambda f, cfg: f(cfg, extra=1),
], ids=["no-argument", "two-positional", "by-keyword", "extra-keyword"])
def test_argument_errors_are_type_errors(call, config):
    with pytest.raises(TypeError, match="run_simulation"):
        call(kelp.run_simulation, config)


def test_import_after_removal_gives_the_same_module():
    # The module is initialised once per process; importing it again after removing it from
    # sys.modules hands back that module, so there is only ever one PanicException type.
    code = (
        "import sys, kelp\n"
        "first = kelp\n"
        "del sys.modules['kelp']\n"
        "import kelp\n"
        "print(kelp is first, kelp.PanicException is first.PanicException)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout.split() == ["True", "True"]


def test_grid_layout_and_row_major_order(config):
    # Axes of lengths 3, 2, 4 and two frequencies.
    out = kelp.run_simulation(config)
    assert list(out) == ["pressure_field"]
    pf = out["pressure_field"]
    assert list(pf) == GRID_KEYS
    assert pf["shape"] == (2, 3, 2, 4)
    assert type(pf["shape"]) is tuple and all(type(n) is int for n in pf["shape"])
    assert pf["x_m"] == [-20.0, 0.0, 20.0]
    assert pf["y_m"] == [100.0, 200.0]
    assert pf["z_m"] == [30.0, 50.0, 70.0, 90.0]
    assert pf["frequency_hz"] == [100.0, 250.0]
    assert len(pf["pressure_re"]) == len(pf["pressure_im"]) == 48
    assert len(pf["delay_s"]) == len(pf["amplitude"]) == 24
    for key in ["pressure_re", "pressure_im", "delay_s", "amplitude"]:
        assert all(type(v) is float for v in pf[key])

    # The element of (frequency 1, x 2, y 0, z 3) stands at 1*24 + 2*8 + 0*4 + 3 = 43; the same
    # receiver as the only point of an array-mode run must hold the same numbers.
    single = copy.deepcopy(config)
    single["receivers"] = {"config_type": "array", "x_rcvr_m": [20.0], "y_rcvr_m": [100.0],
                           "z_rcvr_m": [90.0]}
    ref = kelp.run_simulation(single)["pressure_field"]
    assert ref["shape"] == (2, 1, 1, 1)
    assert pf["delay_s"][2 * 8 + 3] == ref["delay_s"][0]
    assert math.isfinite(ref["delay_s"][0])
    for key in ["pressure_re", "pressure_im"]:
        assert abs(ref[key][1]) > 0.0
        assert pf[key][43] == pytest.approx(ref[key][1], rel=1e-5)
        assert pf[key][2 * 8 + 3] == pytest.approx(ref[key][0], rel=1e-5)


def test_array_layout_with_ray_paths(config):
    config["receivers"] = {"config_type": "array", "x_rcvr_m": [0.0, 10.0, -10.0, 0.0, 5.0],
                           "y_rcvr_m": [100.0, 150.0, 200.0, 250.0, 10.0],
                           "z_rcvr_m": [50.0, 40.0, 60.0, 50.0, 55.0]}
    config["source"]["launch_azim_deg"] = [0.0, 90.0]
    config["source"]["launch_elev_deg"] = [-10.0, 0.0, 10.0]
    config["beam"]["store_ray_paths"] = True
    out = kelp.run_simulation(config)
    assert list(out) == ["ray_paths", "pressure_field"]
    pf = out["pressure_field"]
    assert list(pf) == ARRAY_KEYS
    assert pf["shape"] == (2, 5, 1, 1)
    assert pf["receiver_positions_m"] == [[0.0, 100.0, 50.0], [10.0, 150.0, 40.0],
                                          [-10.0, 200.0, 60.0], [0.0, 250.0, 50.0],
                                          [5.0, 10.0, 55.0]]
    assert len(pf["pressure_re"]) == 10 and len(pf["delay_s"]) == 5

    paths = out["ray_paths"]
    assert len(paths) == 6
    for path in paths:
        assert path[0] == [0.0, 0.0, 50.0]
        assert all(type(p) is list and len(p) == 3 and all(type(v) is float for v in p)
                   for p in path)
    # Azimuth-major fan: path 4 is azimuth 90 (towards +x), elevation 0 (level).
    end = paths[4][-1]
    assert end[0] > 250.0 and abs(end[1]) < 1e-3 and end[2] == pytest.approx(50.0, abs=1e-3)
    # Path 1 is azimuth 0, elevation 0: along +y.
    end = paths[1][-1]
    assert abs(end[0]) < 1e-3 and end[1] > 250.0


def test_tuples_are_accepted_as_lists(config):
    config["beam"]["store_ray_paths"] = True
    as_lists = kelp.run_simulation(config)

    def to_tuples(node):
        if isinstance(node, dict):
            return {k: to_tuples(v) for k, v in node.items()}
        if isinstance(node, list):
            return tuple(to_tuples(v) for v in node)
        return node

    as_tuples = kelp.run_simulation(to_tuples(config))
    assert as_tuples["ray_paths"] == as_lists["ray_paths"]
    for key in ["delay_s", "amplitude", "shape"]:
        assert as_tuples["pressure_field"][key] == as_lists["pressure_field"][key]
    assert as_tuples["pressure_field"]["pressure_re"] == pytest.approx(
        as_lists["pressure_field"]["pressure_re"], rel=1e-5, abs=1e-12)


@pytest.mark.parametrize("mode", ["grid", "array"])
def test_no_beams_leaves_initial_field(config, mode):
    config["source"]["launch_elev_deg"] = []
    config["beam"]["store_ray_paths"] = True
    if mode == "array":
        config["receivers"] = {"config_type": "array", "x_rcvr_m": [0.0, 1.0],
                               "y_rcvr_m": [10.0, 20.0], "z_rcvr_m": [5.0, 6.0]}
    out = kelp.run_simulation(config)
    assert out["ray_paths"] == []
    pf = out["pressure_field"]
    n = 24 if mode == "grid" else 2
    assert pf["delay_s"] == [math.inf] * n
    assert pf["amplitude"] == [0.0] * n
    assert pf["pressure_re"] == [0.0] * (2 * n) and pf["pressure_im"] == [0.0] * (2 * n)


def test_array_mode_with_no_receivers(config):
    config["receivers"] = {"config_type": "array", "x_rcvr_m": [], "y_rcvr_m": [],
                           "z_rcvr_m": []}
    pf = kelp.run_simulation(config)["pressure_field"]
    assert pf["shape"] == (2, 0, 1, 1)
    assert pf["receiver_positions_m"] == []
    assert pf["pressure_re"] == pf["pressure_im"] == pf["delay_s"] == pf["amplitude"] == []


def test_empty_frequency_list_still_records_arrivals(config):
    config["source"]["freq_hz"] = []
    pf = kelp.run_simulation(config)["pressure_field"]
    assert pf["shape"] == (0, 3, 2, 4)
    assert pf["frequency_hz"] == [] and pf["pressure_re"] == [] and pf["pressure_im"] == []
    assert any(math.isfinite(d) for d in pf["delay_s"])


def test_unreached_receiver_reports_infinity(config):
    # The rays stop at 300 m range; a receiver 5 km away is never reached.
    config["receivers"] = {"config_type": "array", "x_rcvr_m": [0.0], "y_rcvr_m": [5000.0],
                           "z_rcvr_m": [50.0]}
    pf = kelp.run_simulation(config)["pressure_field"]
    assert pf["delay_s"] == [math.inf]
    assert pf["amplitude"] == [0.0]
    assert pf["pressure_re"] == [0.0, 0.0] and pf["pressure_im"] == [0.0, 0.0]


def test_corrected_depths_reach_the_output(config):
    config["receivers"]["z_rcvr_m"] = [-30.0, 50.0, 70.0, 90.0]
    with pytest.warns(UserWarning):
        pf = kelp.run_simulation(config)["pressure_field"]
    assert pf["z_m"] == [30.0, 50.0, 70.0, 90.0]


def test_json_is_looked_up_on_every_call(config):
    import json

    calls = []

    class CountingJson:
        @staticmethod
        def dumps(obj):
            calls.append(obj)
            return json.dumps(obj)

    kelp.run_simulation(config)
    with replaced_modules({"json": CountingJson}):
        kelp.run_simulation(config)
    assert calls == [config]


def test_warnings_module_not_imported_without_warnings(config):
    # An import of "warnings" would fail; a clean configuration must not need it.
    with replaced_modules({"warnings": None}):
        out = kelp.run_simulation(config)
    assert "pressure_field" in out


def test_results_do_not_share_objects_between_calls(config):
    a = kelp.run_simulation(config)
    b = kelp.run_simulation(config)
    assert a is not b
    assert a["pressure_field"]["x_m"] is not b["pressure_field"]["x_m"]
    assert a["pressure_field"]["delay_s"] == b["pressure_field"]["delay_s"]


def test_default_config_is_not_modified(config):
    config["receivers"]["z_rcvr_m"] = [-30.0, 50.0, 70.0, 90.0]
    before = copy.deepcopy(config)
    with pytest.warns(UserWarning):
        kelp.run_simulation(config)
    assert config == before
    assert small_config()["receivers"]["z_rcvr_m"][0] == 30.0
