#include "events/delivery_rule.h"

namespace trv::core {

namespace {

bool wantsLive(uint32_t caps) { return (caps & WantsLive) != 0; }

// Video and audio: own live media comes back only when output-bound; a
// modifier-marked record skips the origin test but never reaches a plugin
// whose origin names no plugin.
bool wantsMedia(uint32_t caps, uint32_t exactType, uint32_t pluginOrigin, const EventParms& event) {
  if (event.type == exactType && sameOrigin(event.source, pluginOrigin)) {
    return (event.detail[detail_offset::frameFlags] & FrameOutputBound) != 0;
  }
  if ((event.type & TypeModifier) != 0 && pluginOrigin != CoreSource && pluginIdOf(pluginOrigin) == 0) {
    return false;
  }
  return wantsLive(caps);
}

// Config and analytic records return to their own origin only when asked to.
bool returnsToOrigin(const EventParms& event) {
  return detailWord(event, detail_offset::firstWord) != 0;
}

}  // namespace

bool wantsEvent(const PluginInfo& info, const EventParms& event) {
  const uint32_t origin = info.origin;
  if ((event.flags & FlagStored) != 0) return sameOrigin(event.searchId, origin);

  const bool own = sameOrigin(event.source, origin);
  switch (baseType(event.type)) {
    case TypeVideo: return wantsMedia(info.videoCaps, TypeVideo, origin, event);
    case TypeAudio: return wantsMedia(info.audioCaps, TypeAudio, origin, event);
    case TypeAlarm: return wantsLive(info.alarmCaps);
    case TypePtz: return wantsLive(info.ptzCaps);
    case TypeSerial: return wantsLive(info.serialCaps);
    case TypeWatchdog: return own;
    case TypeLog: return !own && wantsLive(info.logCaps);
    case TypeConfig: return own ? returnsToOrigin(event) : true;
    case TypePos: return wantsLive(info.posCaps);
    case TypeAnalytic: return own ? returnsToOrigin(event) : wantsLive(info.analyticCaps);
    default: return false;
  }
}

}  // namespace trv::core
