// The measurement machinery of the benchmark: every run of every variant in a
// forked child process of its own, so that resident-memory peaks, page-fault
// counts and malloc settings belong to that run alone, and variants run
// interleaved so that the machine's swings touch all of them alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace trv::bench {

using Clock = std::chrono::steady_clock;

// How long and how often each variant runs.
struct Options {
  int repetitions = 5;
  Clock::duration window = std::chrono::seconds(1);        // measured part of a run
  Clock::duration warmUp = std::chrono::milliseconds(100);  // unmeasured start of a run
};

// What one run measured, copied whole from the child that ran it.
struct Measurement {
  bool ok = false;
  char failure[200] = {};      // why the run failed, when !ok
  double seconds = 0;          // length of the measured window
  uint64_t events = 0;         // records delivered (or calls made) in the window
  uint64_t peakInFlight = 0;   // most records posted and not yet delivered
  bool ceilingHit = false;     // the producers had to wait for the consumer
  uint64_t peakRssKiB = 0;     // resident-size peak within the window
  uint64_t minorFaults = 0;    // minor page faults within the window
  double cpuSeconds = 0;       // user and system time of all threads within the window
  double p50Micros = 0;        // latency percentiles
  double p90Micros = 0;
  double p99Micros = 0;
  double maxMicros = 0;

  double perSecond() const { return static_cast<double>(events) / seconds; }
  double nanosPerEvent() const { return seconds * 1e9 / static_cast<double>(events); }
  double faultsPerEvent() const {
    return static_cast<double>(minorFaults) / static_cast<double>(events);
  }
  double cpuNanosPerEvent() const { return cpuSeconds * 1e9 / static_cast<double>(events); }
};
static_assert(std::is_trivially_copyable_v<Measurement>, "sent through a pipe as bytes");

// A failed measurement carrying `text`.
Measurement failed(std::string_view text);

// Readings of the calling process over a measured window: started by the
// constructor (which also resets the resident-size peak), ended by finish().
class Window {
 public:
  Window();
  // Fills in the window's length, faults, peak and `events`; marks it ok.
  void finish(Measurement& result, uint64_t events) const;

 private:
  Clock::time_point start_;
  uint64_t faultsAtStart_;
  double cpuAtStart_;
};

// Lets a run that is already going pass its warm-up, then measures one
// window whose events are what `count()` grew by meanwhile.
Measurement measureWindow(const Options& options, const std::function<uint64_t()>& count);

// Calls `call(n)` flat out through the warm-up and then the window, with
// `batch` calls between two looks at the clock; the window's measurement.
template <typename Call>
Measurement timeCalls(const Options& options, uint64_t batch, Call&& call) {
  uint64_t n = 0;
  const auto run = [&](Clock::duration duration) {
    const auto end = Clock::now() + duration;
    do {
      for (uint64_t i = 0; i < batch; ++i) call(n++);
    } while (Clock::now() < end);
  };
  run(options.warmUp);
  const uint64_t before = n;
  const Window window;
  run(options.window);
  Measurement result;
  window.finish(result, n - before);
  return result;
}

// One contender of a comparison: a name and a run that returns its measurement.
struct Variant {
  std::string name;
  std::function<Measurement()> run;
};

// Runs every variant `options.repetitions` times in child processes, the
// variants interleaved within each repetition. Result [variant][repetition].
// Must be called while the process has a single thread.
std::vector<std::vector<Measurement>> runInterleaved(const std::vector<Variant>& variants,
                                                     const Options& options);

// Median, smallest and largest of a set of figures.
struct Spread {
  double median = 0;
  double min = 0;
  double max = 0;
};
Spread spreadOf(std::vector<double> values);

// The figure `field` of each successful run, where it is a number.
std::vector<double> figures(const std::vector<Measurement>& runs,
                            const std::function<double(const Measurement&)>& field);

// `a[i] / b[i]` for each repetition where both runs succeeded and the
// ratio is a number.
std::vector<double> ratios(const std::vector<Measurement>& a, const std::vector<Measurement>& b,
                           const std::function<double(const Measurement&)>& field);

// The failures among `runs`, one line each; empty when all succeeded.
std::string failures(const std::string& name, const std::vector<Measurement>& runs);

}  // namespace trv::bench
