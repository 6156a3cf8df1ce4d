#pragma once
// Where the teachers, controllers and perceptors of the remote managers are served: the "remote" and
// "target" fields of the configuration map (see worker_manager.hpp), and the env_init texts that
// name a class and, optionally, its worker.
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/remote/tls.hpp"
#include "core/remote/worker_client.hpp"
#include "core_api/trainer_config.hpp"

namespace tavrin_core::remote {

struct RemoteSettings {
  std::map<std::string, std::string> targets;  // target name -> "host:port"
  std::string default_address;                 // address of "remote.target" (default: "local", else the first)
  std::map<std::string, std::string> routes;   // class -> address
  RemoteOptions options;                       // timeouts (their TLS is chosen per address)
  std::shared_ptr<TlsContext> tls;             // "remote.tls": for every worker without TLS settings of its own
  std::map<std::string, std::shared_ptr<TlsContext>> target_tls;  // address -> "target.<name>.tls"

  const std::string& address_for(const std::string& impl_cls) const;
  // The TLS a connection to `address` uses; null for plaintext.
  std::shared_ptr<TlsContext> tls_for(const std::string& address) const;
  // "tls://host:port/<class>" or "tcp://host:port/<class>": where the class is served.
  std::string url_of(const std::string& impl_cls) const;
  // None when the configuration asks for no networked transport (no "remote" field, or
  // "transport": "inproc"). InvalidArgumentError naming the field for bad values.
  static std::optional<RemoteSettings> from_config(const TrainerConfig& config);
};

// Class named by a create_with_client env_init: "inproc://C", "tcp://host:port/C", "tls://host:port/C"
// or "C".
std::string class_of_env_init(const std::string& env_init);

// Address named in "tcp://host:port/C" or "tls://host:port/C"; empty for the other forms.
std::string address_of_env_init(const std::string& env_init);
// Whether the env_init is of the form "tls://host:port/C".
bool env_init_asks_for_tls(const std::string& env_init);

}  // namespace tavrin_core::remote
