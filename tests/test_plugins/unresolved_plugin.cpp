// A plugin that calls a function nothing defines: binding all symbols at load
// time must fail instead of the call crashing later.
#include <trv/core/sdk.h>

extern "C" int trvNowhere();

TRV_PLUGIN_EXPORT int Load(const trv::core::LoadArgs*, trv::core::PluginInfo*) {
  return trvNowhere();
}
