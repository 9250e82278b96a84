// Which plugins want which queued records.
#pragma once

#include "trv/core/event_parms.h"
#include "trv/core/plugin_abi.h"

namespace trv::core {

// True when the plugin described by `info` wants `event` delivered. A pure
// function of the two: a few comparisons per plugin and record.
bool wantsEvent(const PluginInfo& info, const EventParms& event);

}  // namespace trv::core
