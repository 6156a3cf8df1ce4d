#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>

#include "common/errors.hpp"
#include "core/remote/tls_stream.hpp"

namespace tavrin_core::remote {

using tavrin_inference::InvalidArgumentError;

namespace {

bool is_ssl_error(const std::error_code& ec) { return ec.category() == asio::error::get_ssl_category(); }

// The reason of an error of OpenSSL's SSL library (SSL_R_...); 0 for others.
int ssl_reason(const std::error_code& ec) {
  if (!is_ssl_error(ec) || ERR_GET_LIB(static_cast<unsigned long>(ec.value())) != ERR_LIB_SSL) return 0;
  return ERR_GET_REASON(static_cast<unsigned long>(ec.value()));
}

// The reason of an error of any OpenSSL library (X509_R_..., PEM_R_...).
int ssl_library_reason(const std::error_code& ec) {
  return is_ssl_error(ec) ? ERR_GET_REASON(static_cast<unsigned long>(ec.value())) : 0;
}

// OpenSSL's reason text without the library in brackets asio appends.
std::string reason_text(const std::error_code& ec) {
  if (is_ssl_error(ec)) {
    if (const char* reason = ERR_reason_error_string(static_cast<unsigned long>(ec.value()))) return reason;
  }
  return ec.message();
}

// The peer's certificate failed verification on this side: why, in OpenSSL's words.
std::optional<long> verify_failure(Stream& stream) {
  const long result = SSL_get_verify_result(stream.tls().native_handle());
  if (result == X509_V_OK) return std::nullopt;
  return result;
}

// A TLS alert the peer sent: it refused the handshake.
bool is_alert(int reason) {
  return reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED || reason == SSL_R_TLSV1_ALERT_UNKNOWN_CA ||
         reason == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE || reason == SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED ||
         reason == SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN || reason == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE ||
         reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION || reason == SSL_R_TLSV1_ALERT_DECRYPT_ERROR ||
         reason == SSL_R_TLSV1_ALERT_ACCESS_DENIED || reason == SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED ||
         reason == SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE || reason == SSL_R_TLSV1_ALERT_INTERNAL_ERROR;
}

// What a plaintext peer's bytes look like to a TLS stack.
bool is_not_tls(int reason) {
  return reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
         reason == SSL_R_HTTP_REQUEST || reason == SSL_R_UNKNOWN_PROTOCOL || reason == SSL_R_RECORD_LENGTH_MISMATCH;
}

std::string certificate_problem(const char* whose, long result, const std::string& trusted_by) {
  const std::string text = X509_verify_cert_error_string(result);
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED: return std::string(whose) + " certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return std::string(whose) + " certificate is not valid yet";
    default: return std::string(whose) + " certificate is not trusted by " + trusted_by + " (" + text + ")";
  }
}

void require_file(const std::string& path, const std::string& where, const char* field) {
  std::error_code ec;
  if (path.empty()) throw InvalidArgumentError(where + "." + field + ": expected the path of a PEM file");
  if (!std::filesystem::is_regular_file(path, ec))
    throw InvalidArgumentError(where + "." + field + ": '" + path + "' is not a file");
  if (!std::ifstream(path).good()) throw InvalidArgumentError(where + "." + field + ": '" + path + "' cannot be read");
}

// Runs one loading step of an OpenSSL context, turning its failure into an error naming the file.
template <class Step>
void load(const std::string& where, const char* field, const std::string& path, Step step) {
  require_file(path, where, field);
  try {
    step();
  } catch (const std::system_error& e) {
    throw InvalidArgumentError(where + "." + field + ": '" + path + "' cannot be loaded: " + reason_text(e.code()));
  }
}

void load_identity(TlsContext& tls, const std::string& where, const std::string& cert, const std::string& key,
                   const char* cert_field, const char* key_field) {
  auto& ctx = tls.native();
  load(where, cert_field, cert, [&] { ctx.use_certificate_chain_file(cert); });
  const auto mismatch = [&] {
    return InvalidArgumentError(where + "." + key_field + ": the key '" + key +
                                "' does not belong to the certificate '" + cert + "'");
  };
  require_file(key, where, key_field);
  try {
    ctx.use_private_key_file(key, asio::ssl::context::pem);
  } catch (const std::system_error& e) {
    if (ssl_library_reason(e.code()) == X509_R_KEY_VALUES_MISMATCH) throw mismatch();
    throw InvalidArgumentError(where + "." + key_field + ": '" + key + "' cannot be loaded: " + reason_text(e.code()));
  }
  if (SSL_CTX_check_private_key(ctx.native_handle()) != 1) {
    ERR_clear_error();
    throw mismatch();
  }
}

std::shared_ptr<TlsContext> make_context(asio::ssl::context::method method, std::string server_name) {
  auto tls = std::make_shared<TlsContext>(method, std::move(server_name));
  // TLS 1.2 at least; OpenSSL negotiates 1.3 when both ends have it.
  SSL_CTX_set_min_proto_version(tls->native().native_handle(), TLS1_2_VERSION);
  tls->native().set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_compression);
  return tls;
}

}  // namespace

std::shared_ptr<TlsContext> load_client_tls(const TlsClientFiles& files, const std::string& where) {
  if (files.cert.empty() != files.key.empty())
    throw InvalidArgumentError(where + ": 'cert' and 'key' go together: give both or neither");
  auto tls = make_context(asio::ssl::context::tls_client, files.server_name);
  load(where, "ca", files.ca, [&] { tls->native().load_verify_file(files.ca); });
  tls->native().set_verify_mode(asio::ssl::verify_peer);
  if (!files.cert.empty()) load_identity(*tls, where, files.cert, files.key, "cert", "key");
  return tls;
}

std::shared_ptr<TlsContext> load_server_tls(const TlsServerFiles& files) {
  const std::string where = "worker TLS";
  if (files.cert.empty() || files.key.empty())
    throw InvalidArgumentError(where + ": a certificate and its key are both needed (--tls-cert, --tls-key)");
  auto tls = make_context(asio::ssl::context::tls_server, {});
  load_identity(*tls, where, files.cert, files.key, "certificate", "key");
  if (!files.client_ca.empty()) {
    load(where, "client CA", files.client_ca, [&] { tls->native().load_verify_file(files.client_ca); });
    // Tells clients which CA their certificate must come from.
    SSL_CTX_set_client_CA_list(tls->native().native_handle(), SSL_load_client_CA_file(files.client_ca.c_str()));
    tls->native().set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
  }
  return tls;
}

const std::string& tls_server_name(const TlsContext& tls) { return tls.server_name(); }

void expect_server_name(Stream& stream, const std::string& name) {
  SSL* ssl = stream.tls().native_handle();
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  asio::error_code not_ip;
  asio::ip::make_address(name, not_ip);
  if (!not_ip) {
    X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
  } else {
    // Server name indication lets a worker behind one address choose the certificate to show.
    SSL_set_tlsext_host_name(ssl, name.c_str());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
  }
}

std::string client_tls_failure(Stream& stream, const std::error_code& ec, const std::string& server_name) {
  const int reason = ssl_reason(ec);
  std::string why = "TLS handshake failed: ";
  if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    const auto result = verify_failure(stream);
    if (result && (*result == X509_V_ERR_HOSTNAME_MISMATCH || *result == X509_V_ERR_IP_ADDRESS_MISMATCH)) {
      return why + "the worker's certificate is not for '" + server_name + "' (" +
             X509_verify_cert_error_string(*result) + "; remote.tls.server_name sets the name to expect)";
    }
    if (result) return why + certificate_problem("the worker's", *result, "remote.tls.ca");
  }
  if (reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)
    return why + "the worker requires a client certificate (" + reason_text(ec) +
           "; give remote.tls.cert and remote.tls.key)";
  if (reason == SSL_R_TLSV1_ALERT_UNKNOWN_CA || reason == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE ||
      reason == SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED || reason == SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN)
    return why + "the worker refused this host's certificate (" + reason_text(ec) + ")";
  if (is_alert(reason)) return why + "the worker refused it (" + reason_text(ec) + ")";
  if (is_not_tls(reason)) return why + "the worker does not speak TLS (" + reason_text(ec) + ")";
  // A plaintext worker hangs up on the TLS record it cannot read; the bytes it left unread turn
  // the hang-up into a reset.
  if (is_end_of_stream(ec) || ec == asio::error::connection_reset)
    return why + "the worker closed the connection (a worker without --tls-cert hangs up on TLS clients)";
  return why + reason_text(ec);
}

std::string worker_tls_failure(Stream& stream, const std::error_code& ec) {
  const int reason = ssl_reason(ec);
  if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    if (const auto result = verify_failure(stream))
      return certificate_problem("the client's", *result, "--tls-client-ca");
  }
  if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
    return "the client presented no certificate (--tls-client-ca requires one)";
  if (is_alert(reason)) return "the client refused the handshake (" + reason_text(ec) + ")";
  if (is_not_tls(reason)) return "the client does not speak TLS (" + reason_text(ec) + "): a plaintext client?";
  if (is_end_of_stream(ec)) return "the client closed the connection during the handshake";
  return reason_text(ec);
}

bool looks_like_tls_record(const unsigned char* header) {
  // Content type handshake (22) or alert (21), then the major version 3.
  return (header[0] == 22 || header[0] == 21) && header[1] == 3;
}

bool is_end_of_stream(const std::error_code& ec) {
  return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated ||
         ssl_reason(ec) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

}  // namespace tavrin_core::remote
