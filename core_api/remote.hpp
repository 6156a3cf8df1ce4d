#pragma once
// Remote workers: teachers, controllers and perceptors served by other processes over TCP
// (JSON-RPC 2.0 in length-prefixed frames, see docs/remote-protocol.md).
//
// Client side: a configuration map with a "remote" field makes NetworkMgr's agent, perceptor and
// controller managers WorkerManagers, whose "create_with_client" answers (client id, proxy).
// Worker side: WorkerServer serves the classes of ImplementationRegistry; the tavrin-worker program
// wraps it.
#include "core/remote/codec.hpp"
#include "core/remote/protocol.hpp"
#include "core/remote/worker_client.hpp"
#include "core/remote/worker_manager.hpp"
#include "core/remote/worker_server.hpp"
