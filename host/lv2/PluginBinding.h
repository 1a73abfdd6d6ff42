// host/lv2: the base class of a plug-in built for the LV2 binding. A plug-in's
// sources include "PluginBinding.h" and find this one through the binding's
// include path when they are compiled for this binding.
#pragma once

#include "host/lv2/ILV2Binding.h"

namespace plugfw {
using IPluginBinding = ILV2Binding;
}
