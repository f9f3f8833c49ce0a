"""Failures at the Python boundary: the RuntimeError prefixes, the warnings and their order,
and PanicException for fatal errors of the run."""

import re
import sys
import types
import warnings

import numpy as np
import pytest

from conftest import replaced_modules

kelp = pytest.importorskip("kelp")

UNKNOWN = "kelp: unknown input key is ignored: config."
UNEVEN_ELEV = ("kelp: source: launch_elev_deg is not evenly spaced; beam spacing is taken from "
               "its first two entries")
UNEVEN_AZIM = ("kelp: source: launch_azim_deg is not evenly spaced; beam spacing is taken from "
               "its first two entries")


class BadStr(Exception):
    def __str__(self):
        raise ValueError("no text")


def fake_module(**attrs):
    module = types.ModuleType("fake")
    module.__dict__.update(attrs)
    return module


def raise_(exc):
    raise exc


def set_path(cfg, path, value):
    node = cfg
    for key in path[:-1]:
        node = node[key]
    node[path[-1]] = value


# (id, path to change, new value or None to delete, sys.modules patches, exact message or
# regular expression for the RuntimeError)
RUNTIME_ERRORS = [
    ("json-not-importable", None, None, {"json": None},
     "failed to import json: ModuleNotFoundError: import of json halted; None in sys.modules"),
    ("dumps-rejects-set", ("source", "freq_hz"), {100.0}, {},
     "json.dumps failed: TypeError: Object of type set is not JSON serializable"),
    ("dumps-rejects-ndarray", ("source", "freq_hz"), np.array([100.0]), {},
     "json.dumps failed: TypeError: Object of type ndarray is not JSON serializable"),
    ("dumps-missing", None, None, {"json": fake_module()},
     "json.dumps failed: AttributeError: module 'fake' has no attribute 'dumps'"),
    ("dumps-str-fails", None, None, {"json": fake_module(dumps=lambda o: raise_(BadStr()))},
     "json.dumps failed: BadStr: <exception str() failed>"),
    ("dumps-returns-int", None, None, {"json": fake_module(dumps=lambda o: 5)},
     "extract json string failed: TypeError: 'int' object cannot be converted to 'str'"),
    ("dumps-returns-surrogate", None, None, {"json": fake_module(dumps=lambda o: "\ud800")},
     "extract json string failed: UnicodeEncodeError: 'utf-8' codec can't encode character "
     "'\\ud800' in position 0: surrogates not allowed"),
    ("nan", ("beam", "step_m"), float("nan"), {},
     re.compile(r"failed to parse config JSON: .* at line 1 column \d+")),
    ("infinity", ("source", "position"), [0.0, 0.0, float("inf")], {},
     re.compile(r"failed to parse config JSON: .* at line 1 column \d+")),
    ("missing-beam", ("beam",), None, {},
     re.compile(r"failed to parse config JSON: missing field `beam` at line 1 column \d+")),
    ("float-max-steps", ("beam", "max_steps"), 200.0, {},
     re.compile(r"failed to parse config JSON: invalid type: floating point `200(\.0)?`, "
                r"expected usize at line 1 column \d+")),
    ("validation", ("beam", "step_m"), 0.0, {},
     "invalid simulation config: Invalid simulation config:\n  - beam: step_m must be positive"),
    ("validation-empty-speeds", ("ssp", "c_m_s"), [], {},
     "invalid simulation config: Invalid simulation config:\n  - ssp: c_m_s must not be empty"),
]


@pytest.mark.parametrize("path,value,modules,message",
                         [case[1:] for case in RUNTIME_ERRORS],
                         ids=[case[0] for case in RUNTIME_ERRORS])
def test_runtime_error_messages(config, path, value, modules, message):
    if path is not None:
        if value is None:
            node = config
            for key in path[:-1]:
                node = node[key]
            del node[path[-1]]
        else:
            set_path(config, path, value)
    with pytest.raises(RuntimeError) as info, replaced_modules(modules):
        kelp.run_simulation(config)
    text = str(info.value)
    if isinstance(message, str):
        assert text == message
    else:
        assert message.fullmatch(text), text
    # Only the text of the Python error survives; it is not chained as the cause.
    assert info.value.__cause__ is None


def test_exception_text_uses_qualname(config):
    class Inner(Exception):
        pass

    fake = fake_module(dumps=lambda o: raise_(Inner("bad \u00e9")))
    with pytest.raises(RuntimeError) as info, replaced_modules({"json": fake}):
        kelp.run_simulation(config)
    assert str(info.value) == (
        "json.dumps failed: test_exception_text_uses_qualname.<locals>.Inner: bad \u00e9")


def test_unknown_keys_and_order_of_warnings(config):
    # Validation warnings first, then the uneven fans, then unknown keys in dict order (the
    # insertion order json.dumps keeps, not sorted).
    config["zeta"] = 1
    config["beam"]["foo"] = {"deep": [1, {"x": 2}]}
    config["alpha"] = None
    config["source"]["position"][2] = -50.0
    config["receivers"]["z_rcvr_m"] = [-30.0, 50.0, -0.5, 90.0]
    config["source"]["launch_elev_deg"] = [-10.0, 0.0, 5.0]
    config["source"]["launch_azim_deg"] = [-5.0, 0.0, 10.0]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kelp.run_simulation(config)
    assert [str(w.message) for w in caught] == [
        "kelp: source: z position -50 is negative (positive down convention); correcting to 50",
        "kelp: receivers: z_rcvr_m value -30 is negative (positive down convention); "
        "correcting to 30",
        "kelp: receivers: z_rcvr_m value -0.5 is negative (positive down convention); "
        "correcting to 0.5",
        UNEVEN_ELEV,
        UNEVEN_AZIM,
        UNKNOWN + "beam.foo",  # "beam" stands before the two added top-level keys
        UNKNOWN + "zeta",
        UNKNOWN + "alpha",
    ]
    assert all(w.category is UserWarning for w in caught)
    # stacklevel 1 from C code attributes the warning to the Python caller.
    assert all(w.filename == __file__ for w in caught)


@pytest.mark.parametrize("angles,uneven", [
    ([-1.0, 0.0, 0.1, 0.2, 0.3], True),      # one beam a degree below a 0.1 degree fan
    ([0.0, 1.0, 2.0005, 3.001], False),      # spacings within 0.1 % of the first
    ([0.0, 1.0, 2.002], True),               # 0.2 % off
    ([30.0, 20.0, 10.0, 0.0, -10.0], False),  # descending is even
    ([0.0, 1.0, 3.0], True),
    ([0.0, 7.0], False),                     # two angles define the spacing
    ([5.0], False),
    ([], False),
    ([0.0, 0.0, 1.0], True),                 # zero first spacing
    ([round(-80.0 + 0.01 * i, 6) for i in range(16001)], False),  # float32 rounding only
])
@pytest.mark.parametrize("key", ["launch_elev_deg", "launch_azim_deg"])
def test_uneven_fan_warning(config, angles, uneven, key):
    other = "launch_azim_deg" if key == "launch_elev_deg" else "launch_elev_deg"
    # Azimuths are shifted so that their rounding is that of larger magnitudes.
    offset = 0.0 if key == "launch_elev_deg" else 100.0
    config["source"][key] = [a + offset for a in angles]
    config["source"][other] = [0.0]
    config["beam"]["max_steps"] = 2
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kelp.run_simulation(config)
    expected = UNEVEN_ELEV if key == "launch_elev_deg" else UNEVEN_AZIM
    assert [str(w.message) for w in caught] == ([expected] if uneven else [])


def test_error_filter_stops_before_the_run(config):
    # The receiver lists are ragged, so a run would end in PanicException: a RuntimeError
    # proves that the failed warning ended the call before the run.
    config["receivers"] = {"config_type": "array", "x_rcvr_m": [0.0, 1.0], "y_rcvr_m": [0.0],
                           "z_rcvr_m": [10.0]}
    config["foo"] = 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeError) as info:
            kelp.run_simulation(config)
    assert str(info.value) == "warnings.warn failed: UserWarning: " + UNKNOWN + "foo"


def test_warnings_after_a_failing_one_are_not_emitted(config):
    for key in ["foo", "bar", "baz"]:
        config[key] = 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.filterwarnings("error", message=re.escape(UNKNOWN + "bar"))
        with pytest.raises(RuntimeError, match="^warnings.warn failed: UserWarning: "):
            kelp.run_simulation(config)
    assert [str(w.message) for w in caught] == [UNKNOWN + "foo"]


@pytest.mark.parametrize("module,message", [
    (None, "failed to import warnings: ModuleNotFoundError: import of warnings halted; "
           "None in sys.modules"),
    (fake_module(warn=lambda text: raise_(KeyError(text))),
     "warnings.warn failed: KeyError: '" + UNKNOWN + "foo'"),
], ids=["not-importable", "warn-raises"])
def test_warnings_module_failures(config, module, message):
    config["foo"] = 1
    with pytest.raises(RuntimeError) as info, replaced_modules({"warnings": module}):
        kelp.run_simulation(config)
    assert str(info.value) == message


def test_warnings_module_is_looked_up_on_every_call(config):
    seen = []
    config["foo"] = 1
    with replaced_modules({"warnings": fake_module(warn=seen.append)}):
        kelp.run_simulation(config)
        kelp.run_simulation(config)
    assert seen == [UNKNOWN + "foo"] * 2


@pytest.mark.parametrize("change,message", [
    ({"receivers": {"config_type": "array", "x_rcvr_m": [0.0, 1.0, 2.0],
                    "y_rcvr_m": [0.0, 1.0, 2.0], "z_rcvr_m": [10.0, 20.0]}},
     "array receiver coordinates must have equal lengths"),
    ({"receivers": {"config_type": "array", "x_rcvr_m": [0.0], "y_rcvr_m": [],
                    "z_rcvr_m": [10.0]}},
     "array receiver coordinates must have equal lengths"),
    ({"ssp": {"x_ssp_m": [0.0, 1.0], "y_ssp_m": [0.0, 1.0], "z_ssp_m": [0.0, 1.0],
              "c_m_s": [1500.0] * 7}},
     "c_m_s does not match grid dimensions: ShapeError/OutOfBounds: out of bounds indexing"),
    ({"ssp": {"x_ssp_m": [0.0, 1.0], "y_ssp_m": [0.0, 1.0], "z_ssp_m": [0.0, 1.0],
              "c_m_s": [1500.0] * 9}},
     "c_m_s does not match grid dimensions: ShapeError/IncompatibleShape: incompatible shapes"),
], ids=["ragged-receivers", "ragged-receivers-empty-y", "speeds-short", "speeds-long"])
def test_fatal_errors_raise_panic_exception(config, change, message):
    config.update(change)
    with pytest.raises(kelp.PanicException) as info:
        try:
            kelp.run_simulation(config)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    assert str(info.value) == message
    assert type(info.value) is kelp.PanicException


def test_module_usable_after_failures(config):
    bad = dict(config, beam={"step_m": 0.0, "max_steps": 1, "max_range_m": 1.0})
    for _ in range(3):
        with pytest.raises(RuntimeError):
            kelp.run_simulation(bad)
        with pytest.raises(kelp.PanicException):
            kelp.run_simulation(dict(config, ssp=dict(config["ssp"], c_m_s=[1500.0])))
    assert "pressure_field" in kelp.run_simulation(config)
