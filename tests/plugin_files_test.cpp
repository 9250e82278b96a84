#include "plugin_files.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace trv::core {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

// An installation directory with protected-plugins/ and plugins/, removed
// again by the destructor.
class PluginDirs {
 public:
  PluginDirs() {
    std::string pattern = (fs::temp_directory_path() / "trovis-plugin-files-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = pattern;
  }
  ~PluginDirs() {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
  PluginDirs(const PluginDirs&) = delete;
  PluginDirs& operator=(const PluginDirs&) = delete;

  // Creates an (empty) regular file; its directory as needed.
  fs::path file(const std::string& directory, const std::string& name) {
    const fs::path path = base_ / directory / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "not looked at";
    return path;
  }

  const fs::path& base() const { return base_; }
  fs::path operator()(const std::string& directory, const std::string& name) const {
    return base_ / directory / name;
  }

 private:
  fs::path base_;
};

TEST(PluginFiles, MissingDirectoriesGiveNothing) {
  PluginDirs dirs;
  EXPECT_EQ(findPluginFiles(dirs.base()), Paths{});
  EXPECT_EQ(findPluginFiles(dirs.base() / "no such directory"), Paths{});
}

TEST(PluginFiles, EitherDirectoryAloneIsSearched) {
  PluginDirs dirs;
  dirs.file("protected-plugins", "p.so");
  EXPECT_EQ(findPluginFiles(dirs.base()), (Paths{dirs("protected-plugins", "p.so")}));

  PluginDirs other;
  other.file("plugins", "q.so");
  EXPECT_EQ(findPluginFiles(other.base()), (Paths{other("plugins", "q.so")}));
}

TEST(PluginFiles, ProtectedPluginHidesThePluginOfTheSameName) {
  PluginDirs dirs;
  dirs.file("plugins", "x.so");
  dirs.file("protected-plugins", "x.so");
  dirs.file("plugins", "y.so");
  EXPECT_EQ(findPluginFiles(dirs.base()),
            (Paths{dirs("protected-plugins", "x.so"), dirs("plugins", "y.so")}));
}

TEST(PluginFiles, LogPluginIsLeftToTheCoreInEitherDirectory) {
  PluginDirs dirs;
  dirs.file("plugins", "LogPI.so");
  dirs.file("protected-plugins", "LogPI.so");
  dirs.file("plugins", "logpi.so");  // only the exact name is the log plugin
  EXPECT_EQ(findPluginFiles(dirs.base()), (Paths{dirs("plugins", "logpi.so")}));
}

TEST(PluginFiles, OnlyRegularFilesEndingInDotSoAreKept) {
  PluginDirs dirs;
  dirs.file("plugins", "a.SO");
  dirs.file("plugins", "noextension");
  dirs.file("plugins", "c.so.1");
  dirs.file("plugins", "d.sox");
  fs::create_directories(dirs("plugins", "b.so"));
  fs::create_symlink(dirs("plugins", "missing-target.so"), dirs("plugins", "dangling.so"));
  fs::create_directory_symlink(dirs("plugins", "b.so"), dirs("plugins", "linked-dir.so"));
  const fs::path target = dirs.file("elsewhere", "real-object");
  fs::create_symlink(target, dirs("plugins", "linked.so"));
  dirs.file("plugins", "kept.so");
  EXPECT_EQ(findPluginFiles(dirs.base()),
            (Paths{dirs("plugins", "kept.so"), dirs("plugins", "linked.so")}));
}

TEST(PluginFiles, MarkedPluginsComeFirstThenNamesIgnoringCase) {
  PluginDirs dirs;
  dirs.file("plugins", "gamma.so");
  dirs.file("plugins", "Beta.so");
  dirs.file("plugins", "alpha.so");
  dirs.file("plugins", "zeta_mKAXpi.so");
  dirs.file("plugins", "zulu_mkaxpi.so");  // the marker is case-sensitive
  dirs.file("protected-plugins", "delta.so");
  dirs.file("protected-plugins", "omega_mKAXpi.so");
  EXPECT_EQ(findPluginFiles(dirs.base()), (Paths{
                                              dirs("protected-plugins", "omega_mKAXpi.so"),
                                              dirs("plugins", "zeta_mKAXpi.so"),
                                              dirs("plugins", "alpha.so"),
                                              dirs("plugins", "Beta.so"),
                                              dirs("protected-plugins", "delta.so"),
                                              dirs("plugins", "gamma.so"),
                                              dirs("plugins", "zulu_mkaxpi.so"),
                                          }));
}

}  // namespace
}  // namespace trv::core
