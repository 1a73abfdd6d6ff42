// framework: small enumerations shared by the framework classes and the host
// bindings.
#pragma once

namespace plugfw {

// Host API of a binding.
enum EAPI {
    kAPIVST2 = 0,
    kAPIVST3 = 1,
    kAPIAU = 2,
    kAPIAUv3 = 3,
    kAPIAAX = 4,
    kAPIAPP = 5,
    kAPIWAM = 6,
    kAPIWEB = 7,
    kAPILV2 = 8,
};

// Direction of a bus or channel.
enum ERoute {
    kRouteInput = 0,
    kRouteOutput = 1,
};

// Where a parameter change came from.
enum EParamSource {
    kReset = 0,
    kHost = 1,
    kPresetRecall = 2,
    kUI = 3,
};

} // namespace plugfw
