// The proxies of instances on workers: every hook is a call to the instance, and a call that finds
// the instance gone (the worker restarted) makes it again, once for all the calls that found it gone.
#include <exception>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "core/remote/manager_state.hpp"

namespace tavrin_core::remote {

namespace {

// Handed, under `mutex`, to every call that waits for one renewal of a proxy's instance.
struct Waiters {
  std::mutex mutex;
  bool done = false;
  std::string id;
  std::exception_ptr error;
  std::vector<std::function<void()>> resume;
};

}  // namespace

struct RemoteHandle::Renewal : Waiters {};

RemoteHandle::RemoteHandle(std::shared_ptr<WorkerManager::State> state, std::shared_ptr<WorkerClient> client,
                           ManagerKind kind, std::string impl_cls, std::string env_init, std::string version,
                           std::string client_id)
    : state_(std::move(state)),
      client_(std::move(client)),
      kind_(kind),
      impl_cls_(std::move(impl_cls)),
      env_init_(std::move(env_init)),
      version_(std::move(version)),
      epoch_(state_->epoch.load()),
      client_id_(std::move(client_id)) {}

std::string RemoteHandle::client_id() const {
  std::lock_guard lock(mutex_);
  return client_id_;
}

namespace {

// Waits, on the caller's own executor, for the renewal another call is making.
asio::awaitable<std::string> await_renewal(std::shared_ptr<RemoteHandle::Renewal> renewal) {
  auto initiation = [renewal](auto handler) {
    auto ex = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work_t::tracked);
    auto h = std::make_shared<decltype(handler)>(std::move(handler));
    auto resume = [ex, h, renewal] { asio::post(ex, [h, renewal] { std::move (*h)(renewal->error, renewal->id); }); };
    std::unique_lock lock(renewal->mutex);
    if (!renewal->done) {
      renewal->resume.push_back(std::move(resume));
      return;
    }
    lock.unlock();
    resume();
  };
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, std::string)>(
      std::move(initiation), asio::use_awaitable);
}

void complete_renewal(RemoteHandle::Renewal& renewal, std::string id, std::exception_ptr error) {
  std::vector<std::function<void()>> resume;
  {
    std::lock_guard lock(renewal.mutex);
    renewal.done = true;
    renewal.id = std::move(id);
    renewal.error = std::move(error);
    resume.swap(renewal.resume);
  }
  for (auto& r : resume) r();
}

}  // namespace

asio::awaitable<std::string> RemoteHandle::renew(std::shared_ptr<RemoteHandle> self, std::string stale) {
  RemoteHandle& h = *self;
  std::shared_ptr<Renewal> renewal;
  bool mine = false;
  {
    std::lock_guard lock(h.mutex_);
    if (h.client_id_ != stale) co_return h.client_id_;  // another call has made the new instance already
    if (!h.renewal_) {
      h.renewal_ = std::make_shared<Renewal>();
      mine = true;
    }
    renewal = h.renewal_;
  }
  if (!mine) co_return co_await await_renewal(std::move(renewal));
  std::string id;
  std::exception_ptr error;
  try {
    Json made = co_await create_instance(h.state_, h.client_, h.impl_cls_, h.version_);
    id = made["client"].get<std::string>();
  } catch (...) {
    error = std::current_exception();
  }
  {
    std::lock_guard lock(h.mutex_);
    if (!error) h.client_id_ = id;
    h.renewal_.reset();
  }
  complete_renewal(*renewal, id, error);
  if (error) std::rethrow_exception(error);
  co_return id;
}

asio::awaitable<Value> RemoteHandle::call(std::shared_ptr<RemoteHandle> self, const char* method,
                                          std::vector<Value> args) {
  RemoteHandle& h = *self;
  const char* manager = manager_kind_name(h.kind_);
  std::string client_id = h.client_id();
  if (h.state_->epoch.load() != h.epoch_) {
    throw RemoteError("worker " + h.client_->address() + ": " + manager + "." + method + " (client " + client_id +
                      ", class " + h.impl_cls_ + "): the instance was stopped by stop_all");
  }
  for (int attempt = 0;; ++attempt) {
    Json params = Json::object();
    params["manager"] = manager;
    params["client"] = client_id;
    Json& encoded = params["args"] = Json::array();
    encoded.get_ref<Json::array_t&>().reserve(args.size());
    for (const auto& a : args) encoded.push_back(encode_value(a));
    std::string what = std::string(manager) + "." + method + " (client " + client_id + ")";
    bool lost_instance = false;
    try {
      Json result = co_await h.client_->call(method, std::move(params), std::move(what));
      co_return decode_value(result, std::string(method) + " result");
    } catch (const RemoteError& e) {
      if (e.code() != error_code::unknown_client || attempt > 0) throw;
      lost_instance = true;
    }
    // The worker no longer knows the instance (it restarted): make it again, then retry once.
    if (lost_instance) client_id = co_await renew(self, client_id);
  }
}

namespace {

template <class... V>
std::vector<Value> hook_args(V&&... values) {
  std::vector<Value> out;
  out.reserve(sizeof...(V));
  (out.push_back(std::forward<V>(values)), ...);
  return out;
}

}  // namespace

asio::awaitable<void> RemoteHandle::call_void(std::shared_ptr<RemoteHandle> self, const char* method) {
  co_await call(std::move(self), method, std::vector<Value>());
}

asio::awaitable<Value> RemoteTeacher::filtered_sensor_space() {
  return RemoteHandle::call(handle_, "filtered_sensor_space", {});
}
asio::awaitable<Value> RemoteTeacher::transform_sensors(Value sensors, Value extra) {
  return RemoteHandle::call(handle_, "transform_sensors", hook_args(std::move(sensors), std::move(extra)));
}
asio::awaitable<Value> RemoteTeacher::compute_action_mask(const Value& sensors, const Value& previous_action) {
  return RemoteHandle::call(handle_, "compute_action_mask", hook_args(sensors, previous_action));
}
asio::awaitable<Value> RemoteTeacher::transform_action(const Value& sensors, Value action) {
  return RemoteHandle::call(handle_, "transform_action", hook_args(sensors, std::move(action)));
}
asio::awaitable<Value> RemoteTeacher::compute_reward(const Value& sensors, Value action, Value sim_reward) {
  return RemoteHandle::call(handle_, "compute_reward", hook_args(sensors, std::move(action), std::move(sim_reward)));
}
asio::awaitable<Value> RemoteTeacher::compute_success_criteria(const Value& sensors, Value action) {
  return RemoteHandle::call(handle_, "compute_success_criteria", hook_args(sensors, std::move(action)));
}
asio::awaitable<Value> RemoteTeacher::compute_termination(const Value& sensors, Value action) {
  return RemoteHandle::call(handle_, "compute_termination", hook_args(sensors, std::move(action)));
}

asio::awaitable<Value> RemoteController::filtered_sensor_space() {
  return RemoteHandle::call(handle_, "filtered_sensor_space", {});
}
asio::awaitable<Value> RemoteController::compute_action(const Value& sensors, const Value& previous_action) {
  return RemoteHandle::call(handle_, "compute_action", hook_args(sensors, previous_action));
}

asio::awaitable<Value> RemotePerceptor::perceive(const Value& sensors) {
  return RemoteHandle::call(handle_, "perceive", hook_args(sensors));
}

}  // namespace tavrin_core::remote
