// tests/lv2: the installed bundle as hosts read it: Turtle that validates
// against the LV2 schemas, the plug-in listed from the prefix, and ports that
// carry the plug-in's parameters under the names, ranges, defaults, labels and
// units hosts store sessions by.
#include "tests/lv2/LV2TestHost.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <lv2/core/lv2.h>
#include <lv2/port-props/port-props.h>
#include <lv2/units/units.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace qirtest {
namespace {

std::vector<fs::path> TurtleFiles(const fs::path& folder)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".ttl") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(LV2Bundle, InstallsTheModuleTheTurtleAndTheDecoderSetsTogether)
{
    const fs::path bundle = InstalledBundle();
    for (const char* file : {"manifest.ttl", "qir-matrix-decoder.ttl", "presets.ttl", "qir-matrix-decoder.so"}) {
        EXPECT_TRUE(fs::is_regular_file(bundle / file)) << file;
    }
    int sets = 0;
    for (const auto& entry : fs::directory_iterator(bundle / "decoder-sets")) {
        sets += entry.path().extension() == ".wav" ? 1 : 0;
    }
    // The fifteen sets and the UHJ set made for each of seven other common rates.
    EXPECT_EQ(sets, 22);
}

TEST(LV2Bundle, TurtleValidatesAgainstTheLV2Schemas)
{
    std::vector<std::string> args;
    for (const auto& schemaBundle : fs::directory_iterator(fs::path(QIR_LV2_SCHEMA_DIR))) {
        for (const fs::path& file : TurtleFiles(schemaBundle.path())) {
            args.push_back(file.string());
        }
    }
    ASSERT_FALSE(args.empty()) << "no LV2 schemas in " << QIR_LV2_SCHEMA_DIR;
    const std::vector<fs::path> ours = TurtleFiles(InstalledBundle());
    ASSERT_EQ(ours.size(), 3u);
    for (const fs::path& file : ours) {
        args.push_back(file.string());
    }
    const ProcessResult run = RunProcess(QIR_SORD_VALIDATE, args, fs::temp_directory_path());
    EXPECT_EQ(run.mExitCode, 0) << run.mErr;
    const std::string report = run.mOut + run.mErr;
    EXPECT_NE(report.find("Found 0 errors"), std::string::npos) << report;
    EXPECT_EQ(report.find("arning"), std::string::npos) << report;
}

TEST(LV2Bundle, Lv2lsListsThePluginFromTheInstalledPrefix)
{
    const ProcessResult run =
        RunProcess(QIR_LV2LS, {}, fs::temp_directory_path(), {"LV2_PATH=" + InstalledLV2Path().string()});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_EQ(run.mOut, std::string(kDecoderURI) + "\n");
}

// One control input as a host must see it: the interface sessions are stored by.
struct ControlCase {
    const char* symbol;
    const char* name;
    float minimum;
    float maximum;
    float defaultValue;
    const char* kind; // "enum", "toggle" or "float"
    std::vector<const char*> labels;
    const char* unit; // units: local name, or ""
    int rangeSteps;   // 0: none declared
};

const std::vector<ControlCase>& ControlTable()
{
    static const std::vector<ControlCase> table = {
        {"decoder_mode", "Decoder Mode", 0, 2, 0, "enum", {"Anechoic", "Room", "UHJ"}, "", 0},
        {"decode_order", "Decode Order", 0, 6, 0, "enum", {"1", "2", "3", "4", "5", "6", "7"}, "", 0},
        {"channel_layout", "Channel Layout", 0, 1, 0, "enum", {"ACN", "FuMa"}, "", 0},
        {"normalization", "Normalization Type", 0, 2, 1, "enum", {"N3D", "SN3D", "FuMa"}, "", 0},
        {"rotation", "Enable Rotation", 0, 1, 1, "toggle", {}, "", 0},
        {"use_rpy", "Use RPY", 0, 1, 0, "toggle", {}, "", 0},
        {"yaw", "Yaw", -180, 180, 0, "float", {}, "degree", 3601},
        // True degrees: parameters of twice the value carry them.
        {"pitch", "Pitch", -90, 90, 0, "float", {}, "degree", 3601},
        {"roll", "Roll", -90, 90, 0, "float", {}, "degree", 3601},
        {"flip_yaw", "Flip Yaw", 0, 1, 0, "toggle", {}, "", 0},
        {"flip_pitch", "Flip Pitch", 0, 1, 0, "toggle", {}, "", 0},
        {"flip_roll", "Flip Roll", 0, 1, 0, "toggle", {}, "", 0},
        {"volume", "Output Volume", -70, 12, 0, "float", {}, "db", 165},
    };
    return table;
}

class LV2Ports : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(mWorld.decoder(), nullptr) << "the plug-in is not found in " << InstalledLV2Path();
    }

    const LilvPort* Port(const std::string& symbol)
    {
        LilvNode* node = lilv_new_string(mWorld.get(), symbol.c_str());
        const LilvPort* port = lilv_plugin_get_port_by_symbol(mWorld.decoder(), node);
        lilv_node_free(node);
        return port;
    }

    bool Has(const LilvPort* port, const char* property)
    {
        LilvNode* node = lilv_new_uri(mWorld.get(), property);
        const bool has = lilv_port_has_property(mWorld.decoder(), port, node);
        lilv_node_free(node);
        return has;
    }

    LilvNodes* Values(const LilvPort* port, const char* predicate)
    {
        LilvNode* node = lilv_new_uri(mWorld.get(), predicate);
        LilvNodes* values = lilv_port_get_value(mWorld.decoder(), port, node);
        lilv_node_free(node);
        return values;
    }

    LV2World mWorld;
};

TEST_F(LV2Ports, ControlInputsCarryTheParameterTable)
{
    const LilvPlugin* plugin = mWorld.decoder();
    for (const ControlCase& c : ControlTable()) {
        SCOPED_TRACE(c.symbol);
        const LilvPort* port = Port(c.symbol);
        ASSERT_NE(port, nullptr);
        LilvNode* name = lilv_port_get_name(plugin, port);
        EXPECT_STREQ(lilv_node_as_string(name), c.name);
        lilv_node_free(name);
        LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
        lilv_port_get_range(plugin, port, &def, &min, &max);
        ASSERT_TRUE(def && min && max);
        EXPECT_EQ(lilv_node_as_float(min), c.minimum);
        EXPECT_EQ(lilv_node_as_float(max), c.maximum);
        EXPECT_EQ(lilv_node_as_float(def), c.defaultValue);
        lilv_node_free(def);
        lilv_node_free(min);
        lilv_node_free(max);

        const std::string kind = c.kind;
        EXPECT_EQ(Has(port, LV2_CORE__enumeration), kind == "enum");
        EXPECT_EQ(Has(port, LV2_CORE__toggled), kind == "toggle");
        EXPECT_EQ(Has(port, LV2_CORE__integer), kind != "float");

        std::vector<std::string> labels;
        std::vector<float> values;
        LilvScalePoints* points = lilv_port_get_scale_points(plugin, port);
        LILV_FOREACH (scale_points, i, points) {
            const LilvScalePoint* point = lilv_scale_points_get(points, i);
            labels.emplace_back(lilv_node_as_string(lilv_scale_point_get_label(point)));
            values.push_back(lilv_node_as_float(lilv_scale_point_get_value(point)));
        }
        lilv_scale_points_free(points);
        std::vector<std::pair<float, std::string>> sorted;
        for (std::size_t i = 0; i < labels.size(); ++i) {
            sorted.emplace_back(values[i], labels[i]);
        }
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted.size(), c.labels.size());
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            EXPECT_EQ(sorted[i].first, static_cast<float>(i));
            EXPECT_EQ(sorted[i].second, c.labels[i]);
        }

        LilvNodes* units = Values(port, LV2_UNITS__unit);
        const std::string unit = lilv_nodes_size(units) == 1
                                     ? std::string(lilv_node_as_uri(lilv_nodes_get_first(units)))
                                     : std::string();
        lilv_nodes_free(units);
        EXPECT_EQ(unit, *c.unit ? std::string(LV2_UNITS_PREFIX) + c.unit : std::string());

        LilvNodes* steps = Values(port, LV2_PORT_PROPS__rangeSteps);
        EXPECT_EQ(lilv_nodes_size(steps) == 1 ? lilv_node_as_int(lilv_nodes_get_first(steps)) : 0, c.rangeSteps);
        lilv_nodes_free(steps);
    }
    LV2Instance instance(mWorld);
    EXPECT_EQ(instance.controlSymbols().size(), ControlTable().size()) << "no control inputs beyond the table";
}

TEST_F(LV2Ports, AudioInputsBeyondFirstOrderAreOptionalAndTheLatencyIsDesignated)
{
    const LilvPlugin* plugin = mWorld.decoder();
    for (int c = 0; c < kAudioInputs; ++c) {
        SCOPED_TRACE(c);
        const LilvPort* port = Port("in_" + std::to_string(c));
        ASSERT_NE(port, nullptr);
        LilvNode* name = lilv_port_get_name(plugin, port);
        EXPECT_EQ(std::string(lilv_node_as_string(name)), "ACN " + std::to_string(c));
        lilv_node_free(name);
        EXPECT_EQ(Has(port, LV2_CORE__connectionOptional), c >= 4);
    }
    for (const char* symbol : {"out_l", "out_r"}) {
        const LilvPort* port = Port(symbol);
        ASSERT_NE(port, nullptr) << symbol;
        EXPECT_FALSE(Has(port, LV2_CORE__connectionOptional)) << symbol;
    }
    const LilvPort* midi = Port("midi_in");
    ASSERT_NE(midi, nullptr);
    EXPECT_TRUE(Has(midi, LV2_CORE__connectionOptional));

    LilvNode* latencyDesignation = lilv_new_uri(mWorld.get(), LV2_CORE__latency);
    LilvNode* output = lilv_new_uri(mWorld.get(), LV2_CORE__OutputPort);
    const LilvPort* latency = lilv_plugin_get_port_by_designation(plugin, output, latencyDesignation);
    ASSERT_NE(latency, nullptr);
    EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(plugin, latency)), "latency");
    EXPECT_TRUE(lilv_plugin_has_latency(plugin));
    lilv_node_free(latencyDesignation);
    lilv_node_free(output);
    EXPECT_EQ(lilv_plugin_get_num_ports(plugin), 64u + 2u + 1u + 13u + 1u);
}

} // namespace
} // namespace qirtest
