#include "plugin/shared_object.h"

#include <dlfcn.h>

#include <utility>

namespace trv::core {

SharedObject::SharedObject(SharedObject&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

SharedObject& SharedObject::operator=(SharedObject&& other) noexcept {
  if (this == &other) return *this;
  close();
  handle_ = std::exchange(other.handle_, nullptr);
  return *this;
}

SharedObject::~SharedObject() { close(); }

std::string SharedObject::open(const std::filesystem::path& path) {
  close();
  // Binding everything now turns a missing symbol into a load failure instead
  // of a crash on first call; private symbols keep plugins from clashing.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_) return {};
  const char* failure = dlerror();
  return failure ? failure : "unknown";
}

void* SharedObject::symbol(const char* name) const {
  if (!handle_) return nullptr;
  return dlsym(handle_, name);
}

void SharedObject::close() {
  if (!handle_) return;
  dlclose(std::exchange(handle_, nullptr));
}

}  // namespace trv::core
