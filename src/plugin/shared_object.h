// The one owner of dynamic-loader handles: everything that opens, looks into or
// closes a shared object goes through SharedObject.
#pragma once

#include <filesystem>
#include <string>

namespace trv::core {

// A shared object opened by the dynamic loader, closed when this is destroyed.
class SharedObject {
 public:
  SharedObject() = default;
  SharedObject(SharedObject&& other) noexcept;
  SharedObject& operator=(SharedObject&& other) noexcept;
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;
  ~SharedObject();

  // Opens `path` with every symbol bound now and kept private to the object,
  // closing whatever was held; returns the loader's failure text, "" on success.
  std::string open(const std::filesystem::path& path);

  // Address of the exported `name`; null when it is absent or nothing is open.
  void* symbol(const char* name) const;

  // Closes the object, if one is open.
  void close();

  bool isOpen() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

}  // namespace trv::core
