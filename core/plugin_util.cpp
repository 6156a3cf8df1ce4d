#include "core_api/plugin_util.hpp"

#include "core_api/implementations.hpp"

namespace tavrin_core {

namespace network_util {
std::string get_tavrin_url(const std::string& impl_cls) { return "inproc://" + impl_cls; }
}  // namespace network_util

namespace plugin_util {
asio::awaitable<std::string> get_tavrin_version(std::string impl_cls_or_url) {
  constexpr std::string_view scheme = "inproc://";
  if (impl_cls_or_url.rfind(scheme, 0) == 0) impl_cls_or_url.erase(0, scheme.size());
  co_return ImplementationRegistry::instance().version_of(impl_cls_or_url);
}
}  // namespace plugin_util

}  // namespace tavrin_core
