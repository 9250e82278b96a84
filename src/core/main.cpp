// Entry point: the parent daemon starts the core with the number of its end
// of a sequenced-packet socket. Everything printed here goes to stderr.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "core/allocator_tuning.h"
#include "core/dvr_core.h"

using trv::core::DvrCore;
using trv::core::g_core;

int main(int argc, char** argv) {
  int32_t pipeFd = -1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      pipeFd = std::atoi(arg);
      break;
    }
    if (arg[1] == 'h') {
      std::cerr << "core version " << trv::core::CoreVersion << std::endl;
      std::cerr << "Usage: " << argv[0] << " <pipe>" << std::endl;
      return 0;
    }
  }

  std::error_code ec;
  const auto exePath = std::filesystem::canonical("/proc/self/exe", ec);
  if (ec) {
    std::cerr << "failed to find canonical path" << std::flush;
    return 1;
  }

  trv::core::tuneAllocatorForPayloads();
  auto core = std::make_unique<DvrCore>(exePath.string());
  g_core = core.get();
  if (!core->Init(pipeFd)) {
    std::cerr << "failed to initialize core" << std::endl;
    return 2;
  }
  core->Run();
  const bool searchesGivenUp = core->searchesGivenUp();
  core.reset();
  if (searchesGivenUp) {
    // A plugin still runs code on a search thread: its globals must not be
    // destroyed under it, as a normal exit would.
    std::fflush(stdout);
    std::_Exit(0);
  }
  return 0;
}
