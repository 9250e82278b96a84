#include "events/search_handler.h"

#include <algorithm>
#include <system_error>

#include "events/async_event.h"

namespace trv::core {

namespace {

// Plugins of searches given up on: unloading one could call into a core that
// is gone, so they stay loaded until the process ends.
void keepLoadedUntilExit(std::shared_ptr<Plugin> plugin) {
  static std::mutex mutex;
  static auto* const kept = new SearchHandler::Plugins;
  std::lock_guard lock(mutex);
  kept->push_back(std::move(plugin));
}

}  // namespace

bool SearchHandler::searchRequest(const EventParms& request, const Plugins& plugins) {
  if (!isRequest(request)) return false;
  if (request.dataLen == 0) return true;
  {
    std::lock_guard lock(registry_->searchMutex);
    registry_->cancelled.erase(request.searchId);
    // Searches do not nest.
    if (registry_->threads.contains(std::this_thread::get_id())) return true;
  }
  auto shared = std::make_shared<AsyncEvent>(request);
  for (const auto& plugin : plugins) {
    if (!plugin->servesSearches()) continue;
    {
      // The registry holds the plugin for the thread: whoever takes it out
      // decides whether it is let go.
      std::lock_guard lock(registry_->searchMutex);
      registry_->searching.push_back(plugin);
    }
    try {
      std::thread([registry = registry_, shared, plugin = plugin.get()]() mutable {
        registry->runSearch(*shared, *plugin);
        shared.reset();
        registry->threadEnded(*plugin);
      }).detach();
    } catch (const std::system_error&) {
      registry_->threadEnded(*plugin);
      throw;
    }
  }
  counters.requests.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void SearchHandler::Registry::runSearch(AsyncEvent& request, Plugin& plugin) {
  const auto self = std::this_thread::get_id();
  {
    std::lock_guard lock(searchMutex);
    threads.try_emplace(self, std::make_shared<StoredProvider>());
  }
  struct Unregister {
    Registry& registry;
    std::thread::id self;
    ~Unregister() {
      std::lock_guard lock(registry.searchMutex);
      const auto found = registry.threads.find(self);
      if (found == registry.threads.end()) return;
      {
        std::lock_guard providerLock(found->second->mutex);
        if (found->second->outstanding != nullptr) {
          registry.outstandingResults.fetch_sub(1, std::memory_order_seq_cst);
        }
      }
      registry.threads.erase(found);
    }
  } unregister{*this, self};
  plugin.Search(request.event());
}

void SearchHandler::Registry::threadEnded(const Plugin& plugin) {
  std::unique_lock lock(searchMutex);
  const auto entry = std::find_if(searching.begin(), searching.end(),
                                  [&](const auto& held) { return held.get() == &plugin; });
  std::shared_ptr<Plugin> share = std::move(*entry);
  searching.erase(entry);
  if (givenUp) {
    keepLoadedUntilExit(std::move(share));
    return;
  }
  // The last holder of a plugin unloads it, which may call into the core:
  // done while the handler still waits for this thread.
  ++releasing;
  lock.unlock();
  share.reset();
  lock.lock();
  --releasing;
  // Notified under the lock: once the waiter sees no thread left it may
  // destroy the handler.
  if (idle()) threadsEnded.notify_all();
}

void SearchHandler::awaitThreads() {
  Registry& registry = *registry_;
  std::unique_lock lock(registry.searchMutex);
  registry.threadsEnded.wait(lock, [&] { return registry.idle(); });
}

SearchHandler::Plugins SearchHandler::awaitThreadsFor(std::chrono::milliseconds limit) {
  Registry& registry = *registry_;
  std::unique_lock lock(registry.searchMutex);
  registry.threadsEnded.wait_for(lock, limit, [&] { return registry.idle(); });
  // Threads past their search are letting go of their plugin, which ends;
  // those still inside it are left there.
  registry.givenUp = !registry.searching.empty();
  registry.threadsEnded.wait(lock, [&] { return registry.releasing == 0; });
  return registry.searching;
}

std::shared_ptr<SearchHandler::StoredProvider> SearchHandler::Registry::providerOfThisThread() {
  const auto found = threads.find(std::this_thread::get_id());
  return found != threads.end() ? found->second : nullptr;
}

bool SearchHandler::admitResult(const EventParms& result) {
  Registry& registry = *registry_;
  std::shared_ptr<StoredProvider> provider;
  {
    std::lock_guard lock(registry.searchMutex);
    if (registry.cancelled.contains(result.searchId)) return false;
    provider = registry.providerOfThisThread();
    if (!provider) return false;
  }
  if (result.data != nullptr) {
    std::unique_lock lock(provider->mutex);
    provider->released.wait(lock, [&] {
      return provider->outstanding == nullptr || registry.stopped.load(std::memory_order_relaxed);
    });
    if (registry.stopped.load(std::memory_order_relaxed)) return false;
    provider->outstanding = result.data;
    registry.outstandingResults.fetch_add(1, std::memory_order_seq_cst);
  }
  counters.resultsPosted.fetch_add(1, std::memory_order_relaxed);
  counters.resultBytes.fetch_add(result.dataLen, std::memory_order_relaxed);
  return true;
}

void SearchHandler::onBlockFreed(const void* payload) {
  Registry& registry = *registry_;
  if (payload == nullptr || registry.outstandingResults.load(std::memory_order_seq_cst) == 0) {
    return;
  }
  // Search mutex before any provider mutex, as everywhere.
  std::lock_guard lock(registry.searchMutex);
  for (const auto& [thread, provider] : registry.threads) {
    std::lock_guard providerLock(provider->mutex);
    if (provider->outstanding != payload) continue;
    provider->outstanding = nullptr;
    registry.outstandingResults.fetch_sub(1, std::memory_order_seq_cst);
    provider->released.notify_one();
  }
}

void SearchHandler::stop() {
  Registry& registry = *registry_;
  std::lock_guard lock(registry.searchMutex);
  registry.stopped.store(true, std::memory_order_relaxed);
  for (const auto& [thread, provider] : registry.threads) {
    std::lock_guard providerLock(provider->mutex);
    provider->released.notify_all();
  }
}

void SearchHandler::cancel(uint32_t searchId) {
  {
    std::lock_guard lock(registry_->searchMutex);
    registry_->cancelled.insert(searchId);
  }
  counters.cancellations.fetch_add(1, std::memory_order_relaxed);
}

bool SearchHandler::isCancelled(uint32_t searchId) {
  std::lock_guard lock(registry_->searchMutex);
  return registry_->cancelled.contains(searchId);
}

}  // namespace trv::core
