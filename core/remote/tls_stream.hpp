#pragma once
// The byte stream of one worker connection: a TCP socket, with TLS on it or not, read and written
// the same way. Only the sources of core/remote include this header (it pulls in OpenSSL).
#include <optional>
#include <string>
#include <system_error>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include "core/remote/tls.hpp"

namespace tavrin_core::remote {

class TlsContext {
 public:
  TlsContext(asio::ssl::context::method method, std::string server_name)
      : context_(method), server_name_(std::move(server_name)) {}
  asio::ssl::context& native() { return context_; }
  const std::string& server_name() const { return server_name_; }

 private:
  asio::ssl::context context_;
  std::string server_name_;
};

class Stream {
 public:
  // `tls` null: plaintext. The context must outlive the stream.
  Stream(asio::io_context& ctx, TlsContext* tls) : socket_(ctx) {
    if (tls) tls_.emplace(socket_, tls->native());
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  asio::ip::tcp::socket& socket() { return socket_; }
  bool secure() const { return tls_.has_value(); }
  asio::ssl::stream<asio::ip::tcp::socket&>& tls() { return *tls_; }

  template <class Buffers, class Token>
  auto read(const Buffers& buffers, Token&& token) {
    if (tls_) return asio::async_read(*tls_, buffers, std::forward<Token>(token));
    return asio::async_read(socket_, buffers, std::forward<Token>(token));
  }
  template <class Buffers, class Token>
  auto write(const Buffers& buffers, Token&& token) {
    if (tls_) return asio::async_write(*tls_, buffers, std::forward<Token>(token));
    return asio::async_write(socket_, buffers, std::forward<Token>(token));
  }
  void close() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

 private:
  asio::ip::tcp::socket socket_;
  std::optional<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
};

// Before a client's handshake: the name the worker's certificate must carry (SNI and the check).
void expect_server_name(Stream& stream, const std::string& name);

// Why a handshake (or, in TLS 1.3, the first read after it, where a refused client certificate
// shows) failed, in words, as seen by the client and by the worker.
std::string client_tls_failure(Stream& stream, const std::error_code& ec, const std::string& server_name);
std::string worker_tls_failure(Stream& stream, const std::error_code& ec);

// True when a 4-byte frame header is in fact the start of a TLS record (a TLS peer on a plaintext
// connection): no frame within the size limit starts with these bytes.
bool looks_like_tls_record(const unsigned char* header);

// A stream's end as the peer meant it (closed, or TLS ended without close_notify).
bool is_end_of_stream(const std::error_code& ec);

}  // namespace tavrin_core::remote
