#include <mutex>

#include "core/error.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

std::map<ModelId, PrivateImpl*>* registry = nullptr;

// Sessions register and unregister while user model libraries look their
// models up from inference threads.
std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::map<ModelId, PrivateImpl*>& PrivateImpl::getModelMap() {
  if (registry == nullptr) registry = new std::map<ModelId, PrivateImpl*>();
  return *registry;
}

PrivateImpl& PrivateImpl::registeredSession(ModelId model) {
  std::lock_guard lock(registryMutex());
  auto& map = getModelMap();
  const auto found = map.find(model);
  if (found == map.end() || found->second == nullptr)
    KORVAN_THROW("ERROR: No model session registered for model id " + std::to_string(model));
  return *found->second;
}

void PrivateImpl::registerSession() {
  std::lock_guard lock(registryMutex());
  // A later session with the same id replaces the earlier one.
  getModelMap()[modelId] = this;
  registered = true;
}

void PrivateImpl::unregisterSession() noexcept {
  if (!registered) return;
  registered = false;
  std::lock_guard lock(registryMutex());
  if (registry == nullptr) return;
  // Only this session's own entry: another session that took over the same
  // id stays registered.
  const auto found = registry->find(modelId);
  if (found != registry->end() && found->second == this) registry->erase(found);
  if (registry->empty()) {
    delete registry;
    registry = nullptr;
  }
}

}  // namespace korvanrt::client
