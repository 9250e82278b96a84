// Typed views of an event record: empty types that name what a record of a
// given type and direction is, and the classification that picks one.
#pragma once

#include <any>

#include "trv/core/event_parms.h"

namespace trv::core {

template <uint32_t Direction, uint32_t Type>
struct XmlEvt : EventParms {};
template <uint32_t Direction, uint32_t Type>
struct TxtEvt : EventParms {};
template <uint32_t Direction, uint32_t Type>
struct VideoBase : EventParms {};
template <uint32_t Direction, uint32_t Type>
struct AudioBase : EventParms {};

struct VideoEvt : VideoBase<16777216u, 1u> {};
struct VideoOutEvt : VideoEvt {};
struct StoredVideoEvt : VideoBase<67108864u, 1u> {};
struct AudioEvt : AudioBase<16777216u, 2u> {};
struct AudioOutEvt : AudioEvt {};
struct StoredAudioEvt : AudioBase<67108864u, 2u> {};
struct AlarmEvt : XmlEvt<16777216u, 4u> {};
struct StoredAlarmEvt : XmlEvt<67108864u, 4u> {};
struct PTZEvt : XmlEvt<16777216u, 8u> {};
struct SerialEvt : TxtEvt<16777216u, 16u> {};
struct WatchdogEvt : EventParms {};
struct LogEvt : TxtEvt<16777216u, 64u> {};
struct StoredLogEvt : XmlEvt<67108864u, 64u> {};
struct ConfigEvt : XmlEvt<16777216u, 256u> {};
struct POSEvt : TxtEvt<16777216u, 1024u> {};
struct StoredPOSEvt : XmlEvt<67108864u, 1024u> {};
struct AnalyticEvt : XmlEvt<16777216u, 65536u> {};
struct StoredAnalyticEvt : XmlEvt<67108864u, 65536u> {};

namespace detail {
template <typename View>
std::any viewOf(const EventParms& event) {
  static_assert(sizeof(View) == sizeof(EventParms), "a view adds no data");
  return static_cast<const View*>(&event);
}

template <typename Live, typename Stored>
std::any liveOrStored(const EventParms& event, bool stored) {
  return stored ? viewOf<Stored>(event) : viewOf<Live>(event);
}
}  // namespace detail

// The view that applies to `event`, as a `const View*` in a std::any, or an
// empty std::any for types without a view. Test with `any.type() ==
// typeid(const VideoEvt*)` or `std::any_cast<const VideoEvt*>`.
inline std::any classify(const EventParms& event) {
  const bool stored = (event.flags & FlagStored) != 0;
  const bool outputBound = (event.detail[detail_offset::frameFlags] & FrameOutputBound) != 0;
  switch (baseType(event.type)) {
    case TypeVideo:
      if (stored) return detail::viewOf<StoredVideoEvt>(event);
      if (event.type == TypeVideo && outputBound) return detail::viewOf<VideoOutEvt>(event);
      return detail::viewOf<VideoEvt>(event);
    case TypeAudio:
      if (stored) return detail::viewOf<StoredAudioEvt>(event);
      if (event.type == TypeAudio && outputBound) return detail::viewOf<AudioOutEvt>(event);
      return detail::viewOf<AudioEvt>(event);
    case TypeAlarm: return detail::liveOrStored<AlarmEvt, StoredAlarmEvt>(event, stored);
    case TypeLog: return detail::liveOrStored<LogEvt, StoredLogEvt>(event, stored);
    case TypePos: return detail::liveOrStored<POSEvt, StoredPOSEvt>(event, stored);
    case TypeAnalytic: return detail::liveOrStored<AnalyticEvt, StoredAnalyticEvt>(event, stored);
    case TypePtz: return detail::viewOf<PTZEvt>(event);
    case TypeSerial: return detail::viewOf<SerialEvt>(event);
    case TypeWatchdog: return detail::viewOf<WatchdogEvt>(event);
    case TypeConfig: return detail::viewOf<ConfigEvt>(event);
    default: return {};
  }
}

// True when the record classifies as `View` exactly.
template <typename View>
bool isView(const EventParms& event) {
  return classify(event).type() == typeid(const View*);
}

}  // namespace trv::core
