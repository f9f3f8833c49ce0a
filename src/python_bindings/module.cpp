// The Python module kelp: run_simulation(py_cfg, /) passes the configuration through Python's
// own json module, parses and validates it, reports warnings through Python's warnings module,
// runs the simulation with the interpreter lock held, and returns a dict of plain lists.
//
// Two kinds of failure leave this module. Everything the caller can cause and fix (an object
// json cannot serialise, a schema or validation error, a warning filter that raises) becomes a
// RuntimeError with a fixed prefix. Fatal errors of the builders and internal faults become
// PanicException, a BaseException, so that a blanket `except Exception` does not swallow a
// broken run. No C++ exception ever unwinds into the interpreter.

#include "core/constants.hpp"
#include "core/fatal.hpp"
#include "engine/engine.hpp"
#include "engine/plausibility.hpp"
#include "influence/influence.hpp"
#include "input/config.hpp"

#include <pybind11/pybind11.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace kelp::python_bindings {
namespace {

constexpr const char* kModuleDoc =
    "Python bindings for the kelp underwater acoustic ray tracer.";

// CPython splits this at "--\n\n": the first line becomes __text_signature__ "(py_cfg, /)",
// the rest __doc__.
constexpr const char* kRunSimulationDoc =
    "run_simulation(py_cfg, /)\n"
    "--\n"
    "\n"
    "Run an kelp simulation from a Python configuration object.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "py_cfg : dict-like\n"
    "    Simulation configuration following the kelp input schema.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "dict\n"
    "    Output dictionary containing `pressure_field` and optional `ray_paths`.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "Unknown config keys are ignored and emitted as Python warnings.";

constexpr const char* kCheckConfigDoc =
    "_check_config(py_cfg, /)\n"
    "--\n"
    "\n"
    "Plausibility findings for a configuration, as a list of str (empty when nothing looks\n"
    "wrong). The configuration is read and validated as run_simulation reads it, with the "
    "same\n"
    "errors; its warnings are not emitted and nothing is run. Use kelpkit.check_config.";

constexpr const char* kRunFanPartDoc =
    "_run_fan_part(py_cfg, first, last, /, *, cancel=None, warn=True, max_threads=0)\n"
    "--\n"
    "\n"
    "Run beams first .. last - 1 of the configuration's fan (azimuth-major index) exactly as\n"
    "run_simulation runs them within the whole fan: the whole fan's spacings, blocks and\n"
    "normalisation. The interpreter lock is released while the beams run. Returns a dict of\n"
    "'first_beam', 'last_beam', 'shape' (F, D1, D2, D3), 'frequency_hz', the receivers'\n"
    "geometry ('x_m', 'y_m', 'z_m' lists, or 'receiver_positions_m' as float32 bytes (N, 3)),\n"
    "'pressure' (complex64 bytes, row-major over shape), 'delay_s' and 'amplitude' (float32\n"
    "bytes over (D1, D2, D3)) and, with stored paths, 'ray_path_lengths' (uint64 bytes, one\n"
    "per beam in launch order) and 'ray_path_points' (float32 bytes (n, 3)); with\n"
    "beam.max_arrivals, which needs the whole fan in one part, 'arrivals' as run_simulation\n"
    "returns it. Parts merge in\n"
    "launch order: pressures add, and a later part's arrival replaces an earlier one where\n"
    "its delay is smaller, or equal with a larger |amplitude|.\n"
    "\n"
    "cancel: a _CancelToken; its cancel() stops the run before the next beam, and the call\n"
    "then raises KeyboardInterrupt. Its beams_finished counts the beams done so far. warn:\n"
    "emit kelp's warnings for the configuration. max_threads: cap the pool (0: the default).\n"
    "Errors are run_simulation's; a range outside the fan raises RuntimeError. Private: use\n"
    "kelpkit.run.";

constexpr const char* kCancelTokenDoc =
    "A flag another thread sets to stop a _run_fan_part call, and the count of beams that\n"
    "call has finished. Private: used by kelpkit.run.";

// Created at the module's only initialisation and kept for the life of the process.
PyObject* g_panic_exception = nullptr;

// A failure the caller can act on; becomes RuntimeError(message).
struct BoundaryError {
    std::string message;
};

py::object steal(PyObject* p) {
    return py::reinterpret_steal<py::object>(p);
}

// UTF-8 of a str, with lone surrogates written as escapes so that no text ever fails to
// convert.
std::string to_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return {utf8, size_t(size)};
    PyErr_Clear();
    const py::object bytes =
        steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return {PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr()))};
}

// Takes the pending Python error and returns its text "TypeName: str(exc)", TypeName being the
// type's __qualname__. The error itself is dropped: only its text survives in the message.
std::string take_python_error_text() {
#if PY_VERSION_HEX >= 0x030C0000
    const py::object exc = steal(PyErr_GetRaisedException());
    if (!exc) return "<no exception set>";
    const py::object exc_type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const py::object exc_type = steal(type), exc = steal(value), exc_tb = steal(traceback);
    if (!exc_type) return "<no exception set>";
#endif

    std::string text;
    if (const py::object qualname =
            steal(PyObject_GetAttrString(exc_type.ptr(), "__qualname__"));
        qualname && PyUnicode_Check(qualname.ptr())) {
        text = to_utf8(qualname.ptr());
    } else {
        PyErr_Clear();
        text = PyType_Check(exc_type.ptr())
                   ? reinterpret_cast<PyTypeObject*>(exc_type.ptr())->tp_name
                   : "<unknown>";
    }
    text += ": ";
    if (const py::object str = steal(exc ? PyObject_Str(exc.ptr()) : nullptr)) {
        text += to_utf8(str.ptr());
    } else {
        PyErr_Clear();
        text += "<exception str() failed>";
    }
    return text;
}

[[noreturn]] void fail_with_python_error(std::string_view prefix) {
    std::string message(prefix);
    message += take_python_error_text();
    throw BoundaryError{std::move(message)};
}

// `import name` through the import machinery, so that a replaced sys.modules entry is honoured.
py::object import_module(const char* name, std::string_view failure_prefix) {
    py::object module = steal(PyImport_ImportModule(name));
    if (!module) fail_with_python_error(failure_prefix);
    return module;
}

// module.attr(arg) with one positional argument and no keywords.
py::object call_attribute(const py::object& module, const char* attr, PyObject* arg,
                          std::string_view failure_prefix) {
    const py::object function = steal(PyObject_GetAttrString(module.ptr(), attr));
    if (!function) fail_with_python_error(failure_prefix);
    py::object result = steal(PyObject_CallFunctionObjArgs(function.ptr(), arg, nullptr));
    if (!result) fail_with_python_error(failure_prefix);
    return result;
}

std::string dump_config_json(PyObject* py_cfg) {
    const py::object json = import_module("json", "failed to import json: ");
    const py::object text = call_attribute(json, "dumps", py_cfg, "json.dumps failed: ");
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'",
                     Py_TYPE(text.ptr())->tp_name);
        fail_with_python_error("extract json string failed: ");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) fail_with_python_error("extract json string failed: ");
    return {utf8, size_t(size)};
}

// The beam width of every launch direction is the spacing of the first two angles of its list,
// so a fan with any other spacing gets beams that are too wide or too narrow: one extra beam a
// degree below a 0.1-degree fan raises |p| by about 16 dB. Spacings that differ from the first
// by more than 0.1 % are reported. The angles arrive as floats, so each difference also carries
// up to one unit in the last place of each end point; that rounding is not a real unevenness.
bool is_evenly_spaced(std::span<const float> angles_deg) {
    if (angles_deg.size() < 3) return true;
    constexpr float kRelativeTolerance = 1.0e-3f;
    constexpr float kUlp = std::numeric_limits<float>::epsilon();
    const float first = angles_deg[1] - angles_deg[0];
    const float first_rounding = kUlp * (std::fabs(angles_deg[0]) + std::fabs(angles_deg[1]));
    for (std::size_t i = 1; i + 1 < angles_deg.size(); ++i) {
        const float spacing = angles_deg[i + 1] - angles_deg[i];
        const float rounding =
            first_rounding + kUlp * (std::fabs(angles_deg[i]) + std::fabs(angles_deg[i + 1]));
        const float tolerance = kRelativeTolerance * std::fabs(first) + rounding;
        // Written so that a NaN spacing counts as uneven.
        if (!(std::fabs(spacing - first) <= tolerance)) return false;
    }
    return true;
}

std::vector<std::string> collect_warnings(const input::SimulationConfig& config,
                                          std::vector<std::string> validation_warnings,
                                          const input::UnknownKeySink& unknown_keys) {
    std::vector<std::string> warnings = std::move(validation_warnings);
    if (!is_evenly_spaced(config.source.launch_elev_deg)) {
        warnings.emplace_back("source: launch_elev_deg is not evenly spaced; beam spacing is "
                              "taken from its first two entries");
    }
    if (!is_evenly_spaced(config.source.launch_azim_deg)) {
        warnings.emplace_back("source: launch_azim_deg is not evenly spaced; beam spacing is "
                              "taken from its first two entries");
    }
    for (const std::string& path : unknown_keys) {
        warnings.push_back("unknown input key is ignored: config." + path);
    }
    return warnings;
}

// Emits every warning in order; the first one a filter turns into an exception ends the call,
// and the rest are not emitted. The warnings module is imported only when there is something
// to say.
void emit_warnings(const std::vector<std::string>& warnings) {
    if (warnings.empty()) return;
    const py::object module = import_module("warnings", "failed to import warnings: ");
    for (const std::string& warning : warnings) {
        const std::string text = "kelp: " + warning;
        const py::object message =
            steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
        if (!message) fail_with_python_error("warnings.warn failed: ");
        call_attribute(module, "warn", message.ptr(), "warnings.warn failed: ");
    }
}

// New list of Python floats; each float is widened exactly.
py::object float_list(std::span<const float> values, std::string_view failure_prefix) {
    py::object list = steal(PyList_New(Py_ssize_t(values.size())));
    if (!list) fail_with_python_error(failure_prefix);
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (!item) fail_with_python_error(failure_prefix);
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), item);
    }
    return list;
}

py::object point_list(std::span<const std::array<float, 3>> points,
                      std::string_view failure_prefix) {
    py::object list = steal(PyList_New(Py_ssize_t(points.size())));
    if (!list) fail_with_python_error(failure_prefix);
    for (std::size_t i = 0; i < points.size(); ++i) {
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i),
                        float_list(points[i], failure_prefix).release().ptr());
    }
    return list;
}

void set_item(const py::object& dict, const char* key, const py::object& value) {
    if (PyDict_SetItemString(dict.ptr(), key, value.ptr()) != 0) {
        fail_with_python_error(std::string("failed to set ") + key + ": ");
    }
}

template <typename Array> std::size_t element_count(const Array& array) {
    std::size_t n = 1;
    for (const std::size_t extent : array.shape)
        n *= extent;
    return n;
}

// The flattening below indexes the arrays by their shapes; a field whose storage disagrees with
// its shapes is a fault of the code that built it, never of the input.
void check_field_layout(const influence::PressureField& field) {
    const auto& p = field.pressure;
    const bool consistent = element_count(p) == p.data.size() &&
                            element_count(field.delay_s) == field.delay_s.data.size() &&
                            field.delay_s.shape == field.amplitude.shape &&
                            field.delay_s.data.size() == field.amplitude.data.size() &&
                            p.shape[1] == field.delay_s.shape[0] &&
                            p.shape[2] == field.delay_s.shape[1] &&
                            p.shape[3] == field.delay_s.shape[2];
    if (!consistent) fail("pressure field storage does not match its shape");
}

// Array receivers as a list of (x, y, z) points, in list order.
py::object receiver_point_list(const input::Receivers& rc) {
    const char* failure = "failed to set receiver_positions_m: ";
    const std::size_t n = rc.x_rcvr_m.size();
    py::object list = steal(PyList_New(Py_ssize_t(n)));
    if (!list) fail_with_python_error(failure);
    for (std::size_t i = 0; i < n; ++i) {
        const std::array<float, 3> point{rc.x_rcvr_m[i], rc.y_rcvr_m[i], rc.z_rcvr_m[i]};
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), float_list(point, failure).release().ptr());
    }
    return list;
}

// New list of Python ints.
template <typename Int> py::object int_list(std::span<const Int> values, const char* failure) {
    py::object list = steal(PyList_New(Py_ssize_t(values.size())));
    if (!list) fail_with_python_error(failure);
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item =
            PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(values[i]));
        if (!item) fail_with_python_error(failure);
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), item);
    }
    return list;
}

// The arrivals table as flat columns, one row per arrival, rows by receiver (flat index, as
// "delay_s" of the field) and by delay within a receiver; "amplitude_re"/"amplitude_im" hold
// the row's F amplitudes one after another. Angles in degrees. "dropped" counts, per
// receiver, the arrivals a full table discarded.
py::object build_arrivals(const influence::ArrivalTable& table) {
    const char* failure = "failed to set arrivals: ";
    std::size_t rows = 0;
    for (const influence::ArrivalRow& head : table.heads)
        rows += head.count;
    std::vector<std::uint64_t> receiver, beam, dropped(table.receivers, 0);
    std::vector<std::uint32_t> surface, bottom;
    std::vector<float> delay, launch_elev, launch_azim, arrival_elev, arrival_azim, re, im;
    receiver.reserve(rows);
    beam.reserve(rows);
    surface.reserve(rows);
    bottom.reserve(rows);
    for (auto* column : {&delay, &launch_elev, &launch_azim, &arrival_elev, &arrival_azim})
        column->reserve(rows);
    re.reserve(rows * table.frequencies);
    im.reserve(rows * table.frequencies);
    const auto degrees = [](float rad) { return rad / kDegToRad; };
    // Rows are in receiver order once finalised.
    for (std::size_t i = 0; i < table.rows(); ++i) {
        const std::size_t r = table.heads[i].receiver;
        dropped[r] = table.heads[i].dropped;
        for (std::size_t j = 0; j < table.heads[i].count; ++j) {
            const influence::Arrival& a = table.row(i)[j];
            receiver.push_back(r);
            delay.push_back(a.delay_s);
            launch_elev.push_back(degrees(a.path.launch_elevation_rad));
            launch_azim.push_back(degrees(a.path.launch_azimuth_rad));
            const influence::DirectionAngles arrival =
                influence::direction_angles(a.path.direction);
            arrival_elev.push_back(degrees(arrival.elevation_rad));
            arrival_azim.push_back(degrees(arrival.azimuth_rad));
            surface.push_back(a.path.surface_bounces);
            bottom.push_back(a.path.bottom_bounces);
            beam.push_back(a.path.beam_index);
            for (const Complex32 v : table.values(i, j)) {
                re.push_back(v.re);
                im.push_back(v.im);
            }
        }
    }
    const py::object dict = steal(PyDict_New());
    if (!dict) fail_with_python_error(failure);
    set_item(dict, "receiver", int_list<std::uint64_t>(receiver, failure));
    set_item(dict, "delay_s", float_list(delay, failure));
    set_item(dict, "amplitude_re", float_list(re, failure));
    set_item(dict, "amplitude_im", float_list(im, failure));
    set_item(dict, "launch_elevation_deg", float_list(launch_elev, failure));
    set_item(dict, "launch_azimuth_deg", float_list(launch_azim, failure));
    set_item(dict, "arrival_elevation_deg", float_list(arrival_elev, failure));
    set_item(dict, "arrival_azimuth_deg", float_list(arrival_azim, failure));
    set_item(dict, "surface_bounces", int_list<std::uint32_t>(surface, failure));
    set_item(dict, "bottom_bounces", int_list<std::uint32_t>(bottom, failure));
    set_item(dict, "beam_index", int_list<std::uint64_t>(beam, failure));
    set_item(dict, "dropped", int_list<std::uint64_t>(dropped, failure));
    return dict;
}

// The output dict of a run; the receivers' geometry is the validated configuration's (the
// driver checked that array lists have equal lengths).
py::object build_output(engine::SimulationResult result,
                        const input::SimulationConfig& config) {
    const std::span<const float> freq_hz = config.source.freq_hz;
    const influence::PressureField& field = result.field;
    check_field_layout(field);

    // Real and imaginary parts in one pass, then delay and amplitude in one pass; the flat
    // buffers are already row-major over the shapes, frequency slowest.
    const std::span<const Complex32> pressure = field.pressure.flat();
    py::object pressure_re = steal(PyList_New(Py_ssize_t(pressure.size())));
    if (!pressure_re) fail_with_python_error("failed to set pressure_re: ");
    py::object pressure_im = steal(PyList_New(Py_ssize_t(pressure.size())));
    if (!pressure_im) fail_with_python_error("failed to set pressure_im: ");
    for (std::size_t i = 0; i < pressure.size(); ++i) {
        PyObject* re = PyFloat_FromDouble(static_cast<double>(pressure[i].re));
        if (!re) fail_with_python_error("failed to set pressure_re: ");
        PyList_SET_ITEM(pressure_re.ptr(), Py_ssize_t(i), re);
        PyObject* im = PyFloat_FromDouble(static_cast<double>(pressure[i].im));
        if (!im) fail_with_python_error("failed to set pressure_im: ");
        PyList_SET_ITEM(pressure_im.ptr(), Py_ssize_t(i), im);
    }
    const std::span<const float> delay = field.delay_s.flat();
    const std::span<const float> amplitude = field.amplitude.flat();
    py::object delay_list = steal(PyList_New(Py_ssize_t(delay.size())));
    if (!delay_list) fail_with_python_error("failed to set delay_s: ");
    py::object amplitude_list = steal(PyList_New(Py_ssize_t(amplitude.size())));
    if (!amplitude_list) fail_with_python_error("failed to set amplitude: ");
    for (std::size_t i = 0; i < delay.size(); ++i) {
        PyObject* d = PyFloat_FromDouble(static_cast<double>(delay[i]));
        if (!d) fail_with_python_error("failed to set delay_s: ");
        PyList_SET_ITEM(delay_list.ptr(), Py_ssize_t(i), d);
        PyObject* a = PyFloat_FromDouble(static_cast<double>(amplitude[i]));
        if (!a) fail_with_python_error("failed to set amplitude: ");
        PyList_SET_ITEM(amplitude_list.ptr(), Py_ssize_t(i), a);
    }

    const py::object outer = steal(PyDict_New());
    if (!outer) fail_with_python_error("failed to set pressure_field: ");
    if (result.ray_paths) {
        std::vector<RayPath>& paths = *result.ray_paths;
        py::object path_list = steal(PyList_New(Py_ssize_t(paths.size())));
        if (!path_list) fail_with_python_error("failed to set ray_paths: ");
        for (std::size_t i = 0; i < paths.size(); ++i) {
            PyList_SET_ITEM(path_list.ptr(), Py_ssize_t(i),
                            point_list(paths[i], "failed to set ray_paths: ").release().ptr());
            // Each path goes as soon as it is converted, so the two copies never coexist whole.
            RayPath().swap(paths[i]);
        }
        set_item(outer, "ray_paths", path_list);
    }

    const py::object inner = steal(PyDict_New());
    if (!inner) fail_with_python_error("failed to set pressure_field: ");
    const input::Receivers& rc = config.receivers;
    if (rc.layout == input::ReceiverLayout::Array) {
        set_item(inner, "receiver_positions_m", receiver_point_list(rc));
    } else {
        set_item(inner, "x_m", float_list(rc.x_rcvr_m, "failed to set x_m: "));
        set_item(inner, "y_m", float_list(rc.y_rcvr_m, "failed to set y_m: "));
        set_item(inner, "z_m", float_list(rc.z_rcvr_m, "failed to set z_m: "));
    }
    set_item(inner, "frequency_hz", float_list(freq_hz, "failed to set frequency_hz: "));
    const auto& shape = field.pressure.shape;
    const py::object shape_tuple =
        steal(Py_BuildValue("(nnnn)", Py_ssize_t(shape[0]), Py_ssize_t(shape[1]),
                            Py_ssize_t(shape[2]), Py_ssize_t(shape[3])));
    if (!shape_tuple) fail_with_python_error("failed to set shape: ");
    set_item(inner, "shape", shape_tuple);
    set_item(inner, "pressure_re", pressure_re);
    set_item(inner, "pressure_im", pressure_im);
    set_item(inner, "delay_s", delay_list);
    set_item(inner, "amplitude", amplitude_list);
    set_item(outer, "pressure_field", inner);
    if (result.arrivals) set_item(outer, "arrivals", build_arrivals(*result.arrivals));
    return outer;
}

// The configuration as run_simulation reads it: through Python's json.dumps, parsed and
// validated (RuntimeError for either failure). The validation remarks and the unknown keys, in
// the order they are warned about, go to `warnings` when it is given.
input::SimulationConfig read_config(PyObject* py_cfg, std::vector<std::string>* warnings) {
    const std::string json_text = dump_config_json(py_cfg);
    input::UnknownKeySink unknown_keys;
    input::ParseResult parsed = input::parse_simulation_config(json_text, unknown_keys);
    if (!parsed.config) {
        throw BoundaryError{"failed to parse config JSON: " + parsed.error};
    }
    input::SimulationConfig config = std::move(*parsed.config);
    input::ValidationResult validation = input::validate(config);
    if (!validation.ok) {
        throw BoundaryError{"invalid simulation config: " + validation.error};
    }
    if (warnings != nullptr) {
        *warnings = collect_warnings(config, std::move(validation.warnings), unknown_keys);
    }
    return config;
}

py::object run(PyObject* py_cfg) {
    std::vector<std::string> warnings;
    const input::SimulationConfig config = read_config(py_cfg, &warnings);
    emit_warnings(warnings);
    // The interpreter lock stays held: the pool's workers never touch Python, and the call is
    // one indivisible step for the caller.
    engine::CoreOptions options;
    // Every float of the result becomes a Python float in a list, every path point a list of
    // three and every path a list.
    options.output_cost = {32.0, 160.0, 64.0};
    engine::SimulationResult result = engine::core(config, options);
    return build_output(std::move(result), config);
}

// Shared between a fan-part call, which runs with the interpreter lock released, and the
// Python threads that may stop it or follow it.
struct CancelToken {
    std::atomic<bool> cancelled{false};
    std::atomic<std::uint64_t> beams_finished{0};
};

// A fan-part call that its token stopped; becomes KeyboardInterrupt.
struct PartCancelled {};

py::object bytes_of(const void* data, std::size_t size, std::string_view failure_prefix) {
    py::object bytes =
        steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), Py_ssize_t(size)));
    if (!bytes) fail_with_python_error(failure_prefix);
    return bytes;
}

// The partial result of a fan part: the field as flat little buffers (a part's field can be
// large and is merged with NumPy, so it is not spelled out as Python floats), the geometry of
// the receivers and the paths of the part's beams in launch order.
py::object build_part_output(engine::SimulationResult result,
                             const input::SimulationConfig& config, std::size_t first,
                             std::size_t last) {
    static_assert(sizeof(Complex32) == 2 * sizeof(float));
    const influence::PressureField& field = result.field;
    check_field_layout(field);
    const py::object out = steal(PyDict_New());
    if (!out) fail_with_python_error("failed to build the part: ");
    const auto set = [&](const char* key, const py::object& value) {
        set_item(out, key, value);
    };
    set("first_beam", py::int_(first));
    set("last_beam", py::int_(last));
    const auto& shape = field.pressure.shape;
    set("shape", py::make_tuple(shape[0], shape[1], shape[2], shape[3]));
    set("frequency_hz", float_list(config.source.freq_hz, "failed to set frequency_hz: "));
    const input::Receivers& rc = config.receivers;
    if (rc.layout == input::ReceiverLayout::Array) {
        std::vector<float> points;
        points.reserve(3 * rc.x_rcvr_m.size());
        for (std::size_t i = 0; i < rc.x_rcvr_m.size(); ++i)
            points.insert(points.end(), {rc.x_rcvr_m[i], rc.y_rcvr_m[i], rc.z_rcvr_m[i]});
        set("receiver_positions_m", bytes_of(points.data(), points.size() * sizeof(float),
                                             "failed to set receiver_positions_m: "));
    } else {
        set("x_m", float_list(rc.x_rcvr_m, "failed to set x_m: "));
        set("y_m", float_list(rc.y_rcvr_m, "failed to set y_m: "));
        set("z_m", float_list(rc.z_rcvr_m, "failed to set z_m: "));
    }
    const std::span<const Complex32> pressure = field.pressure.flat();
    set("pressure",
        bytes_of(pressure.data(), pressure.size_bytes(), "failed to set pressure: "));
    const std::span<const float> delay = field.delay_s.flat();
    set("delay_s", bytes_of(delay.data(), delay.size_bytes(), "failed to set delay_s: "));
    const std::span<const float> amplitude = field.amplitude.flat();
    set("amplitude",
        bytes_of(amplitude.data(), amplitude.size_bytes(), "failed to set amplitude: "));
    if (result.ray_paths) {
        std::vector<RayPath>& paths = *result.ray_paths;
        std::vector<std::uint64_t> lengths;
        lengths.reserve(paths.size());
        std::size_t n_points = 0;
        for (const RayPath& path : paths) {
            lengths.push_back(path.size());
            n_points += path.size();
        }
        set("ray_path_lengths", bytes_of(lengths.data(), lengths.size() * sizeof(std::uint64_t),
                                         "failed to set ray_path_lengths: "));
        const py::object points =
            steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n_points * 3 * sizeof(float))));
        if (!points) fail_with_python_error("failed to set ray_path_points: ");
        char* cursor = PyBytes_AS_STRING(points.ptr());
        for (RayPath& path : paths) {
            const std::size_t n = path.size() * 3 * sizeof(float);
            if (n > 0) std::memcpy(cursor, path.data(), n);
            cursor += n;
            RayPath().swap(path); // the two copies never coexist whole
        }
        set("ray_path_points", points);
    }
    if (result.arrivals) set("arrivals", build_arrivals(*result.arrivals));
    return out;
}

// Beams first .. last - 1 of the whole fan, run with the interpreter lock released: reading
// the configuration, the warnings and the conversion of the result need the lock, the beams do
// not, so other Python threads (a progress display, the one that handles Ctrl-C) run on.
py::object run_fan_part(PyObject* py_cfg, std::int64_t first, std::int64_t last,
                        const std::shared_ptr<CancelToken>& token, bool warn,
                        std::int64_t max_threads) {
    std::vector<std::string> warnings;
    const input::SimulationConfig config = read_config(py_cfg, &warnings);
    const std::size_t n_beams =
        config.source.launch_elev_deg.size() * config.source.launch_azim_deg.size();
    if (const auto why = engine::check_beam_range(first, last, n_beams)) {
        throw BoundaryError{"invalid beam range: " + *why};
    }
    // Which contributions form one arrival depends on the spans and weights a finished table
    // no longer carries: tables of separate parts cannot be merged into the whole fan's.
    if (config.beam.max_arrivals > 0 && first < last &&
        (first != 0 || std::size_t(last) != n_beams)) {
        throw BoundaryError{
            "invalid beam range: an arrivals table (beam.max_arrivals) needs the "
            "whole fan, beams 0 to " +
            std::to_string(n_beams) + ", in one part"};
    }
    if (max_threads < 0) {
        throw BoundaryError{"invalid max_threads: " + std::to_string(max_threads) +
                            " (it must be 0, the default, or positive)"};
    }
    if (warn) emit_warnings(warnings);
    engine::CoreOptions options;
    options.beam_range = engine::FanChunk{std::size_t(first), std::size_t(last)};
    options.max_threads = std::size_t(max_threads);
    // Bytes for the field and the paths' points, an 8-byte length per path.
    options.output_cost = {4.0, 12.0, 8.0};
    if (token) {
        options.cancel = &token->cancelled;
        options.beams_finished = &token->beams_finished;
    }
    std::optional<engine::SimulationResult> result;
    try {
        const py::gil_scoped_release unlocked;
        result.emplace(engine::core(config, options));
    } catch (const FatalError& error) {
        if (token && token->cancelled.load() && error.what() == engine::kRunCancelledMessage)
            throw PartCancelled{};
        throw;
    }
    return build_part_output(std::move(*result), config, std::size_t(first), std::size_t(last));
}

// The plausibility findings of a configuration, read and validated exactly as run_simulation
// reads it (the same RuntimeErrors), with none of its warnings emitted and nothing run.
py::object check_config(PyObject* py_cfg) {
    const input::SimulationConfig config = read_config(py_cfg, nullptr);
    const std::vector<std::string> findings = engine::check_plausibility(config);
    py::object list = steal(PyList_New(Py_ssize_t(findings.size())));
    if (!list) fail_with_python_error("failed to build the findings: ");
    for (std::size_t i = 0; i < findings.size(); ++i) {
        PyObject* text =
            PyUnicode_FromStringAndSize(findings[i].data(), Py_ssize_t(findings[i].size()));
        if (!text) fail_with_python_error("failed to build the findings: ");
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), text);
    }
    return list;
}

// The boundary: every outcome leaves as a Python object or a Python exception.
[[noreturn]] void abort_uncaught_panic() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// Runs one entry of the module: what the caller can fix leaves as RuntimeError, a grid that
// cannot be built or an internal fault as PanicException. Every outcome leaves as a Python
// object or a Python exception.
template <class Entry> py::object at_boundary(Entry&& entry) {
    std::string panic_text;
    try {
        return entry();
    } catch (const BoundaryError& error) {
        PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
        throw py::error_already_set();
    } catch (const std::exception& fault) {
        panic_text = fault.what();
    } catch (...) {
        panic_text = "unknown internal fault";
    }
    // Any Python error left pending by a partly finished step is superseded by the panic.
    PyErr_Clear();
    const py::object text = steal(
        PyUnicode_DecodeUTF8(panic_text.data(), Py_ssize_t(panic_text.size()), "replace"));
    if (!g_panic_exception || !text) abort_uncaught_panic();
    PyErr_SetObject(g_panic_exception, text.ptr());
    throw py::error_already_set();
}

py::object run_simulation(const py::handle py_cfg) {
    return at_boundary([&] { return run(py_cfg.ptr()); });
}

py::object check_config_entry(const py::handle py_cfg) {
    return at_boundary([&] { return check_config(py_cfg.ptr()); });
}

py::object run_fan_part_entry(const py::handle py_cfg, std::int64_t first, std::int64_t last,
                              const std::shared_ptr<CancelToken>& cancel, bool warn,
                              std::int64_t max_threads) {
    bool cancelled = false;
    py::object out = at_boundary([&]() -> py::object {
        try {
            return run_fan_part(py_cfg.ptr(), first, last, cancel, warn, max_threads);
        } catch (const PartCancelled&) {
            cancelled = true;
            return py::none();
        }
    });
    if (cancelled) {
        PyErr_SetString(PyExc_KeyboardInterrupt, "kelp: the fan part was cancelled");
        throw py::error_already_set();
    }
    return out;
}

void init_module(py::module_& m) {
    // The module is set up once per process: a second initialisation would hand out a second
    // PanicException type that the first module's callers could not catch.
    static bool initialised = false;
    if (initialised) {
        throw py::import_error("kelp may be initialised only once per interpreter process");
    }
    initialised = true;

    // Owned for the life of the process: run_simulation raises it long after initialisation.
    g_panic_exception = PyErr_NewExceptionWithDoc(
        "kelp.PanicException",
        "A fatal error of the simulation or an internal fault. Derived from BaseException so "
        "that `except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
    if (!g_panic_exception) throw py::error_already_set();

    py::options options;
    options.disable_function_signatures();

    py::list all;
    m.attr("__doc__") = kModuleDoc;
    all.append("__doc__");
    m.def("run_simulation", &run_simulation, py::arg("py_cfg"), py::pos_only(),
          kRunSimulationDoc);
    all.append("run_simulation");
    m.attr("__all__") = all;
    // Private: kelpkit.check_config is its public face, and __all__ stays as it is.
    m.def("_check_config", &check_config_entry, py::arg("py_cfg"), py::pos_only(),
          kCheckConfigDoc);
    // Private: kelpkit.run runs a fan in parts through it and stops it with the token.
    py::class_<CancelToken, std::shared_ptr<CancelToken>>(m, "_CancelToken", kCancelTokenDoc)
        .def(py::init<>())
        .def(
            "cancel", [](CancelToken& token) { token.cancelled.store(true); },
            "Stop the call that holds this token before its next beam.")
        .def_property_readonly("cancelled",
                               [](const CancelToken& token) { return token.cancelled.load(); })
        .def_property_readonly("beams_finished", [](const CancelToken& token) {
            return token.beams_finished.load(std::memory_order_relaxed);
        });
    m.def("_run_fan_part", &run_fan_part_entry, py::arg("py_cfg"), py::arg("first"),
          py::arg("last"), py::pos_only(), py::kw_only(), py::arg("cancel") = py::none(),
          py::arg("warn") = true, py::arg("max_threads") = 0, kRunFanPartDoc);
    m.attr("PanicException") = py::reinterpret_borrow<py::object>(g_panic_exception);
    m.attr("__version__") = KELP_VERSION;
}

} // namespace
} // namespace kelp::python_bindings

PYBIND11_MODULE(kelp, m) {
    try {
        kelp::python_bindings::init_module(m);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::exception& fault) {
        throw py::import_error(std::string("kelp initialisation failed: ") + fault.what());
    }
}
