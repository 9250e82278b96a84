#include "frame_schedule.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace trv::camerasim {

namespace {

using namespace trv::core;
using std::chrono::microseconds;

microseconds periodOf(double perSecond) {
  return microseconds(std::llround(1e6 / perSecond));
}

void setCaptureTime(EventParms& record, std::chrono::milliseconds sinceEpoch) {
  const auto millis = static_cast<uint64_t>(sinceEpoch.count());
  setDetailWord(record, detail_offset::seconds, static_cast<uint32_t>(millis / 1000));
  const auto withinSecond = static_cast<uint16_t>(millis % 1000);
  std::memcpy(record.detail + detail_offset::millis, &withinSecond, sizeof withinSecond);
}

}  // namespace

FrameSchedule::FrameSchedule(const CameraSettings& settings, uint32_t origin, SteadyTime start,
                             WallTime wallStart)
    : origin_(origin),
      keyEvery_(settings.keyEvery),
      start_(start),
      wallStart_(std::chrono::floor<std::chrono::milliseconds>(wallStart.time_since_epoch())),
      video_{periodOf(settings.fps), 0, std::string(settings.frameBytes, '.')},
      audio_{settings.audioRate > 0 ? periodOf(settings.audioRate) : microseconds::zero(), 0,
             std::string(settings.audioBytes, '.')},
      withAudio_(settings.audioRate > 0),
      sinceKey_(settings.keyEvery) {}

FrameSchedule::SteadyTime FrameSchedule::nextDue() const {
  const Stream& stream = videoIsNext() ? video_ : audio_;
  return start_ + stream.period * static_cast<int64_t>(stream.count);
}

core::EventParms& FrameSchedule::next() {
  return videoIsNext() ? nextVideoFrame() : nextAudioBlock();
}

void FrameSchedule::answered(int result) {
  // Whatever the core dropped, the picture resumes at the next key frame.
  if (result == PostNoKeyFrame || result == PostGopTooLong || result == PostThrottled) {
    keyNeeded_ = true;
  }
}

bool FrameSchedule::videoIsNext() const {
  if (!withAudio_) return true;
  return video_.period * static_cast<int64_t>(video_.count) <=
         audio_.period * static_cast<int64_t>(audio_.count);
}

core::EventParms& FrameSchedule::nextVideoFrame() {
  const bool key = keyNeeded_ || sinceKey_ >= keyEvery_;
  sinceKey_ = key ? 1 : sinceKey_ + 1;
  keyNeeded_ = false;
  const std::string label = "video " + std::to_string(video_.count) + (key ? " key\n" : " delta\n");
  EventParms& frame = take(video_, TypeVideo, label);
  frame.detail[detail_offset::frameKind] = key ? KeyFrame : 0;
  return frame;
}

core::EventParms& FrameSchedule::nextAudioBlock() {
  return take(audio_, TypeAudio, "audio " + std::to_string(audio_.count) + "\n");
}

core::EventParms& FrameSchedule::take(Stream& stream, uint32_t type, const std::string& label) {
  // The label leads the payload so that a reader can tell records apart;
  // the rest stands in for coded media.
  std::fill(stream.payload.begin(), stream.payload.end(), '.');
  label.copy(stream.payload.data(), std::min(label.size(), stream.payload.size()));
  record_ = makeEvent(type, FlagLive, origin_);
  record_.data = stream.payload.data();
  record_.dataLen = static_cast<uint32_t>(stream.payload.size());
  const auto offset = std::chrono::floor<std::chrono::milliseconds>(
      stream.period * static_cast<int64_t>(stream.count));
  setCaptureTime(record_, wallStart_ + offset);
  ++stream.count;
  return record_;
}

}  // namespace trv::camerasim
