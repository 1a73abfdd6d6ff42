// tests/lv2: state and presets as hosts keep them: a state saved through lilv
// (and through its Turtle text, as in a session file) restores into a fresh
// instance that then sounds the same; port values win over the blob's settings
// whichever the host restores first; a blob that does not parse is refused,
// logged and changes nothing; the bundle's preset loads.
#include "tests/lv2/LV2TestHost.h"

#include <gtest/gtest.h>

#include <lv2/atom/atom.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace qirtest {
namespace {

using Bytes = std::vector<uint8_t>;

const std::map<std::string, float> kSettings = {
    {"decoder_mode", 1.0f}, {"decode_order", 2.0f}, {"normalization", 0.0f}, {"yaw", 40.0f},
    {"pitch", -20.0f},      {"roll", 12.5f},        {"flip_roll", 1.0f},     {"volume", -6.0f},
};

Field Input()
{
    Field field = Noise(16, 6000, 31);
    for (auto& channel : field) {
        channel.insert(channel.begin(), kPreRollFrames, 0.0f);
    }
    return field;
}

Field RenderWith(const LV2World& world, const std::map<std::string, float>& ports)
{
    LV2Instance instance(world);
    for (const auto& [symbol, value] : ports) {
        instance.set(symbol, value);
    }
    instance.activate();
    return instance.render(Input(), [] { return 512u; });
}

const LV2_State_Interface& StateInterface(LV2Instance& instance)
{
    const void* data = lilv_instance_get_extension_data(instance.get(), LV2_STATE__interface);
    return *static_cast<const LV2_State_Interface*>(data);
}

// The plug-in's blob, saved through its state interface.
Bytes SaveBlob(LV2Instance& instance, uint32_t* type = nullptr)
{
    struct Saved {
        Bytes bytes;
        uint32_t type = 0;
        int count = 0;
    } saved;
    const auto store = [](LV2_State_Handle handle, uint32_t, const void* value, size_t size, uint32_t valueType,
                          uint32_t) -> LV2_State_Status {
        auto* s = static_cast<Saved*>(handle);
        const auto* bytes = static_cast<const uint8_t*>(value);
        s->bytes.assign(bytes, bytes + size);
        s->type = valueType;
        ++s->count;
        return LV2_STATE_SUCCESS;
    };
    EXPECT_EQ(StateInterface(instance).save(lilv_instance_get_handle(instance.get()), store, &saved, 0,
                                            instance.features()),
              LV2_STATE_SUCCESS);
    EXPECT_EQ(saved.count, 1) << "one blob";
    if (type != nullptr) {
        *type = saved.type;
    }
    return saved.bytes;
}

// Restores a blob through the plug-in's state interface alone (the ports are
// the host's business).
LV2_State_Status RestoreBlob(LV2Instance& instance, const Bytes& blob, uint32_t type)
{
    struct Source {
        const Bytes* bytes;
        uint32_t type;
    } source{&blob, type};
    const auto retrieve = [](LV2_State_Handle handle, uint32_t, size_t* size, uint32_t* valueType,
                             uint32_t* flags) -> const void* {
        auto* s = static_cast<Source*>(handle);
        *size = s->bytes->size();
        *valueType = s->type;
        *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
        return s->bytes->data();
    };
    return StateInterface(instance).restore(lilv_instance_get_handle(instance.get()), retrieve, &source, 0,
                                            instance.features());
}

uint32_t ChunkType()
{
    return SharedURIDMap().map(LV2_ATOM__Chunk);
}

TEST(LV2State, SavedThroughLilvRestoresIntoAFreshInstanceThatSoundsTheSame)
{
    const LV2World world;
    LV2Instance original(world);
    for (const auto& [symbol, value] : kSettings) {
        original.set(symbol, value);
    }
    original.activate();
    (void)original.render(Noise(16, 3000, 1), [] { return 256u; });
    LilvState* saved = original.saveState();
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(lilv_state_get_num_properties(saved), 1u);

    // Through Turtle text, as a session file keeps it.
    URIDMap& map = SharedURIDMap();
    char* text = lilv_state_to_string(world.get(), map.mapFeatureData(), map.unmapFeatureData(), saved,
                                      "urn:qir:test:state", nullptr);
    ASSERT_NE(text, nullptr);
    LilvState* loaded = lilv_state_new_from_string(world.get(), map.mapFeatureData(), text);
    lilv_free(text);
    lilv_state_free(saved);
    ASSERT_NE(loaded, nullptr);

    LV2Instance restored(world);
    restored.restoreState(loaded);
    lilv_state_free(loaded);
    for (const auto& [symbol, value] : kSettings) {
        EXPECT_EQ(restored.get(symbol), value) << symbol;
    }
    restored.activate();
    const Field out = restored.render(Input(), [] { return 512u; });
    const Field expected = RenderWith(world, kSettings);
    EXPECT_EQ(MaxDifference(out, expected), 0.0);
    EXPECT_GT(Peak(expected), 1e-3);
}

TEST(LV2State, PortValuesWinOverTheBlobWhicheverTheHostRestoresFirst)
{
    const LV2World world;
    LV2Instance source(world);
    for (const auto& [symbol, value] : kSettings) {
        source.set(symbol, value);
    }
    source.activate();
    (void)source.render(Noise(16, 512, 2), [] { return 512u; });
    const Bytes blob = SaveBlob(source);

    // The host's port values, some of them the same as before the restore and
    // all of them different from the blob's settings.
    const std::map<std::string, float> ports = {{"decode_order", 2.0f}, {"yaw", -70.0f}, {"volume", 3.0f}};
    const Field input = Input();
    const std::size_t restoreAt = 1024;
    LV2Instance reference(world);
    for (const auto& [symbol, value] : ports) {
        reference.set(symbol, value);
    }
    reference.activate();
    const Field expected = reference.render(input, [] { return 512u; });

    for (const bool portsFirst : {true, false}) {
        SCOPED_TRACE(portsFirst ? "ports, then the blob" : "the blob, then the ports");
        // A session restored into a running instance, between two runs.
        LV2Instance instance(world);
        for (const auto& [symbol, value] : ports) {
            instance.set(symbol, value);
        }
        instance.activate();
        Field out(2);
        for (std::size_t pos = 0; pos < input[0].size(); pos += 512) {
            if (pos == restoreAt) {
                ASSERT_EQ(RestoreBlob(instance, blob, ChunkType()), LV2_STATE_SUCCESS);
                if (!portsFirst) {
                    for (const auto& [symbol, value] : ports) {
                        instance.set(symbol, value);
                    }
                }
            }
            instance.run(input, pos, static_cast<uint32_t>(std::min<std::size_t>(512, input[0].size() - pos)), {},
                         out);
        }
        // The blob's decoder (Room) and angles never sound; the set the ports
        // ask for is read again and crossfaded into itself, which rounds.
        EXPECT_LT(MaxDifference(out, expected), 1e-6 * Peak(expected));
    }
}

struct BadBlobCase {
    const char* name;
    // Turns a good blob into the bad one; may change the type.
    void (*spoil)(Bytes& blob, uint32_t& type);
};

class LV2StateBlobs : public ::testing::TestWithParam<BadBlobCase> {};

TEST_P(LV2StateBlobs, ThatDoNotParseAreRefusedLoggedAndChangeNothing)
{
    const LV2World world;
    LV2Instance instance(world);
    for (const auto& [symbol, value] : kSettings) {
        instance.set(symbol, value);
    }
    instance.activate();
    (void)instance.render(Noise(16, 512, 3), [] { return 512u; });
    uint32_t goodType = 0;
    const Bytes before = SaveBlob(instance, &goodType);
    ASSERT_EQ(goodType, ChunkType());
    ASSERT_EQ(before.size(), 8u + 13u * 8u) << "plug-in ID, version, 13 settings";
    (void)instance.takeLog();

    Bytes bad = before;
    uint32_t type = goodType;
    GetParam().spoil(bad, type);
    EXPECT_NE(RestoreBlob(instance, bad, type), LV2_STATE_SUCCESS);
    const std::vector<std::string> log = instance.takeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("state refused"), std::string::npos) << log[0];
    EXPECT_EQ(SaveBlob(instance), before);
}

void SetDouble(Bytes& blob, std::size_t index, double value)
{
    std::memcpy(blob.data() + 8 + index * sizeof value, &value, sizeof value);
}

INSTANTIATE_TEST_SUITE_P(
    Blobs, LV2StateBlobs,
    ::testing::Values(
        BadBlobCase{"Empty", [](Bytes& b, uint32_t&) { b.clear(); }},
        BadBlobCase{"HeaderCutShort", [](Bytes& b, uint32_t&) { b.erase(b.begin() + 6, b.end()); }},
        BadBlobCase{"AnotherPlugin", [](Bytes& b, uint32_t&) { b[0] ^= 0x20; }},
        BadBlobCase{"NewerVersion", [](Bytes& b, uint32_t&) { b[4] = 2; }},
        BadBlobCase{"SettingsCutShort", [](Bytes& b, uint32_t&) { b.erase(b.end() - 8, b.end()); }},
        BadBlobCase{"SettingsTooLong", [](Bytes& b, uint32_t&) { b.insert(b.end(), 8, 0); }},
        BadBlobCase{"NotANumber",
                    [](Bytes& b, uint32_t&) { SetDouble(b, 6, std::numeric_limits<double>::quiet_NaN()); }},
        BadBlobCase{"Infinite",
                    [](Bytes& b, uint32_t&) { SetDouble(b, 12, -std::numeric_limits<double>::infinity()); }},
        BadBlobCase{"NotAChunk", [](Bytes&, uint32_t& t) { t = SharedURIDMap().map(LV2_ATOM__String); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LV2Presets, TheBundlesPresetLoadsThroughLilv)
{
    const LV2World world;
    LilvNode* presetClass = lilv_new_uri(world.get(), LV2_PRESETS__Preset);
    LilvNodes* presets = lilv_plugin_get_related(world.decoder(), presetClass);
    lilv_node_free(presetClass);
    ASSERT_EQ(lilv_nodes_size(presets), 1u);
    const LilvNode* preset = lilv_nodes_get_first(presets);
    EXPECT_STREQ(lilv_node_as_uri(preset), "urn:qir:matrix-decoder:preset:default");
    lilv_world_load_resource(world.get(), preset);
    LilvState* state = lilv_state_new_from_world(world.get(), SharedURIDMap().mapFeatureData(), preset);
    lilv_nodes_free(presets);
    ASSERT_NE(state, nullptr);
    EXPECT_STREQ(lilv_state_get_label(state), "Default");

    // Every setting changed, then the preset: the settings of a new instance.
    LV2Instance instance(world);
    const LV2Instance fresh(world);
    for (const auto& [symbol, value] : kSettings) {
        instance.set(symbol, value);
    }
    instance.set("rotation", 0.0f);
    instance.restoreState(state);
    lilv_state_free(state);
    for (const std::string& symbol : fresh.controlSymbols()) {
        EXPECT_EQ(instance.get(symbol), fresh.get(symbol)) << symbol;
    }
    instance.activate();
    EXPECT_EQ(MaxDifference(instance.render(Input(), [] { return 512u; }), RenderWith(world, {})), 0.0);
}

} // namespace
} // namespace qirtest
