// tavrin-worker: serves implementation classes to remote clients over TCP, or TLS.
//
//   tavrin-worker [--host 127.0.0.1] [--port 1337] [--plugin lib.so]... [lib.so]... [--exit-on-stop]
//                 [--exit-with-parent] [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]
//                 [--insecure]
//
// Prints "tavrin-worker listening on <host>:<port>" once it accepts connections (with --port 0 the
// port is a free one chosen by the system). Ends on SIGINT or SIGTERM, with --exit-on-stop once
// a stop_all leaves it without instances, and with --exit-with-parent when the thread that started
// it ends (the kernel sends it SIGTERM then), so that a crashed launcher leaves no worker behind.
// With --tls-cert and --tls-key it serves TLS only; --tls-client-ca admits only clients with a
// certificate signed by that CA. Plaintext outside the loopback range needs --insecure.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "common/errors.hpp"
#include "core_api/implementations.hpp"
#include "core_api/logger.hpp"
#include "core_api/remote.hpp"

int main(int argc, char** argv) {
  CLI::App app{"Serves teachers, controllers and perceptors to remote clients (JSON-RPC 2.0 over TCP or TLS)",
               "tavrin-worker"};
  tavrin_core::remote::WorkerServerOptions options;
  options.version = TAVRIN_WORKER_VERSION;
  std::vector<std::string> plugins;
  std::vector<std::string> positional_plugins;
  std::string log_level = "info";
  app.add_option("--host", options.host, "address to listen on")->capture_default_str();
  app.add_option("--port", options.port, "port to listen on (0: any free port)")->capture_default_str();
  app.add_option("--plugin", plugins, "plugin library registering implementation classes (repeatable)");
  app.add_option("plugins", positional_plugins, "more plugin libraries");
  app.add_flag("--exit-on-stop", options.exit_when_stopped, "exit once a stop_all leaves no instance");
  bool exit_with_parent = false;
  app.add_flag("--exit-with-parent", exit_with_parent,
               "exit when the thread that started the worker ends (Linux: SIGTERM on the parent's death)");
  app.add_option("--tls-cert", options.tls.cert, "PEM certificate (chain) of this worker: serve TLS only");
  app.add_option("--tls-key", options.tls.key, "PEM private key of --tls-cert");
  app.add_option("--tls-client-ca", options.tls.client_ca,
                 "PEM CA: require every client to present a certificate signed by it (mutual TLS)");
  app.add_flag("--insecure", options.insecure,
               "serve plaintext also outside the loopback range (only on a trusted network)");
  app.add_option("--log-level", log_level, "debug, info, warning, error or off")->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  if (exit_with_parent) {
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
      std::perror("tavrin-worker: --exit-with-parent");
      return 1;
    }
    if (getppid() != parent) return 0;  // the parent ended before the request was in place
  }

  try {
    tavrin_core::set_log_level(tavrin_core::parse_log_level(log_level));
    auto& registry = tavrin_core::ImplementationRegistry::instance();
    plugins.insert(plugins.end(), positional_plugins.begin(), positional_plugins.end());
    for (const auto& path : plugins) registry.load_plugin(path);

    asio::io_context ctx(1);
    asio::signal_set signals(ctx, SIGINT, SIGTERM);
    // Once the server stops, nothing is left to wait for and the event loop runs out.
    options.on_stopped = [&signals] {
      asio::error_code ignored;
      signals.cancel(ignored);
    };
    tavrin_core::remote::WorkerServer server(ctx, options);
    signals.async_wait([&](const std::error_code& ec, int) {
      if (ec) return;
      server.stop();
      ctx.stop();
    });
    server.start();
    std::cout << "tavrin-worker listening on " << server.address() << std::endl;
    ctx.run();
    return 0;
  } catch (const tavrin_inference::Error& e) {
    std::cerr << "tavrin-worker: " << e.kind() << ": " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "tavrin-worker: " << e.what() << "\n";
  }
  return 1;
}
