#pragma once
// The state a remote manager shares with the proxies it made: its connections, the workers that hold
// its instances, and the count of stop_all calls that tells a proxy its instance is gone. Used by
// core/remote's sources only.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <asio/awaitable.hpp>

#include "common/errors.hpp"
#include "core/remote/worker_manager.hpp"

namespace tavrin_core::remote {

struct WorkerManager::State {
  State(ManagerKind k, RemoteSettings s) : kind(k), settings(std::move(s)) {}
  ManagerKind kind;
  RemoteSettings settings;
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<WorkerClient>> clients;
  std::set<std::string> used;  // workers holding instances made since the last stop_all
  std::atomic<std::uint64_t> epoch{0};
  bool heartbeats = true;

  std::shared_ptr<WorkerClient> client_for(const std::string& address) {
    std::lock_guard lock(mutex);
    auto& client = clients[address];
    if (!client) {
      RemoteOptions options = settings.options;
      options.tls = settings.tls_for(address);
      client = WorkerClient::create(address, std::move(options));
      if (!heartbeats) client->stop_heartbeat();
    }
    return client;
  }
  // The worker an env_init names ("tcp://host:port/C", "tls://host:port/C"), else the one the
  // configuration routes the class to.
  std::shared_ptr<WorkerClient> client_for(const std::string& env_init, const std::string& cls, const char* method) {
    std::string address = address_of_env_init(env_init);
    if (address.empty()) return client_for(settings.address_for(cls));
    if (env_init_asks_for_tls(env_init) && !settings.tls_for(address)) {
      throw tavrin_inference::InvalidArgumentError(std::string(method) + "(): '" + env_init +
                                                   "' asks for TLS, but the configuration " +
                                                   "has no TLS settings for " + address + " (remote.tls)");
    }
    return client_for(address);
  }
  void mark_used(const std::string& address) {
    std::lock_guard lock(mutex);
    used.insert(address);
  }
};

// Makes an instance of `cls` on the worker; yields the answer {"client", "class", "version"}.
asio::awaitable<Json> create_instance(std::shared_ptr<WorkerManager::State> state, std::shared_ptr<WorkerClient> client,
                                      std::string cls, std::string version);

}  // namespace tavrin_core::remote
