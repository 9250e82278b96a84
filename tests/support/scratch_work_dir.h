// Runs a test in a fresh working directory of its own, as the core runs in
// its run directory: plugins read their settings files from there. The
// directory is left and removed when this goes.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "child_process.h"

namespace trv::test {

class ScratchWorkDir {
 public:
  ScratchWorkDir() : previous_(std::filesystem::current_path()), dir_(makeTempDir()) {
    std::filesystem::current_path(dir_);
  }

  ~ScratchWorkDir() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  ScratchWorkDir(const ScratchWorkDir&) = delete;
  ScratchWorkDir& operator=(const ScratchWorkDir&) = delete;

  // Writes the file `name` in the directory.
  void write(std::string_view name, std::string_view text) const {
    std::ofstream(dir_ / name) << text;
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

}  // namespace trv::test
