#pragma once
// A listening socket on a free loopback port, served by an event loop thread of its own, for test
// servers that stand in for a worker. The class built on it queues its first accept on ctx_, then
// calls run(); its destructor calls stop() first, so that no handler runs while its members go.
#include <string>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>

namespace tavrin_test {

class LoopbackServer {
 public:
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // "127.0.0.1:<port>"
  std::string address() const { return "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()); }

 protected:
  LoopbackServer() : acceptor_(ctx_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {}
  ~LoopbackServer() { stop(); }

  void run() {
    thread_ = std::thread([this] { ctx_.run(); });
  }
  void stop() {
    ctx_.stop();
    if (thread_.joinable()) thread_.join();
  }

  asio::io_context ctx_;
  asio::ip::tcp::acceptor acceptor_;

 private:
  std::thread thread_;
};

}  // namespace tavrin_test
