#include "core/remote/remote_settings.hpp"

#include <cmath>
#include <utility>

#include "common/errors.hpp"
#include "common/value.hpp"

namespace tavrin_core::remote {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::Map;
using tavrin_inference::Value;

namespace {

constexpr std::string_view kInproc = "inproc://";
constexpr std::string_view kTcp = "tcp://";
constexpr std::string_view kTls = "tls://";

bool starts_with(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

// The scheme of a networked env_init ("tcp://" or "tls://"), or empty.
std::string_view scheme_of(const std::string& env_init) {
  if (starts_with(env_init, kTcp)) return kTcp;
  if (starts_with(env_init, kTls)) return kTls;
  return {};
}

std::chrono::milliseconds millis(const Map& remote, const char* field, std::chrono::milliseconds fallback,
                                 bool zero_allowed) {
  const Value* v = remote.find(field);
  if (!v || v->is_none()) return fallback;
  if (!v->is_number() || v->is_bool() || !std::isfinite(v->as_double()) || v->as_double() < 0 ||
      (!zero_allowed && v->as_double() == 0)) {
    throw InvalidArgumentError(std::string("configuration: remote.") + field + ": expected a " +
                               (zero_allowed ? "non-negative" : "positive") + " number of milliseconds, got " +
                               v->str());
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(v->as_double()));
}

bool is_host_port(const std::string& address) {
  const auto colon = address.rfind(':');
  return colon != std::string::npos && colon != 0 && colon + 1 != address.size();
}

// "remote.tls" or "target.<name>.tls": {"ca", "cert", "key", "server_name"}, loaded at once so that
// a file that cannot be used is reported with the configuration.
std::shared_ptr<TlsContext> tls_from(const Value& value, const std::string& where) {
  if (!value.is_map())
    throw InvalidArgumentError("configuration: " + where + ": expected a map with 'ca' (and 'cert', 'key', " +
                               "'server_name'), got " + value.str());
  TlsClientFiles files;
  const auto bad = [&where](const std::string& key, const std::string& what) {
    return InvalidArgumentError("configuration: " + where + "." + key + ": " + what);
  };
  for (const auto& [key, field] : value.as_map()) {
    std::string* into = key == "ca"            ? &files.ca
                        : key == "cert"        ? &files.cert
                        : key == "key"         ? &files.key
                        : key == "server_name" ? &files.server_name
                                               : nullptr;
    if (!into) throw bad(key, "unknown field");
    if (!field.is_text() || field.as_text().empty()) throw bad(key, "expected a non-empty text, got " + field.str());
    *into = field.as_text();
  }
  if (files.ca.empty())
    throw InvalidArgumentError("configuration: " + where +
                               ".ca: missing: the CA that signed the workers' certificates is needed");
  return load_client_tls(files, "configuration: " + where);
}

// One entry of "target": its "host:port" and its own TLS settings, if any.
std::pair<std::string, std::shared_ptr<TlsContext>> target_from(const std::string& name, const Value& entry,
                                                                bool global_tls) {
  const std::string field = "target." + name;
  const Value* address = entry.is_map() ? entry.as_map().find("address") : nullptr;
  if (!address || !address->is_text() || address->as_text().empty())
    throw InvalidArgumentError("configuration: " + field + ".address: expected 'host:port' or 'tls://host:port'");
  const std::string& text = address->as_text();
  const bool wants_tls = starts_with(text, kTls);
  std::string host_port = wants_tls ? text.substr(kTls.size()) : text;
  if (!is_host_port(host_port))
    throw InvalidArgumentError("configuration: " + field + ".address: '" + text + "' is not of the form host:port");
  std::shared_ptr<TlsContext> own;
  if (const Value* tls = entry.as_map().find("tls"); tls && !tls->is_none()) own = tls_from(*tls, field + ".tls");
  if (wants_tls && !own && !global_tls) {
    throw InvalidArgumentError("configuration: " + field + ".address: '" + text + "' asks for TLS, but neither " +
                               field + ".tls nor remote.tls is given");
  }
  return {std::move(host_port), std::move(own)};
}

std::string same_address_message(const std::string& name, const std::string& other) {
  return "configuration: target." + name + ".tls: target." + other +
         " has the same address; one address has one TLS setting";
}

}  // namespace

std::string class_of_env_init(const std::string& env_init) {
  if (starts_with(env_init, kInproc)) return env_init.substr(kInproc.size());
  const std::string_view scheme = scheme_of(env_init);
  if (!scheme.empty()) {
    const auto slash = env_init.find('/', scheme.size());
    return slash == std::string::npos ? std::string() : env_init.substr(slash + 1);
  }
  return env_init;
}
// Address named in "tcp://host:port/Class" or "tls://host:port/Class", or empty.
std::string address_of_env_init(const std::string& env_init) {
  const std::string_view scheme = scheme_of(env_init);
  if (scheme.empty()) return {};
  const auto slash = env_init.find('/', scheme.size());
  return env_init.substr(scheme.size(), slash == std::string::npos ? std::string::npos : slash - scheme.size());
}

bool env_init_asks_for_tls(const std::string& env_init) { return scheme_of(env_init) == kTls; }

const std::string& RemoteSettings::address_for(const std::string& impl_cls) const {
  auto it = routes.find(impl_cls);
  return it != routes.end() ? it->second : default_address;
}

std::shared_ptr<TlsContext> RemoteSettings::tls_for(const std::string& address) const {
  auto it = target_tls.find(address);
  return it != target_tls.end() ? it->second : tls;
}

std::string RemoteSettings::url_of(const std::string& impl_cls) const {
  const std::string& address = address_for(impl_cls);
  return std::string(tls_for(address) ? kTls : kTcp) + address + "/" + impl_cls;
}

std::optional<RemoteSettings> RemoteSettings::from_config(const TrainerConfig& config) {
  const Value& remote_value = config.get("remote");
  if (remote_value.is_none()) return std::nullopt;
  if (!remote_value.is_map())
    throw InvalidArgumentError("configuration: remote: expected a map, got " + remote_value.str());
  const Map& remote = remote_value.as_map();
  static const char* const known[] = {
      "transport", "target", "classes", "connect_timeout_ms", "call_timeout_ms", "heartbeat_interval_ms", "tls"};
  for (const auto& [key, _] : remote) {
    bool ok = false;
    for (const char* k : known) ok = ok || key == k;
    if (!ok) throw InvalidArgumentError("configuration: remote." + key + ": unknown field");
  }
  if (const Value* t = remote.find("transport")) {
    if (!t->is_text() || (t->as_text() != "tcp" && t->as_text() != "inproc"))
      throw InvalidArgumentError("configuration: remote.transport: expected 'tcp' or 'inproc', got " + t->str());
    if (t->as_text() == "inproc") return std::nullopt;
  }
  RemoteSettings s;
  if (const Value* tls = remote.find("tls"); tls && !tls->is_none()) s.tls = tls_from(*tls, "remote.tls");
  const Value& targets = config.target();
  if (!targets.is_map() || targets.as_map().empty())
    throw InvalidArgumentError("configuration: target: the remote transport needs at least one target with an address");
  std::string first;
  std::map<std::string, std::string> target_of_address;
  for (const auto& [name, entry] : targets.as_map()) {
    auto [address, own] = target_from(name, entry, s.tls != nullptr);
    if (auto [it, fresh] = target_of_address.emplace(address, name);
        !fresh && (own || s.target_tls.contains(address))) {
      throw InvalidArgumentError(same_address_message(name, it->second));
    }
    if (own) s.target_tls.emplace(address, std::move(own));
    s.targets.emplace(name, std::move(address));
    if (first.empty()) first = name;
  }
  std::string chosen = s.targets.contains("local") ? "local" : first;
  if (const Value* t = remote.find("target")) {
    if (!t->is_text() || !s.targets.contains(t->as_text()))
      throw InvalidArgumentError("configuration: remote.target: " + t->str() + " is not one of the targets");
    chosen = t->as_text();
  }
  s.default_address = s.targets.at(chosen);
  if (const Value* classes = remote.find("classes")) {
    if (!classes->is_map())
      throw InvalidArgumentError("configuration: remote.classes: expected a map of class to target");
    for (const auto& [cls, target] : classes->as_map()) {
      if (!target.is_text() || !s.targets.contains(target.as_text()))
        throw InvalidArgumentError("configuration: remote.classes." + cls + ": " + target.str() +
                                   " is not one of the targets");
      s.routes.emplace(cls, s.targets.at(target.as_text()));
    }
  }
  s.options.connect_timeout = millis(remote, "connect_timeout_ms", s.options.connect_timeout, false);
  s.options.call_timeout = millis(remote, "call_timeout_ms", s.options.call_timeout, false);
  s.options.heartbeat_interval = millis(remote, "heartbeat_interval_ms", s.options.heartbeat_interval, true);
  return s;
}

}  // namespace tavrin_core::remote
