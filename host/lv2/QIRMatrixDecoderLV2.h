// host/lv2: the decoder as an LV2 plug-in: its URI and bundle, the symbols and
// names of its ports, the control ports that carry its parameters, the sample
// rates it serves and the folder an instance reads its decoder sets from.
#pragma once

#include "host/lv2/ILV2Binding.h"

#include <span>
#include <string>

namespace qir::lv2 {

inline constexpr const char* kPluginURI = "urn:qir:matrix-decoder";
inline constexpr const char* kBundleName = "qir-matrix-decoder.lv2";
inline constexpr const char* kBinaryName = "qir-matrix-decoder.so";
// Presets are named kPresetURIPrefix + a slug of their name.
inline constexpr const char* kPresetURIPrefix = "urn:qir:matrix-decoder:preset:";
// The folder inside the bundle that holds the decoder sets.
inline constexpr const char* kDecoderSetFolderName = "decoder-sets";

// Sample rates the decoder serves; instantiation at any other rate fails.
inline constexpr double kMinSampleRate = 8000.0;
inline constexpr double kMaxSampleRate = 384000.0;

inline constexpr const char* kMidiInputSymbol = "midi_in";
inline constexpr const char* kMidiInputName = "MIDI In";
inline constexpr const char* kLatencySymbol = "latency";
inline constexpr const char* kLatencyName = "Latency";

// Audio input c carries ACN channel c: "in_<c>", named "ACN <c>".
[[nodiscard]] std::string AudioInputSymbol(int channel);
[[nodiscard]] std::string AudioInputName(int channel);
// Outputs 0 and 1: "out_l" ("Left") and "out_r" ("Right").
[[nodiscard]] const char* AudioOutputSymbol(int channel);
[[nodiscard]] const char* AudioOutputName(int channel);

// The thirteen control inputs, in port order: every parameter at its plain
// value, except pitch and roll, which are true degrees (-90 to 90) carried by
// parameters of twice that value.
[[nodiscard]] std::span<const plugfw::LV2ControlPort> ControlPorts();

// The folder an instance in bundlePath reads its decoder sets from: the one
// named by QIR_RESOURCE_DIR when that is set; else the bundle's own
// decoder-sets folder; else, when the bundle has none, the sets folder of the
// tree the bundle sits in (<root>/lib/lv2/<bundle> beside
// <root>/share/qir-matrix-decoder/decoder-sets, as in a build tree) when that
// exists; else the bundle's (which then names the missing folder).
[[nodiscard]] std::string DecoderSetFolder(const char* bundlePath);

} // namespace qir::lv2
