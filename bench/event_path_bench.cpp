// event_path_bench: measures the core's event path against plain queues.
// Usage: event_path_bench [--repetitions N] [--seconds S] [--only SECTIONS]
// where SECTIONS is a comma-separated subset of throughput,overload,malloc,latency,log,device,
// instructions.
// See bench/README.md.
#include <gnu/libc-version.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "harness.h"
#include "sections.h"

namespace {

using trv::bench::Options;

constexpr std::string_view Sections[] = {"throughput", "overload", "malloc", "latency",
                                         "log",        "device",   "instructions"};

struct Arguments {
  Options options;
  std::set<std::string> sections{std::begin(Sections), std::end(Sections)};
};

[[noreturn]] void usage(std::string_view problem) {
  fmt::print(stderr,
             "event_path_bench: {}\n"
             "usage: event_path_bench [--repetitions N] [--seconds S] [--only SECTIONS]\n"
             "  SECTIONS: comma-separated subset of\n"
             "    throughput,overload,malloc,latency,log,device,instructions\n",
             problem);
  std::exit(2);
}

std::set<std::string> sectionsOf(std::string_view list) {
  std::set<std::string> sections;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string section(list.substr(0, comma));
    if (std::find(std::begin(Sections), std::end(Sections), section) == std::end(Sections)) {
      usage(fmt::format("unknown section '{}'", section));
    }
    sections.insert(section);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
  }
  return sections;
}

Arguments parse(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 == argc) usage(fmt::format("{} needs a value", name));
    const char* value = argv[++i];
    char* end = nullptr;
    if (name == "--repetitions") {
      arguments.options.repetitions = static_cast<int>(std::strtol(value, &end, 10));
      if (*end != '\0' || arguments.options.repetitions < 1) usage("--repetitions takes a count of at least 1");
    } else if (name == "--seconds") {
      const double seconds = std::strtod(value, &end);
      if (*end != '\0' || !(seconds > 0)) usage("--seconds takes a positive number");
      arguments.options.window =
          std::chrono::duration_cast<trv::bench::Clock::duration>(std::chrono::duration<double>(seconds));
    } else if (name == "--only") {
      arguments.sections = sectionsOf(value);
    } else {
      usage(fmt::format("unknown option {}", name));
    }
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments arguments = parse(argc, argv);
  const Options& options = arguments.options;
  fmt::print(
      "event_path_bench: {} repetitions of {:.2f} s (after {:.2f} s of warm-up) per variant, variants\n"
      "interleaved, every run in a child process of its own; {} hardware threads, glibc {}.\n"
      "Figures are median [min..max] over the repetitions.\n\n",
      options.repetitions, std::chrono::duration<double>(options.window).count(),
      std::chrono::duration<double>(options.warmUp).count(), std::thread::hardware_concurrency(),
      gnu_get_libc_version());
  const auto wanted = [&](const char* section) { return arguments.sections.contains(section); };
  if (wanted("throughput")) trv::bench::reportThroughput(options);
  if (wanted("overload")) trv::bench::reportOverload(options);
  if (wanted("malloc")) trv::bench::reportMallocSettings(options);
  if (wanted("latency")) trv::bench::reportLatency(options);
  if (wanted("log")) trv::bench::reportLogCost(options);
  if (wanted("device")) trv::bench::reportDeviceLoad(options);
  if (wanted("instructions")) trv::bench::reportInstructions(options);
  return 0;
}
