// What the bridge does with a command from the parent, and with the stored
// results of the searches it posted; every answer goes back to the parent
// as an "ipc" event. The command words are listed in ipc_bridge_plugin.cpp.
#pragma once

#include <cstdint>
#include <string_view>

#include <trv/core/sdk.h>

namespace trv::ipcbridge {

class Bridge {
 public:
  Bridge(core::PostEventFn post, uint8_t pluginId);

  // I/O thread: carries out one command and replies. Never waits: a search
  // runs on the core's search threads, and a crypto request is answered
  // within the posting call.
  void onCommand(std::string_view command);

  // Dispatch thread: a stored record for one of the bridge's searches.
  void onStoredResult(const core::EventParms& result);

  // Dispatch thread: a configuration document. The core publishes its own
  // once every plugin is open; the first one tells the parent that searches
  // now reach every plugin that serves them.
  void onConfig(const core::EventParms& config);

 private:
  void reply(std::string_view text) const;
  void ping(std::string_view text) const;
  void search(std::string_view words);
  void cancel(std::string_view number) const;
  void encrypt(std::string_view plain) const;
  void decrypt(std::string_view hex) const;

  core::PostEventFn post_;
  uint8_t pluginId_;
  uint32_t origin_;
  uint16_t lastSearch_ = 0;  // I/O thread only
  bool announced_ = false;   // dispatch thread only
};

}  // namespace trv::ipcbridge
