// The shipped camera simulator, CameraSim.so, streaming into a real DvrCore:
// what reaches a plugin that takes live media (the Tap test plugin), and how
// the simulator stops.
#include "core_with_plugins.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch_work_dir.h"
#include "test_plugins/tap_plugin.h"

namespace trv::test {
namespace {

using core::EventParms;
using tap::Tapped;

constexpr uint32_t CameraOrigin = 0x00410000;

std::filesystem::path cameraPath() {
  return std::filesystem::path(TRV_BIN_DIR) / "plugins" / "CameraSim.so";
}
std::filesystem::path tapPath() {
  return std::filesystem::path(TRV_TEST_BINARY_DIR) / "test_plugins" / "Tap.so";
}

// The tap is opened once and never closed, so that the core's dlopen of the
// same file shares its globals, whatever the core does with its own handle.
template <typename Fn>
Fn tapControl(const char* name) {
  static void* const handle = dlopen(tapPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(dlerror());
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) throw std::runtime_error(std::string("Tap lacks ") + name);
  return reinterpret_cast<Fn>(symbol);
}

// Everything the tap has taken, oldest first.
std::vector<Tapped> tapped() {
  const auto taken = tapControl<TapTakenFn>("TapTaken");
  std::vector<Tapped> records(taken(nullptr, 0));
  records.resize(std::min(records.size(), taken(records.data(), records.size())));
  return records;
}

std::vector<Tapped> tapped(uint32_t type) {
  std::vector<Tapped> records = tapped();
  std::erase_if(records, [&](const Tapped& t) { return core::baseType(t.record.type) != type; });
  return records;
}

// Each case starts with an empty tap and a settings file of its own.
struct Camera {
  explicit Camera(std::string_view settings) {
    tapControl<TapClearFn>("TapClear")();
    dir.write("CameraSim.conf", settings);
  }
  ScratchWorkDir dir;
};

int64_t captureMs(const EventParms& record) {
  uint16_t millis = 0;
  std::memcpy(&millis, record.detail + core::detail_offset::millis, sizeof millis);
  return int64_t{core::detailWord(record, core::detail_offset::seconds)} * 1000 + millis;
}

bool isKey(const EventParms& record) {
  return (record.detail[core::detail_offset::frameKind] & 3) == core::KeyFrame;
}

// The frame number in a video label ("video 17 key").
size_t frameNumber(const Tapped& frame) { return std::stoul(std::string(frame.label).substr(6)); }

void expectLiveFromTheCamera(const EventParms& record, uint32_t type, uint32_t bytes) {
  EXPECT_EQ(record.type, type);
  EXPECT_EQ(record.flags, uint32_t{core::FlagLive});
  EXPECT_EQ(record.source, CameraOrigin);
  EXPECT_EQ(record.dataLen, bytes);
  EXPECT_EQ(record.detail[core::detail_offset::frameFlags], 0) << "not output-bound";
}

std::string videoLabel(size_t number, bool key) {
  return "video " + std::to_string(number) + (key ? " key" : " delta");
}

TEST(CameraSim, StreamsVideoOnItsFrameGridWithAKeyFrameEveryNAndAudioBetween) {
  Camera camera(
      "# a comment\nfps = 50\nkey_every=4\nframe_bytes=100\naudio_rate=20\naudio_bytes=40\n");
  CoreWithPlugins running({cameraPath(), tapPath()});
  ASSERT_TRUE(eventually([] { return tapped(core::TypeVideo).size() >= 13; }));
  running.stop();

  const auto video = tapped(core::TypeVideo);
  const auto audio = tapped(core::TypeAudio);
  ASSERT_FALSE(audio.empty());
  const int64_t start = captureMs(video[0].record);
  for (size_t i = 0; i < video.size(); ++i) {
    const EventParms& frame = video[i].record;
    SCOPED_TRACE("video frame " + std::to_string(i));
    expectLiveFromTheCamera(frame, core::TypeVideo, 100);
    EXPECT_EQ(isKey(frame), i % 4 == 0);
    EXPECT_EQ(video[i].label, videoLabel(i, i % 4 == 0));
    // 50 frames a second: 20 ms apart, whenever the thread got to post them.
    EXPECT_EQ(captureMs(frame), start + 20 * static_cast<int64_t>(i));
    // Never posted ahead of the moment it shows (5 ms for clock rounding).
    EXPECT_GE(video[i].receivedMs + 5, captureMs(frame));
  }
  for (size_t i = 0; i < audio.size(); ++i) {
    const EventParms& block = audio[i].record;
    SCOPED_TRACE("audio block " + std::to_string(i));
    expectLiveFromTheCamera(block, core::TypeAudio, 40);
    EXPECT_EQ(audio[i].label, "audio " + std::to_string(i));
    EXPECT_EQ(captureMs(block), start + 50 * static_cast<int64_t>(i));
    EXPECT_GE(audio[i].receivedMs + 5, captureMs(block));
  }
}

TEST(CameraSim, VideoAndAudioArriveInTheOrderOfTheirCaptureTimes) {
  Camera camera("fps=30\nkey_every=30\nframe_bytes=64\naudio_rate=45\naudio_bytes=16\n");
  CoreWithPlugins running({cameraPath(), tapPath()});
  ASSERT_TRUE(eventually([] { return tapped(core::TypeAudio).size() >= 20; }));
  running.stop();

  const auto all = tapped();
  std::vector<int64_t> times;
  for (const Tapped& record : all) times.push_back(captureMs(record.record));
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  // 30 and 45 a second share a grid point every 1/15 s: video comes first.
  EXPECT_EQ(std::string(all[0].label), "video 0 key");
  EXPECT_EQ(std::string(all[1].label), "audio 0");
}

TEST(CameraSim, SettingsOutOfRangeKeepTheirDefaults) {
  Camera camera("fps=0\nkey_every=-3\nframe_bytes=lots\naudio_rate=5000\n");
  CoreWithPlugins running({cameraPath(), tapPath()});
  // 25 fps with a key frame every 25 frames; 10 audio blocks a second.
  ASSERT_TRUE(eventually([] { return tapped(core::TypeVideo).size() >= 27; }));
  running.stop();
  const auto video = tapped(core::TypeVideo);
  EXPECT_EQ(video[0].record.dataLen, 4096u);
  EXPECT_TRUE(isKey(video[25].record));
  EXPECT_FALSE(isKey(video[24].record));
  EXPECT_EQ(captureMs(video[26].record) - captureMs(video[0].record), 26 * 40);
  const auto audio = tapped(core::TypeAudio);
  ASSERT_GE(audio.size(), 2u);
  EXPECT_EQ(audio[0].record.dataLen, 1600u);
  EXPECT_EQ(captureMs(audio[1].record) - captureMs(audio[0].record), 100);
}

TEST(CameraSim, AfterLiveMediaWasDroppedTheNextFrameIsAKeyFrame) {
  // The next key frame by count would be frame 1000, 100 s away.
  Camera camera("fps=10\nkey_every=1000\naudio_rate=0\n");
  CoreWithPlugins running({cameraPath(), tapPath()});
  ASSERT_TRUE(eventually([] { return !tapped(core::TypeVideo).empty(); }));
  // While memory is short the core drops live media and forgets the last key frame.
  running.core.throttlingActive = true;
  ASSERT_TRUE(eventually([&] { return running.core.counters.videoThrottled.load() >= 2; }));
  running.core.throttlingActive = false;
  const auto resumed = [] {
    const auto video = tapped(core::TypeVideo);
    return std::adjacent_find(video.begin(), video.end(), [](const Tapped& a, const Tapped& b) {
             return frameNumber(b) != frameNumber(a) + 1;
           }) != video.end();
  };
  ASSERT_TRUE(eventually(resumed));
  running.stop();

  const auto video = tapped(core::TypeVideo);
  EXPECT_EQ(frameNumber(video[0]), 0u);
  EXPECT_TRUE(isKey(video[0].record));
  for (size_t i = 1; i < video.size(); ++i) {
    const bool afterGap = frameNumber(video[i]) != frameNumber(video[i - 1]) + 1;
    EXPECT_EQ(isKey(video[i].record), afterGap) << video[i].label;
  }
}

TEST(CameraSim, CloseEndsTheWaitForTheNextFrame) {
  // One frame every 1000 s: a simulator that sleeps out its frame period
  // would hold the stop far beyond the test's time limit.
  Camera camera("fps=0.001\naudio_rate=0\n");
  CoreWithPlugins running({cameraPath(), tapPath()});
  ASSERT_TRUE(eventually([] { return !tapped(core::TypeVideo).empty(); }));
  running.stop();
  const auto video = tapped(core::TypeVideo);
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(std::string(video[0].label), "video 0 key");
}

}  // namespace
}  // namespace trv::test
