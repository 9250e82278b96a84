#include "search_handler.h"

#include <system_error>

#include "async_event.h"

namespace trv::core {

bool SearchHandler::searchRequest(const EventParms& request, const Plugins& plugins) {
  if (!isRequest(request)) return false;
  if (request.dataLen == 0) return true;
  {
    std::lock_guard lock(searchMutex_);
    cancelled_.erase(request.searchId);
    // Searches do not nest.
    if (threads_.contains(std::this_thread::get_id())) return true;
  }
  auto shared = std::make_shared<AsyncEvent>(request);
  for (const auto& plugin : plugins) {
    if (!plugin->servesSearches()) continue;
    {
      std::lock_guard lock(searchMutex_);
      ++runningThreads_;
    }
    try {
      std::thread([this, shared, plugin = plugin]() mutable {
        runSearch(*shared, *plugin);
        // The last holder of a plugin unloads it: done before the thread
        // counts as ended, while the handler is sure to exist.
        shared.reset();
        plugin.reset();
        threadEnded();
      }).detach();
    } catch (const std::system_error&) {
      threadEnded();
      throw;
    }
  }
  counters.requests.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void SearchHandler::runSearch(AsyncEvent& request, Plugin& plugin) {
  const auto self = std::this_thread::get_id();
  {
    std::lock_guard lock(searchMutex_);
    threads_.try_emplace(self, std::make_shared<StoredProvider>());
  }
  struct Unregister {
    SearchHandler& handler;
    std::thread::id self;
    ~Unregister() {
      std::lock_guard lock(handler.searchMutex_);
      const auto found = handler.threads_.find(self);
      if (found == handler.threads_.end()) return;
      {
        std::lock_guard providerLock(found->second->mutex);
        if (found->second->outstanding != nullptr) {
          handler.outstandingResults_.fetch_sub(1, std::memory_order_seq_cst);
        }
      }
      handler.threads_.erase(found);
    }
  } unregister{*this, self};
  plugin.Search(request.event());
}

void SearchHandler::threadEnded() {
  // Notified under the lock: once the waiter sees zero it may destroy the
  // handler, and this thread touches nothing of it after unlocking.
  std::lock_guard lock(searchMutex_);
  if (--runningThreads_ == 0) threadsEnded_.notify_all();
}

void SearchHandler::awaitThreads() {
  std::unique_lock lock(searchMutex_);
  threadsEnded_.wait(lock, [this] { return runningThreads_ == 0; });
}

std::shared_ptr<SearchHandler::StoredProvider> SearchHandler::providerOfThisThread() {
  const auto found = threads_.find(std::this_thread::get_id());
  return found != threads_.end() ? found->second : nullptr;
}

bool SearchHandler::admitResult(const EventParms& result) {
  std::shared_ptr<StoredProvider> provider;
  {
    std::lock_guard lock(searchMutex_);
    if (cancelled_.contains(result.searchId)) return false;
    provider = providerOfThisThread();
    if (!provider) return false;
  }
  if (result.data != nullptr) {
    std::unique_lock lock(provider->mutex);
    provider->released.wait(lock, [&] {
      return provider->outstanding == nullptr || stopped_.load(std::memory_order_relaxed);
    });
    if (stopped_.load(std::memory_order_relaxed)) return false;
    provider->outstanding = result.data;
    outstandingResults_.fetch_add(1, std::memory_order_seq_cst);
  }
  counters.resultsPosted.fetch_add(1, std::memory_order_relaxed);
  counters.resultBytes.fetch_add(result.dataLen, std::memory_order_relaxed);
  return true;
}

void SearchHandler::onBlockFreed(const void* payload) {
  if (payload == nullptr || outstandingResults_.load(std::memory_order_seq_cst) == 0) return;
  // Search mutex before any provider mutex, as everywhere.
  std::lock_guard lock(searchMutex_);
  for (const auto& [thread, provider] : threads_) {
    std::lock_guard providerLock(provider->mutex);
    if (provider->outstanding != payload) continue;
    provider->outstanding = nullptr;
    outstandingResults_.fetch_sub(1, std::memory_order_seq_cst);
    provider->released.notify_one();
  }
}

void SearchHandler::stop() {
  std::lock_guard lock(searchMutex_);
  stopped_.store(true, std::memory_order_relaxed);
  for (const auto& [thread, provider] : threads_) {
    std::lock_guard providerLock(provider->mutex);
    provider->released.notify_all();
  }
}

void SearchHandler::cancel(uint32_t searchId) {
  {
    std::lock_guard lock(searchMutex_);
    cancelled_.insert(searchId);
  }
  counters.cancellations.fetch_add(1, std::memory_order_relaxed);
}

bool SearchHandler::isCancelled(uint32_t searchId) {
  std::lock_guard lock(searchMutex_);
  return cancelled_.contains(searchId);
}

}  // namespace trv::core
