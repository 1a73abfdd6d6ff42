// host/vst3: the base class of a plug-in built for the VST3 binding. A
// plug-in's sources include "PluginBinding.h" and find this one through the
// binding's include path when they are compiled for this binding.
#pragma once

#include "host/vst3/IVST3Binding.h"

namespace plugfw {
using IPluginBinding = IVST3Binding;
}
