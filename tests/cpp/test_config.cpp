#include "input/config.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kelp::input::Acoustic;
using kelp::input::Elastic;
using kelp::input::IntegrationMethod;
using kelp::input::parse_simulation_config;
using kelp::input::Rigid;
using kelp::input::SimulationConfig;
using kelp::input::UnknownKeySink;

// A complete configuration as Python's json.dumps writes it: one line, ", " and ": ".
constexpr std::string_view kBase =
    R"({"ssp": {"x_ssp_m": [0.0, 1000.0], "y_ssp_m": [0.0, 1000.0], "z_ssp_m": [0.0, 100.0], )"
    R"("c_m_s": [1500.0, 1510.0, 1500.0, 1510.0, 1500.0, 1510.0, 1500.0, 1510.0]}, )"
    R"("bathymetry": {"x_bty_m": [0.0, 1000.0], "y_bty_m": [0.0, 1000.0], )"
    R"("z_bty_m": [100.0, 100.0, 120.0, 120.0]}, )"
    R"("source": {"position": [500.0, 500.0, 20.0], "freq_hz": [100.0, 250.0], )"
    R"("launch_elev_deg": [-10.0, 0.0, 10.0], "launch_azim_deg": [0.0, 90.0]}, )"
    R"("receivers": {"config_type": "grid", "x_rcvr_m": [100.0, 200.0], "y_rcvr_m": [500.0], )"
    R"("z_rcvr_m": [10.0, 20.0]}, )"
    R"("beam": {"step_m": 5.0, "max_steps": 500, "max_range_m": 800.0}})";

// kBase with the one occurrence of `from` replaced by `to`.
std::string mutate(std::string_view from, std::string_view to, std::string_view text = kBase) {
    std::string out(text);
    const std::size_t at = out.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(out.find(from, at + 1), std::string::npos) << "ambiguous: " << from;
    if (at != std::string::npos) out.replace(at, from.size(), to);
    return out;
}

SimulationConfig parse_ok(std::string_view text, UnknownKeySink* sink_out = nullptr) {
    UnknownKeySink sink;
    auto result = parse_simulation_config(text, sink);
    EXPECT_TRUE(result.config.has_value()) << result.error << "\n" << text;
    if (sink_out) *sink_out = sink;
    return result.config.value_or(SimulationConfig{});
}

std::string parse_error(std::string_view text) {
    UnknownKeySink sink;
    auto result = parse_simulation_config(text, sink);
    EXPECT_FALSE(result.config.has_value()) << text;
    return result.error;
}

// The message without its " at line L column C" suffix, which must be present.
std::string message_of(const std::string& error) {
    const std::size_t at = error.rfind(" at line ");
    EXPECT_NE(at, std::string::npos) << error;
    const std::string suffix = error.substr(at);
    unsigned line = 0, column = 0;
    EXPECT_EQ(std::sscanf(suffix.c_str(), " at line %u column %u", &line, &column), 2) << error;
    EXPECT_GE(line, 1u);
    EXPECT_GE(column, 1u);
    return error.substr(0, at);
}

TEST(ParseConfig, BaseConfigurationMapsOntoRecordsWithDefaults) {
    UnknownKeySink sink;
    const SimulationConfig c = parse_ok(kBase, &sink);
    EXPECT_TRUE(sink.empty());
    EXPECT_EQ(c.ssp.z_ssp_m, (std::vector<float>{0.0f, 100.0f}));
    EXPECT_EQ(c.ssp.c_m_s.size(), 8u);
    EXPECT_EQ(c.ssp.c_m_s[1], 1510.0f);
    EXPECT_EQ(c.bathymetry.z_bty_m, (std::vector<float>{100.0f, 100.0f, 120.0f, 120.0f}));
    EXPECT_FALSE(c.bathymetry.water_density_g_cm3.has_value());
    EXPECT_TRUE(std::holds_alternative<Rigid>(c.bathymetry.bottom_model));
    EXPECT_EQ(c.source.position, (std::array<float, 3>{500.0f, 500.0f, 20.0f}));
    EXPECT_EQ(c.source.launch_elev_deg, (std::vector<float>{-10.0f, 0.0f, 10.0f}));
    EXPECT_EQ(c.receivers.config_type, "grid");
    EXPECT_EQ(c.receivers.y_rcvr_m, (std::vector<float>{500.0f}));
    EXPECT_EQ(c.beam.step_m, 5.0f);
    EXPECT_EQ(c.beam.max_steps, 500u);
    EXPECT_EQ(c.beam.max_range_m, 800.0f);
    EXPECT_FALSE(c.beam.store_ray_paths);
    EXPECT_FALSE(c.beam.show_progress);
    EXPECT_FALSE(c.beam.atomic_progress_counter);
    EXPECT_EQ(c.beam.integration_method, IntegrationMethod::Euler);
    EXPECT_FALSE(c.beam.max_bottom_loss_db.has_value());
    EXPECT_EQ(c.beam.max_arrivals, 0u);
}

TEST(ParseConfig, OptionalMembersAndEnumerationForms) {
    const auto beam = [](std::string_view extra) {
        return parse_ok(
                   mutate(R"("max_range_m": 800.0})",
                          std::string(R"("max_range_m": 800.0, )") + std::string(extra) + "}"))
            .beam;
    };
    EXPECT_EQ(beam(R"("integration_method": "rk2")").integration_method,
              IntegrationMethod::Rk2);
    EXPECT_EQ(beam(R"("integration_method": {"rk2": null})").integration_method,
              IntegrationMethod::Rk2);
    EXPECT_EQ(beam(R"("integration_method": {"euler": null})").integration_method,
              IntegrationMethod::Euler);
    EXPECT_EQ(beam(R"("max_bottom_loss_db": 46)").max_bottom_loss_db, 46.0f);
    EXPECT_FALSE(beam(R"("max_bottom_loss_db": null)").max_bottom_loss_db.has_value());
    EXPECT_EQ(beam(R"("max_arrivals": 20)").max_arrivals, 20u);
    const auto flags = beam(R"("store_ray_paths": true, "atomic_progress_counter": true)");
    EXPECT_TRUE(flags.store_ray_paths);
    EXPECT_FALSE(flags.show_progress);
    EXPECT_TRUE(flags.atomic_progress_counter);
    EXPECT_EQ(parse_ok(mutate("500,", "18446744073709551615,")).beam.max_steps,
              std::numeric_limits<std::uint64_t>::max());

    const auto bathymetry = [](std::string_view extra) {
        return parse_ok(mutate(R"(120.0, 120.0]})",
                               std::string("120.0, 120.0], ") + std::string(extra) + "}"))
            .bathymetry;
    };
    EXPECT_FALSE(bathymetry(R"("water_density_g_cm3": null)").water_density_g_cm3.has_value());
    EXPECT_EQ(bathymetry(R"("water_density_g_cm3": 1.03)").water_density_g_cm3, 1.03f);

    const auto acoustic = std::get<Acoustic>(
        bathymetry(R"("bottom_model": {"model": "acoustic", "compressional_speed_m_s": 1600, )"
                   R"("density_g_cm3": 1.8})")
            .bottom_model);
    EXPECT_EQ(acoustic.compressional_speed_m_s, 1600.0f);
    EXPECT_EQ(acoustic.density_g_cm3, 1.8f);
    EXPECT_FALSE(acoustic.compressional_attenuation_db_per_wavelength.has_value());

    // The tag may stand last; other variants' members are ignored.
    const auto elastic = std::get<Elastic>(
        bathymetry(R"("bottom_model": {"shear_speed_m_s": 400, "density_g_cm3": 2.0, )"
                   R"("compressional_speed_m_s": 1700, "shear_attenuation_db_per_wavelength": )"
                   R"(0.5, "compressional_attenuation_db_per_wavelength": null, )"
                   R"("model": "elastic"})")
            .bottom_model);
    EXPECT_EQ(elastic.compressional_speed_m_s, 1700.0f);
    EXPECT_EQ(elastic.shear_speed_m_s, 400.0f);
    EXPECT_EQ(elastic.density_g_cm3, 2.0f);
    EXPECT_FALSE(elastic.compressional_attenuation_db_per_wavelength.has_value());
    EXPECT_EQ(elastic.shear_attenuation_db_per_wavelength, 0.5f);

    UnknownKeySink sink;
    const auto rigid = parse_ok(mutate(R"(120.0, 120.0]})",
                                       R"(120.0, 120.0], "bottom_model": {"model": "rigid", )"
                                       R"("density_g_cm3": "not used", "extra": [1]}})"),
                                &sink);
    EXPECT_TRUE(std::holds_alternative<Rigid>(rigid.bathymetry.bottom_model));
    EXPECT_TRUE(sink.empty());

    const auto tagged_array = std::get<Acoustic>(
        bathymetry(R"("bottom_model": ["acoustic", 1600, 1.8, 0.2])").bottom_model);
    EXPECT_EQ(tagged_array.compressional_attenuation_db_per_wavelength, 0.2f);
}

TEST(ParseConfig, RecordsInArrayForm) {
    const SimulationConfig c =
        parse_ok(mutate(R"("beam": {"step_m": 5.0, "max_steps": 500, "max_range_m": 800.0})",
                        R"("beam": [1.0, 500, 800.0])"));
    EXPECT_EQ(c.beam.step_m, 1.0f);
    EXPECT_EQ(c.beam.max_steps, 500u);
    EXPECT_EQ(c.beam.max_range_m, 800.0f);
    EXPECT_FALSE(c.beam.store_ray_paths);
    EXPECT_EQ(c.beam.integration_method, IntegrationMethod::Euler);

    const SimulationConfig full =
        parse_ok(mutate(R"("beam": {"step_m": 5.0, "max_steps": 500, "max_range_m": 800.0})",
                        R"("beam": [1.0, 500, 800.0, true, true, false, "rk2"])"));
    EXPECT_TRUE(full.beam.show_progress);
    EXPECT_EQ(full.beam.integration_method, IntegrationMethod::Rk2);

    const SimulationConfig nested =
        parse_ok(R"([[[0], [0], [0], [1500]], [[0], [0], [50], null, ["elastic", 1, 2, 3]], )"
                 R"([[0, 0, 5], [10], [0], [0]], ["array", [1], [2], [3]], [2.5, 10, 100]])");
    EXPECT_EQ(nested.ssp.c_m_s, std::vector<float>{1500.0f});
    EXPECT_EQ(std::get<Elastic>(nested.bathymetry.bottom_model).density_g_cm3, 3.0f);
    EXPECT_EQ(nested.receivers.config_type, "array");
    EXPECT_EQ(nested.beam.max_steps, 10u);
}

TEST(ParseConfig, NumbersRoundToNearestF32) {
    const auto c_m_s = [](std::string_view list) {
        return parse_ok(
                   mutate("[1500.0, 1510.0, 1500.0, 1510.0, 1500.0, 1510.0, 1500.0, 1510.0]",
                          list))
            .ssp.c_m_s;
    };
    // 2^60 + 2^36 + 1 lies just above the midpoint of two floats; through a double it would
    // first round onto the midpoint and then, ties to even, down. The integer path must not.
    const float above_tie = 0x1p60f + 0x1p37f;
    const auto ints =
        c_m_s("[5, 16777217, 1152921573326323713, -0, 0, 100000000000000000000000]");
    EXPECT_EQ(ints[0], 5.0f);
    EXPECT_EQ(ints[1], 16777216.0f); // tie, to even
    EXPECT_EQ(ints[2], above_tie);
    EXPECT_TRUE(std::signbit(ints[3]));
    EXPECT_FALSE(std::signbit(ints[4]));
    EXPECT_EQ(ints[5], 1e23f);

    const auto floats = c_m_s("[1e39, -1e39, 1e-50, 0.1, 3.4028235677973362e38, 1E2]");
    EXPECT_EQ(floats[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(floats[1], -std::numeric_limits<float>::infinity());
    EXPECT_EQ(floats[2], 0.0f);
    EXPECT_EQ(floats[3], 0.1f);
    EXPECT_EQ(floats[4], std::numeric_limits<float>::max()); // just below the rounding midpoint
    EXPECT_EQ(floats[5], 100.0f);
    // The midpoint between FLT_MAX and 2^128 is a tie; to even is to infinity.
    EXPECT_EQ(c_m_s("[3.4028235677973366e38]")[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(c_m_s("[1e-400]")[0], 0.0f);
    EXPECT_EQ(c_m_s("[]").size(), 0u);
}

struct ErrorCase {
    const char* name;
    const char* from;
    const char* to;
    const char* message;
};

class ParseErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrors, MessageForm) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(message_of(parse_error(mutate(c.from, c.to))), c.message);
}

constexpr const char* kBeam =
    R"("beam": {"step_m": 5.0, "max_steps": 500, "max_range_m": 800.0})";
constexpr const char* kBathyEnd = R"(120.0, 120.0]})";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Parse, ParseErrors, testing::Values(
    ErrorCase{"MissingBeam", R"(, "beam": {"step_m": 5.0, "max_steps": 500, "max_range_m": 800.0})", "",
              "missing field `beam`"},
    ErrorCase{"MissingMember", R"("max_steps": 500, )", "", "missing field `max_steps`"},
    ErrorCase{"Duplicate", R"("step_m": 5.0,)", R"("step_m": 5.0, "step_m": 6.0,)",
              "duplicate field `step_m`"},
    ErrorCase{"DuplicateRecord", R"("beam": {)", R"("ssp": [], "beam": {)", "duplicate field `ssp`"},
    ErrorCase{"UsizeFromFloat", "500,", "500.0,", "invalid type: floating point `500.0`, expected usize"},
    ErrorCase{"UsizeFromExponent", "500,", "5e2,", "invalid type: floating point `500.0`, expected usize"},
    ErrorCase{"UsizeNegative", "500,", "-1,", "invalid value: integer `-1`, expected usize"},
    ErrorCase{"UsizeBeyond64Bits", "500,", "18446744073709551616,",
              "invalid type: floating point `1.8446744073709552e19`, expected usize"},
    ErrorCase{"UsizeFromString", "500,", R"("500",)", R"(invalid type: string "500", expected usize)"},
    ErrorCase{"F32FromString", "5.0,", R"("a\"b",)", R"(invalid type: string "a\"b", expected f32)"},
    ErrorCase{"F32FromBool", "5.0,", "true,", "invalid type: boolean `true`, expected f32"},
    ErrorCase{"F32FromNull", "5.0,", "null,", "invalid type: null, expected f32"},
    ErrorCase{"F32FromSequence", "5.0,", "[5],", "invalid type: sequence, expected f32"},
    ErrorCase{"F32FromMap", "5.0,", "{},", "invalid type: map, expected f32"},
    ErrorCase{"F32InList", "[100.0, 250.0]", R"([100.0, "x"])", R"(invalid type: string "x", expected f32)"},
    ErrorCase{"BoolFromInteger", "800.0}", R"(800.0, "show_progress": 1})",
              "invalid type: integer `1`, expected a boolean"},
    ErrorCase{"StringFromInteger", R"("grid")", "5", "invalid type: integer `5`, expected a string"},
    ErrorCase{"SequenceFromFloat", "[500.0]", "1.5", "invalid type: floating point `1.5`, expected a sequence"},
    ErrorCase{"PositionShort", "[500.0, 500.0, 20.0]", "[0, 0]",
              "invalid length 2, expected an array of length 3"},
    ErrorCase{"PositionLong", "[500.0, 500.0, 20.0]", "[0, 0, 10, 1]", "trailing characters"},
    ErrorCase{"PositionNotArray", "[500.0, 500.0, 20.0]", "{}", "invalid type: map, expected an array of length 3"},
    ErrorCase{"RecordNotObject", R"("source": {"position")", R"("source": 7, "x": {"position")",
              "invalid type: integer `7`, expected struct Source"},
    ErrorCase{"BeamShortArray", kBeam, R"("beam": [1.0, 500])",
              "invalid length 2, expected struct BeamSettings with 9 elements"},
    ErrorCase{"BeamLongArray", kBeam,
              R"("beam": [1.0, 500, 1, false, false, false, "rk2", 46, 20, 0])",
              "trailing characters"},
    ErrorCase{"SoundSpeedShortArray", R"("ssp": {)", R"("ssp": [[0]], "x": {)",
              "invalid length 1, expected struct SoundSpeed with 4 elements"},
    ErrorCase{"BathymetryShortArray", R"("bathymetry": {)", R"("bathymetry": [[], []], "x": {)",
              "invalid length 2, expected struct Bathymetry with 5 elements"},
    ErrorCase{"SourceShortArray", R"("source": {)", R"("source": [], "x": {)",
              "invalid length 0, expected struct Source with 4 elements"},
    ErrorCase{"ReceiversShortArray", R"("receivers": {)", R"("receivers": ["grid"], "x": {)",
              "invalid length 1, expected struct Receivers with 4 elements"},
    ErrorCase{"BottomModelCase", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"model": "Acoustic"}})",
              "unknown variant `Acoustic`, expected one of `rigid`, `acoustic`, `elastic`"},
    ErrorCase{"BottomModelMissingTag", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"density_g_cm3": 1.8}})", "missing field `model`"},
    ErrorCase{"BottomModelTwoTags", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"model": "rigid", "model": "rigid"}})",
              "duplicate field `model`"},
    ErrorCase{"BottomModelNotObject", kBathyEnd, R"(120.0, 120.0], "bottom_model": "rigid"})",
              R"(invalid type: string "rigid", expected internally tagged enum BottomBoundaryModel)"},
    ErrorCase{"AcousticMissingDensity", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"compressional_speed_m_s": 1600, "model": "acoustic"}})",
              "missing field `density_g_cm3`"},
    ErrorCase{"ElasticMissingShearFirst", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"model": "elastic", "compressional_speed_m_s": 1}})",
              "missing field `shear_speed_m_s`"},
    ErrorCase{"AcousticDuplicate", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"model": "acoustic", "density_g_cm3": 1, )"
              R"("compressional_speed_m_s": 1, "density_g_cm3": 2}})",
              "duplicate field `density_g_cm3`"},
    ErrorCase{"AcousticWrongType", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"density_g_cm3": "x", "model": "acoustic"}})",
              R"(invalid type: string "x", expected f32)"},
    ErrorCase{"AcousticNullRequired", kBathyEnd,
              R"(120.0, 120.0], "bottom_model": {"density_g_cm3": null, "model": "acoustic"}})",
              "invalid type: null, expected f32"},
    ErrorCase{"BottomArrayShort", kBathyEnd, R"(120.0, 120.0], "bottom_model": ["elastic", 1, 2]})",
              "invalid length 2, expected struct Elastic with 5 elements"},
    ErrorCase{"MethodUpperCase", "800.0}", R"(800.0, "integration_method": "RK2"})",
              "unknown variant `RK2`, expected `euler` or `rk2`"},
    ErrorCase{"MethodObjectUnknown", "800.0}", R"(800.0, "integration_method": {"midpoint": null}})",
              "unknown variant `midpoint`, expected `euler` or `rk2`"},
    ErrorCase{"MethodValueNotNull", "800.0}", R"(800.0, "integration_method": {"rk2": 1}})",
              "invalid type: integer `1`, expected unit"},
    ErrorCase{"MethodTwoKeys", "800.0}", R"(800.0, "integration_method": {"rk2": null, "euler": null}})",
              "trailing characters"},
    ErrorCase{"MethodNumber", "800.0}", R"(800.0, "integration_method": 2})",
              "invalid type: integer `2`, expected enum IntegrationMethod"},
    ErrorCase{"NumberOutOfRange", "800.0}", "1e400}", "number out of range"},
    ErrorCase{"LeadingZero", "800.0}", "0800.0}", "invalid number"},
    ErrorCase{"BadAtom", "800.0}", R"(800.0, "store_ray_paths": tru})", "expected ident"},
    ErrorCase{"BadEscape", R"("grid")", R"("gr\qid")", "invalid escape"},
    ErrorCase{"BadUtf8", R"("grid")", "\"gr\xff\"", "invalid UTF-8"},
    ErrorCase{"MissingComma", "[100.0, 250.0]", "[100.0 250.0]", "expected `,` or `]`"},
    ErrorCase{"MissingColon", R"("freq_hz": [)", R"("freq_hz" [)", "expected `:`"},
    ErrorCase{"Unbalanced", kBeam, R"("beam": {"step_m": 5.0, "z": [1, }})", "expected value"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(ParseConfig, OnlyTheFirstMissingRecordIsReported) {
    const std::string no_ssp_no_beam =
        mutate(R"(, "beam": {"step_m": 5.0, "max_steps": 500, "max_range_m": 800.0})", "",
               mutate(R"("ssp": {"x_ssp_m": [0.0, 1000.0], "y_ssp_m": [0.0, 1000.0], )"
                      R"("z_ssp_m": [0.0, 100.0], "c_m_s": [1500.0, 1510.0, 1500.0, 1510.0, )"
                      R"(1500.0, 1510.0, 1500.0, 1510.0]}, )",
                      ""));
    EXPECT_EQ(parse_error(no_ssp_no_beam),
              "missing field `ssp` at line 1 column " + std::to_string(no_ssp_no_beam.size()));
    EXPECT_EQ(message_of(parse_error("[]")),
              "invalid length 0, expected struct SimulationConfig with 5 elements");
    EXPECT_EQ(message_of(parse_error("\"config\"")),
              R"(invalid type: string "config", expected struct SimulationConfig)");
}

TEST(ParseConfig, ErrorPositionIsLineAndColumnOfTheOffendingByte) {
    // Multi-line text: the position counts lines from 1 and bytes within the line from 1.
    std::string text = mutate(R"("max_steps": 500,)", "\n  \"max_steps\":\n    500.5,");
    EXPECT_EQ(parse_error(text),
              "invalid type: floating point `500.5`, expected usize at line 3 column 5");
    text = mutate(R"("step_m": 5.0,)", "\n\"step_m\": 5.0, \"step_m\": 1,");
    EXPECT_EQ(parse_error(text), "duplicate field `step_m` at line 2 column 16");
    EXPECT_EQ(parse_error("{\n  \"ssp\": [\n    [1,\n     2"),
              "EOF while parsing a list at line 4 column 6");
}

TEST(ParseConfig, UnknownKeysAreSkippedWholeAndReportedInDocumentOrder) {
    UnknownKeySink sink;
    const std::string text = mutate(
        R"("step_m": 5.0,)",
        R"("zeta": {"a": [1, {"b": [[2], "x"]}], "c": null}, "step_m": 5.0, "alpha": 1,)",
        mutate(R"("receivers": {)", R"("extra": [[[]]], "receivers": {"Config_Type": 1, )"));
    const SimulationConfig c = parse_ok(text, &sink);
    EXPECT_EQ(c.beam.step_m, 5.0f);
    EXPECT_EQ(sink, (std::vector<std::string>{"extra", "receivers.Config_Type", "beam.zeta",
                                              "beam.alpha"}));

    // Array-form steps are written as zero-based positions.
    parse_ok(R"([{"x_ssp_m": [], "y_ssp_m": [], "z_ssp_m": [], "c_m_s": [], "foo": 1}, )"
             R"([[], [], [], null, {"model": "rigid", "bar": 2}], )"
             R"({"position": [0, 0, 0], "freq_hz": [], "launch_elev_deg": [], )"
             R"("launch_azim_deg": [], "baz": {}}, ["grid", [], [], []], [1, 1, 1]])",
             &sink);
    EXPECT_EQ(sink, (std::vector<std::string>{"0.foo", "2.baz"}));

    // A key is compared after unescaping and byte for byte.
    parse_ok(mutate(R"("step_m")", R"("\u0073tep_m")"), &sink);
    EXPECT_TRUE(sink.empty());
}

std::string nested(int levels, bool objects) {
    std::string open, close;
    for (int i = 0; i < levels; ++i) {
        open += objects ? R"({"k": )" : "[";
        close += objects ? "}" : "]";
    }
    return open + "1" + close;
}

TEST(ParseConfig, NestingLimitIs128LevelsCountingTheTopLevelObject) {
    for (const bool objects : {false, true}) {
        const auto with_unknown = [&](int levels) {
            return mutate(R"({"ssp")", R"({"deep": )" + nested(levels, objects) + R"(, "ssp")");
        };
        UnknownKeySink sink;
        parse_ok(with_unknown(127), &sink); // 1 + 127 levels
        EXPECT_EQ(sink, std::vector<std::string>{"deep"});
        EXPECT_EQ(message_of(parse_error(with_unknown(128))), "recursion limit exceeded");
        // Far deeper, unclosed, or ending the text: still one error, never a crash.
        EXPECT_FALSE(message_of(parse_error(with_unknown(100000))).empty());
        EXPECT_FALSE(message_of(parse_error(nested(200000, objects))).empty());
        EXPECT_FALSE(message_of(parse_error(std::string(300000, objects ? '{' : '['))).empty());
    }
}

TEST(ParseConfig, TextAfterTheTopLevelValueIsNotExamined) {
    for (const char* tail :
         {" garbage", "}", " {\"x\": ", " \"unterminated", " \xff\xfe", " [[["}) {
        UnknownKeySink sink;
        const auto result = parse_simulation_config(std::string(kBase) + tail, sink);
        EXPECT_TRUE(result.config.has_value()) << tail << ": " << result.error;
    }
}

// Every prefix of a valid text, and the text with bytes overwritten at random, must end in a
// configuration or in one positioned message; run under AddressSanitizer this also checks that
// no byte outside the text is read.
TEST(ParseConfig, HostileInputEndsInOneMessage) {
    const std::string text(kBase);
    for (std::size_t n = 0; n < text.size(); ++n)
        message_of(parse_error(text.substr(0, n)));
    std::mt19937 rng(12345);
    const std::string alphabet = "{}[],:\"\\ 0-.eE1tfn\x01\x7f\xc3\xa9\xff\xed\xa0\x80";
    for (int trial = 0; trial < 3000; ++trial) {
        std::string bad = text;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e)
            bad[rng() % bad.size()] = alphabet[rng() % alphabet.size()];
        UnknownKeySink sink;
        const auto result = parse_simulation_config(bad, sink);
        if (!result.config) message_of(result.error);
    }
    for (const std::string& odd : {std::string(), std::string("   \n"), std::string("\0", 1),
                                   std::string("\"\\u"), std::string("-"), std::string("1e"),
                                   std::string("{\"a\"\xff:1}"), std::string(4096, '"')})
        message_of(parse_error(odd));
}

} // namespace

namespace {

using kelp::input::format_f32;
using kelp::input::validate;

SimulationConfig base_config() {
    return parse_ok(kBase);
}

std::string single_error(const std::string& line) {
    return "Invalid simulation config:\n  - " + line;
}

TEST(FormatF32, ShortestRoundTripInPositionalNotation) {
    const std::vector<std::pair<float, std::string>> cases = {
        {-5.0f, "-5"},
        {-0.5f, "-0.5"},
        {1e-7f, "0.0000001"},
        {3e10f, "30000000000"},
        {0.1f, "0.1"},
        {-1500.123f, "-1500.123"},
        {16777216.0f, "16777216"},
        {-0.0f, "-0"},
        {123456.79f, "123456.79"},
        {std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
        {std::numeric_limits<float>::denorm_min(),
         "0.000000000000000000000000000000000000000000001"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(format_f32(value), text);
    // Reading the text back gives the same float, and no shorter digit string would.
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::uint32_t bits = rng();
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        const std::string text = format_f32(value);
        ASSERT_EQ(text.find_first_of("e+"), std::string::npos) << text;
        ASSERT_FALSE(text.size() > 2 && text.substr(text.size() - 2) == ".0") << text;
        float back = 0.0f;
        std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    }
}

TEST(Validate, BaseConfigurationPassesWithoutWarnings) {
    SimulationConfig c = base_config();
    const auto result = validate(c);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.warnings.empty());
}

struct RuleCase {
    const char* name;
    void (*spoil)(SimulationConfig&);
    const char* text;
};

class ValidationRules : public testing::TestWithParam<RuleCase> {};

TEST_P(ValidationRules, OneFailedRuleGivesOneLine) {
    SimulationConfig c = base_config();
    GetParam().spoil(c);
    const auto result = validate(c);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, single_error(GetParam().text));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Validate, ValidationRules, testing::Values(
    RuleCase{"EmptySoundSpeed", [](SimulationConfig& c) { c.ssp.c_m_s.clear(); },
             "ssp: c_m_s must not be empty"},
    RuleCase{"NonPositiveSpeeds", [](SimulationConfig& c) { c.ssp.c_m_s = {1500.0f, -1.0f, 0.0f}; },
             "ssp: all sound speeds must be positive"},
    RuleCase{"EmptyBathymetry", [](SimulationConfig& c) { c.bathymetry.z_bty_m.clear(); },
             "bathymetry: z_bty_m must not be empty"},
    RuleCase{"WaterDensity", [](SimulationConfig& c) { c.bathymetry.water_density_g_cm3 = 0.0f; },
             "bathymetry: water_density_g_cm3 must be positive when provided"},
    RuleCase{"BottomLossZero", [](SimulationConfig& c) { c.beam.max_bottom_loss_db = 0.0f; },
             "beam: max_bottom_loss_db must be positive and finite when provided"},
    RuleCase{"BottomLossInfinite",
             [](SimulationConfig& c) {
                 c.beam.max_bottom_loss_db = std::numeric_limits<float>::infinity();
             },
             "beam: max_bottom_loss_db must be positive and finite when provided"},
    RuleCase{"MaxArrivals", [](SimulationConfig& c) { c.beam.max_arrivals = 65536; },
             "beam: max_arrivals must be at most 65535"},
    RuleCase{"AcousticSpeed", [](SimulationConfig& c) { c.bathymetry.bottom_model = Acoustic{0.0f, 1.5f, {}}; },
             "bathymetry.bottom_model: acoustic compressional_speed_m_s must be positive"},
    RuleCase{"AcousticDensity", [](SimulationConfig& c) { c.bathymetry.bottom_model = Acoustic{1600.0f, -1.0f, {}}; },
             "bathymetry.bottom_model: acoustic density_g_cm3 must be positive"},
    RuleCase{"AcousticAttenuation", [](SimulationConfig& c) { c.bathymetry.bottom_model = Acoustic{1600.0f, 1.5f, -0.1f}; },
             "bathymetry.bottom_model: acoustic compressional_attenuation_db_per_wavelength must be >= 0"},
    RuleCase{"ElasticSpeed", [](SimulationConfig& c) { c.bathymetry.bottom_model = Elastic{0.0f, 300.0f, 2.0f, {}, {}}; },
             "bathymetry.bottom_model: elastic compressional_speed_m_s must be positive"},
    RuleCase{"ElasticShearAttenuation", [](SimulationConfig& c) { c.bathymetry.bottom_model = Elastic{1700.0f, 300.0f, 2.0f, 0.0f, -1.0f}; },
             "bathymetry.bottom_model: elastic shear_attenuation_db_per_wavelength must be >= 0"},
    RuleCase{"ElasticCompressionalAttenuation", [](SimulationConfig& c) { c.bathymetry.bottom_model = Elastic{1700.0f, 300.0f, 2.0f, -1.0f, {}}; },
             "bathymetry.bottom_model: elastic compressional_attenuation_db_per_wavelength must be >= 0"},
    RuleCase{"Elevation", [](SimulationConfig& c) { c.source.launch_elev_deg = {10.0f, 95.0f, -91.0f}; },
             "source: launch elevation angles must be in [-90, 90] deg"},
    RuleCase{"ConfigTypeCase", [](SimulationConfig& c) { c.receivers.config_type = "Grid"; },
             R"(receivers: config_type must be "grid" or "array", got "Grid")"},
    RuleCase{"StepSize", [](SimulationConfig& c) { c.beam.step_m = -1.0f; }, "beam: step_m must be positive"},
    RuleCase{"MaxSteps", [](SimulationConfig& c) { c.beam.max_steps = 0; }, "beam: max_steps must be > 0"},
    RuleCase{"MaxRange", [](SimulationConfig& c) { c.beam.max_range_m = 0.0f; }, "beam: max_range_m must be positive"}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(Validate, AllFailedRulesAreReportedTogetherInRuleOrder) {
    SimulationConfig c = base_config();
    c.ssp.c_m_s.clear();
    c.beam.step_m = 0.0f;
    EXPECT_EQ(validate(c).error,
              "Invalid simulation config:\n  - ssp: c_m_s must not be empty\n"
              "  - beam: step_m must be positive");

    c = base_config();
    c.beam.max_range_m = -1.0f;
    c.beam.max_steps = 0;
    c.receivers.config_type = "arrays";
    c.source.launch_elev_deg = {100.0f};
    c.bathymetry.bottom_model = Elastic{1700.0f, 0.0f, 0.0f, {}, {}};
    c.bathymetry.water_density_g_cm3 = -1.0f;
    c.bathymetry.z_bty_m.clear();
    c.ssp.c_m_s = {0.0f};
    EXPECT_EQ(validate(c).error,
              "Invalid simulation config:\n"
              "  - ssp: all sound speeds must be positive\n"
              "  - bathymetry: z_bty_m must not be empty\n"
              "  - bathymetry: water_density_g_cm3 must be positive when provided\n"
              "  - bathymetry.bottom_model: elastic shear_speed_m_s must be positive\n"
              "  - bathymetry.bottom_model: elastic density_g_cm3 must be positive\n"
              "  - source: launch elevation angles must be in [-90, 90] deg\n"
              "  - receivers: config_type must be \"grid\" or \"array\", got \"arrays\"\n"
              "  - beam: max_steps must be > 0\n"
              "  - beam: max_range_m must be positive");
}

TEST(Validate, BoundaryValuesPass) {
    SimulationConfig c = base_config();
    c.source.launch_elev_deg = {-90.0f, 90.0f};
    c.bathymetry.bottom_model = Elastic{1700.0f, 300.0f, 2.0f, 0.0f, 0.0f};
    c.receivers.config_type = "array";
    EXPECT_TRUE(validate(c).ok);
}

TEST(Validate, NegativeDepthsAreCorrectedWithWarningsInRuleOrder) {
    SimulationConfig c = base_config();
    c.receivers.z_rcvr_m = {-1e-7f, 20.0f};
    c.source.position[2] = -3e10f;
    c.ssp.z_ssp_m = {-5.0f, 10.0f, -0.5f, -0.0f};
    const auto result = validate(c);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(
        result.warnings,
        (std::vector<std::string>{
            "ssp: z_ssp_m value -5 is negative (positive down convention); correcting to 5",
            "ssp: z_ssp_m value -0.5 is negative (positive down convention); correcting to "
            "0.5",
            "source: z position -30000000000 is negative (positive down convention); "
            "correcting to 30000000000",
            "receivers: z_rcvr_m value -0.0000001 is negative (positive down convention); "
            "correcting to 0.0000001"}));
    EXPECT_EQ(c.ssp.z_ssp_m[0], 5.0f);
    EXPECT_EQ(c.ssp.z_ssp_m[2], 0.5f);
    EXPECT_TRUE(std::signbit(c.ssp.z_ssp_m[3])); // -0 is not below zero: left alone
    EXPECT_EQ(c.source.position[2], 3e10f);
    EXPECT_EQ(c.receivers.z_rcvr_m[0], 1e-7f);
}

TEST(Validate, ErrorsDiscardWarningsButKeepCorrections) {
    SimulationConfig c = base_config();
    c.ssp.z_ssp_m = {-5.0f};
    c.beam.max_steps = 0;
    const auto result = validate(c);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(result.error, single_error("beam: max_steps must be > 0"));
    EXPECT_EQ(c.ssp.z_ssp_m[0], 5.0f);
}

} // namespace
