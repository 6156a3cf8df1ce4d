#pragma once
// Where an implementation is served and which version of it.
#include <string>

#include <asio/awaitable.hpp>

namespace tavrin_core {

namespace plugin_util {
// Version of the implementation class (or of the worker at a url); KeyError when unknown.
asio::awaitable<std::string> get_tavrin_version(std::string impl_cls_or_url);
}  // namespace plugin_util

namespace network_util {
// Address of the worker that serves an implementation class ("inproc://<class>" for this process).
std::string get_tavrin_url(const std::string& impl_cls);
}  // namespace network_util

}  // namespace tavrin_core
