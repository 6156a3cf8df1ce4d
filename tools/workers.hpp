#pragma once
// A fixed set of threads that run one job each, all at once, on request: the way `tavrin bench`
// and the host benchmarks step many hosts side by side without starting threads inside the timing.
#include <barrier>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tavrin_tool {

class Workers {
 public:
  explicit Workers(std::size_t k)
      : start_(static_cast<std::ptrdiff_t>(k + 1)), done_(static_cast<std::ptrdiff_t>(k + 1)) {
    for (std::size_t i = 0; i < k; ++i) {
      threads_.emplace_back([this, i] {
        for (;;) {
          start_.arrive_and_wait();  // orders job_ and stop_ for this thread
          if (stop_) return;
          try {
            (*job_)(i);
          } catch (...) {
            std::lock_guard lock(mutex_);
            if (!error_) error_ = std::current_exception();
          }
          done_.arrive_and_wait();
        }
      });
    }
  }
  ~Workers() {
    stop_ = true;
    start_.arrive_and_wait();
    for (auto& t : threads_) t.join();
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // job(i) on thread i, every thread at once; microseconds until the last one returned. The first
  // error a job threw is thrown here.
  double run(const std::function<void(std::size_t)>& job) {
    job_ = &job;
    const auto start = std::chrono::steady_clock::now();
    start_.arrive_and_wait();
    done_.arrive_and_wait();
    const double took = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    return took;
  }

 private:
  std::vector<std::thread> threads_;
  std::barrier<> start_, done_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  bool stop_ = false;
  std::mutex mutex_;
  std::exception_ptr error_;
};

}  // namespace tavrin_tool
