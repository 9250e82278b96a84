// A child for the crash tests: publishes one text the way the core saves
// core.xml, so that a test can kill it at any system call of the publication.
// Usage: trv_publish_xml <target path> <text>
// Exits 0 once published, 1 with the error's text on standard error.
#include <cstdio>
#include <stdexcept>

#include "config/file_store.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <target path> <text>\n", argv[0]);
    return 2;
  }
  try {
    trv::core::writeXmlFile(argv[1], argv[2]);
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
