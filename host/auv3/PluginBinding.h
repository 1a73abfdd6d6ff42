// host/auv3: the base class of a plug-in built for the audio-unit v3 binding.
// A plug-in's sources include "PluginBinding.h" and find this one through the
// binding's include path when they are compiled for this binding.
#pragma once

#include "host/auv3/IAUv3Binding.h"

namespace plugfw {
using IPluginBinding = IAUv3Binding;
}
