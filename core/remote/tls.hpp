#pragma once
// TLS settings of both ends of a worker connection. The OpenSSL context they load stays inside
// core/remote (tls_stream.hpp), so this header needs no OpenSSL headers or libraries.
#include <memory>
#include <string>

namespace tavrin_core::remote {

// A client's TLS: the worker's certificate must be signed by `ca` and name `server_name` (empty:
// the host of the worker's address); `cert` and `key`, when given, are presented to workers that
// ask for a client certificate.
struct TlsClientFiles {
  std::string ca;
  std::string cert;
  std::string key;
  std::string server_name;
};

// A worker's TLS: its certificate chain and key; with `client_ca`, every client must present a
// certificate signed by that CA.
struct TlsServerFiles {
  std::string cert;
  std::string key;
  std::string client_ca;
};

// A loaded OpenSSL context (certificates, key, trusted CAs), shared by the connections that use it.
class TlsContext;

// InvalidArgumentError naming `where` (e.g. "configuration: remote.tls") and the file that cannot
// be loaded, or the key that does not belong to the certificate.
std::shared_ptr<TlsContext> load_client_tls(const TlsClientFiles& files, const std::string& where);
// InvalidArgumentError naming the file that cannot be loaded.
std::shared_ptr<TlsContext> load_server_tls(const TlsServerFiles& files);

// The configured name a worker's certificate must carry, or empty when the address's host is used.
const std::string& tls_server_name(const TlsContext& tls);

}  // namespace tavrin_core::remote
