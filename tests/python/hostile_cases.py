"""Hostile variations of a small valid configuration, for the crash/hang sweep.

Each case is (name, builder); the builder returns (config, setup) where setup, if not None,
is called in the child process before run_simulation (to replace sys.modules entries, etc.).
Cases are rebuilt identically in the child, so only the index crosses the process boundary.
"""

import copy
import math
import os
import sys


def base_config():
    return {
        "ssp": {"x_ssp_m": [0.0, 1000.0], "y_ssp_m": [0.0, 1000.0], "z_ssp_m": [0.0, 100.0],
                "c_m_s": [1500.0, 1510.0] * 4},
        "bathymetry": {"x_bty_m": [0.0, 1000.0], "y_bty_m": [0.0, 1000.0],
                       "z_bty_m": [100.0, 100.0, 120.0, 120.0],
                       "bottom_model": {"model": "acoustic", "compressional_speed_m_s": 1600.0,
                                        "density_g_cm3": 1.8}},
        "source": {"position": [0.0, 0.0, 30.0], "freq_hz": [100.0],
                   "launch_elev_deg": [-10.0, 0.0, 10.0], "launch_azim_deg": [0.0, 45.0]},
        "receivers": {"config_type": "grid", "x_rcvr_m": [0.0, 200.0, 400.0],
                      "y_rcvr_m": [0.0, 200.0, 400.0], "z_rcvr_m": [10.0, 50.0]},
        "beam": {"step_m": 10.0, "max_steps": 200, "max_range_m": 600.0},
    }


def _paths(node, prefix=()):
    """Every key path of the base configuration, records and leaves."""
    out = []
    if isinstance(node, dict):
        for k, v in node.items():
            out.append(prefix + (k,))
            out.extend(_paths(v, prefix + (k,)))
    return out


def _set(cfg, path, value):
    node = cfg
    for k in path[:-1]:
        node = node[k]
    node[path[-1]] = value


def _del(cfg, path):
    node = cfg
    for k in path[:-1]:
        node = node[k]
    del node[path[-1]]


class _Unserialisable:
    pass


class _BadStr(Exception):
    def __str__(self):
        raise ValueError("no text for you")


class _FakeJson:
    def __init__(self, dumps):
        self.dumps = dumps


def _raise_bad_str(_obj):
    raise _BadStr()


def _deep(depth):
    node = []
    for _ in range(depth):
        node = [node]
    return node


WRONG_VALUES = [
    ("none", None), ("true", True), ("string", "x"), ("int", 1), ("neg_int", -1),
    ("float", 1.5), ("empty_list", []), ("empty_dict", {}), ("nested_list", [[1.0]]),
    ("list_of_str", ["a"]), ("nan", math.nan), ("inf", math.inf), ("ninf", -math.inf),
    ("huge", 1e308), ("tiny", 5e-324), ("big_int", 2 ** 64), ("bytes", b"\x00\xff"),
]


def build_cases():
    cases = []
    base = base_config()
    for path in _paths(base):
        dotted = ".".join(path)
        for vname, value in WRONG_VALUES:
            def make(path=path, value=value):
                cfg = base_config()
                _set(cfg, path, copy.deepcopy(value))
                return cfg, None
            cases.append((f"{dotted}={vname}", make))

        def drop(path=path):
            cfg = base_config()
            _del(cfg, path)
            return cfg, None
        cases.append((f"{dotted}:missing", drop))

    def add(name, fn):
        cases.append((name, fn))

    def within_mib(mib, make):
        def limited():
            cfg, _ = make()
            return cfg, lambda: os.environ.__setitem__("KELP_MEMORY_LIMIT_MIB", str(mib))
        return limited

    def with_(**edits):
        def make():
            cfg = base_config()
            for dotted, value in edits.items():
                _set(cfg, tuple(dotted.split("__")), value)
            return cfg, None
        return make

    add("config_type=Grid", with_(receivers__config_type="Grid"))
    add("config_type=ARRAY", with_(receivers__config_type="ARRAY"))
    add("config_type=array ragged", with_(receivers__config_type="array"))
    add("c_m_s short", with_(ssp__c_m_s=[1500.0] * 7))
    add("c_m_s long", with_(ssp__c_m_s=[1500.0] * 9))
    add("c_m_s enormous", with_(ssp__c_m_s=[1500.0] * 2_000_000))
    add("z_bty short", with_(bathymetry__z_bty_m=[100.0] * 3))
    add("ssp axis unordered", with_(ssp__x_ssp_m=[1000.0, 0.0]))
    add("bty axis single node", with_(bathymetry__x_bty_m=[0.0], bathymetry__z_bty_m=[100.0, 100.0]))
    add("receivers unordered", with_(receivers__x_rcvr_m=[400.0, 0.0, 200.0]))
    add("receivers empty", with_(receivers__x_rcvr_m=[]))
    add("receivers enormous grid", with_(receivers__x_rcvr_m=[float(i) for i in range(20000)],
                                         receivers__y_rcvr_m=[float(i) for i in range(20000)],
                                         receivers__z_rcvr_m=[float(i) for i in range(100)]))
    add("max_steps u64 max", with_(beam__max_steps=2 ** 64 - 1))
    add("max_steps huge with paths", with_(beam__max_steps=10 ** 12, beam__store_ray_paths=True))
    add("vertical beam, max_steps u64 max", with_(source__launch_elev_deg=[90.0],
                                                  beam__max_steps=2 ** 64 - 1))
    # Over a flat bottom a vertical ray never leaves the range circle: it grows until the
    # memory budget stops it, here a small one so that the sweep does not fill the machine.
    add("vertical beam, flat bottom, max_steps u64 max",
        within_mib(64, with_(source__launch_elev_deg=[90.0], bathymetry__z_bty_m=[100.0] * 4,
                             beam__max_steps=2 ** 64 - 1)))
    add("step tiny", with_(beam__step_m=1e-30))
    add("step huge", with_(beam__step_m=3e38))
    add("range huge", with_(beam__max_range_m=3e38))
    add("elevations vertical", with_(source__launch_elev_deg=[-90.0, 0.0, 90.0]))
    add("elevations out of range", with_(source__launch_elev_deg=[95.0]))
    add("no beams", with_(source__launch_azim_deg=[]))
    add("many frequencies", with_(source__freq_hz=[float(f) for f in range(1, 200)]))
    add("negative frequencies", with_(source__freq_hz=[-100.0, 0.0]))
    add("source outside grid", with_(source__position=[-1e6, 1e6, 1e6]))
    add("source above surface", with_(source__position=[0.0, 0.0, -50.0]))
    add("position length 2", with_(source__position=[0.0, 0.0]))
    add("position length 4", with_(source__position=[0.0, 0.0, 1.0, 2.0]))
    add("bottom model unknown", with_(bathymetry__bottom_model={"model": "mud"}))
    add("bottom model Acoustic", with_(bathymetry__bottom_model={"model": "Acoustic"}))
    add("bottom model elastic zero shear", with_(bathymetry__bottom_model={
        "model": "elastic", "compressional_speed_m_s": 1600.0, "shear_speed_m_s": 0.0,
        "density_g_cm3": 1.8}))
    add("bottom model elastic", with_(bathymetry__bottom_model={
        "model": "elastic", "compressional_speed_m_s": 1600.0, "shear_speed_m_s": 300.0,
        "density_g_cm3": 1.8, "shear_attenuation_db_per_wavelength": 1e30}))
    add("integration RK2", with_(beam__integration_method="RK2"))
    add("integration object", with_(beam__integration_method={"rk2": None}))
    add("integration object extra", with_(beam__integration_method={"rk2": None, "euler": None}))
    add("progress text", with_(beam__show_progress=True, beam__atomic_progress_counter=True))
    add("progress bar", with_(beam__show_progress=True))

    def top(value):
        return lambda: (value, None)

    for name, value in [("top none", None), ("top list", []), ("top int", 3), ("top str", "{}"),
                        ("top bytes", b"{}"), ("top set", {1, 2}),
                        ("top unserialisable", _Unserialisable()),
                        ("deep nesting 200", {"ssp": _deep(200)}),
                        ("deep nesting 100000", {"ssp": _deep(100000)}),
                        ("non-string key int", {**base_config(), 1: 2}),
                        ("non-string key tuple", {**base_config(), (1, 2): 2}),
                        ("array form config", list(base_config().values()))]:
        add(name, top(value))

    def json_dumps_raises_bad_str():
        return base_config(), lambda: sys.modules.__setitem__("json", _FakeJson(_raise_bad_str))

    def json_dumps_returns_bytes():
        return base_config(), lambda: sys.modules.__setitem__("json", _FakeJson(lambda o: b"{}"))

    def json_missing():
        return base_config(), lambda: sys.modules.__setitem__("json", None)

    def json_invalid_text():
        return base_config(), lambda: sys.modules.__setitem__(
            "json", _FakeJson(lambda o: "\udcff{\x00" * 1000))

    add("json.dumps raises with failing __str__", json_dumps_raises_bad_str)
    add("json.dumps returns bytes", json_dumps_returns_bytes)
    add("json module missing", json_missing)
    add("json.dumps returns lone surrogates", json_invalid_text)
    return cases
