#pragma once
// GraphRunner: one exported policy model run one observation at a time (batch of one) with an
// optional action mask, every output returned by name. Calls on one runner are serialised by its
// own lock; different runners run in parallel. Runners that open the same model file with the same
// options share its loaded ONNX Runtime session (its weights); each keeps its own inputs, output
// buffers and lock.
#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/nd_array.hpp"
#include "runner/runner_options.hpp"

namespace tavrin_inference {

// Outputs of one run, keyed by output name, in the model's output order. The names are shared with
// the runner that produced them (no per-call string copies) and stay valid after the runner is gone.
class InferenceOutputs {
 public:
  using Names = std::shared_ptr<const std::vector<std::string>>;

  InferenceOutputs() = default;
  InferenceOutputs(Names names, std::vector<NdArray> values);

  std::size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  const std::vector<std::string>& names() const;
  const std::string& name(std::size_t i) const { return (*names_)[i]; }
  const NdArray& value(std::size_t i) const { return values_[i]; }
  NdArray& value(std::size_t i) { return values_[i]; }

  // nullptr when no output has that name.
  const NdArray* find(std::string_view name) const;
  NdArray* find(std::string_view name);
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // KeyError naming the output when absent.
  const NdArray& at(std::string_view name) const;

  struct Entry {
    const std::string& name;
    const NdArray& value;
  };
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using reference = Entry;
    using pointer = void;

    const_iterator() = default;
    const_iterator(const InferenceOutputs* owner, std::size_t i) : owner_(owner), i_(i) {}
    Entry operator*() const { return {owner_->name(i_), owner_->value(i_)}; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    const_iterator operator++(int) {
      auto copy = *this;
      ++i_;
      return copy;
    }
    bool operator==(const const_iterator& other) const { return i_ == other.i_; }

   private:
    const InferenceOutputs* owner_ = nullptr;
    std::size_t i_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, values_.size()}; }

 private:
  std::ptrdiff_t index_of(std::string_view name) const;

  Names names_;
  std::vector<NdArray> values_;
};

class GraphRunner {
 public:
  // Opens the model at model_path on the given execution providers ("CPUExecutionProvider" when
  // absent). FileNotFoundError when nothing exists at the path; a session that cannot be created
  // fails the constructor (ONNX Runtime's own message as a RuntimeError).
  //
  // The model then runs once on a zero observation with everything allowed, so that the first
  // real call does not pay for ONNX Runtime's first-run preparations; when that run fails, the
  // failure is logged as a warning and the runner is kept (its calls report the failure as usual).
  explicit GraphRunner(std::string model_path, std::optional<std::vector<std::string>> providers = std::nullopt);
  // The same, with the session's thread settings (see runner/runner_options.hpp).
  GraphRunner(std::string model_path, std::optional<std::vector<std::string>> providers,
              const GraphRunnerOptions& options);
  ~GraphRunner();
  GraphRunner(const GraphRunner&) = delete;
  GraphRunner& operator=(const GraphRunner&) = delete;
  GraphRunner(GraphRunner&&) = delete;
  GraphRunner& operator=(GraphRunner&&) = delete;

  const std::string& model_path() const { return model_path_; }
  const std::vector<std::string>& input_names() const;
  const std::vector<std::string>& output_names() const;
  // The declared shapes of the observation input and of the action-mask input (none when the model
  // has no such input); an open or symbolic dimension is -1.
  Shape observation_shape() const;
  std::optional<Shape> action_mask_shape() const;

  // One forward pass. A 1-D observation is fed as one row; it is fed as float32 and must match the
  // observation input's declared shape. A mask (fed as float64) goes to the action-mask input when
  // the model has one; without a mask, such an input gets all ones. Safe to call from several
  // threads: calls on one runner run one after another.
  InferenceOutputs infer(const NdArray& observation, const NdArray* action_mask = nullptr);
  InferenceOutputs infer(const NdArray& observation, const NdArray& action_mask) {
    return infer(observation, &action_mask);
  }

  // The "action_dist_inputs" output, or the model's last output when it has none.
  NdArray get_action_dist_inputs(const NdArray& observation, const NdArray* action_mask = nullptr);
  NdArray get_action_dist_inputs(const NdArray& observation, const NdArray& action_mask) {
    return get_action_dist_inputs(observation, &action_mask);
  }

  // The "vf_preds" output, or nullopt when the model has none.
  std::optional<NdArray> get_vf_preds(const NdArray& observation, const NdArray* action_mask = nullptr);
  std::optional<NdArray> get_vf_preds(const NdArray& observation, const NdArray& action_mask) {
    return get_vf_preds(observation, &action_mask);
  }

  // Largest number of session runs ever seen in flight at once on this runner (1 once it has run,
  // since runs are serialised). A cheap diagnostic of the locking.
  int max_concurrent_runs() const;

  // Whether both runners run on one loaded session (the same model file, unchanged on disk between
  // their loads, opened with the same providers and thread settings).
  bool shares_session_with(const GraphRunner& other) const;

 private:
  struct Session;

  void load_model(const std::vector<std::string>& providers, const GraphRunnerOptions& options);
  void warm_up();
  // One run under model_lock_ (held by the caller): every output into `values`, or only `only`.
  // Failures are logged as inference errors.
  void run_locked(const NdArray& observation, const NdArray* action_mask, std::vector<NdArray>& values,
                  std::optional<std::size_t> only);
  // The same, without the logging.
  void run_unlogged(const NdArray& observation, const NdArray* action_mask, std::vector<NdArray>& values,
                    std::optional<std::size_t> only);

  std::string model_path_;
  std::mutex model_lock_;             // held for the whole of every infer
  std::unique_ptr<Session> session_;  // set once loading succeeded
};

}  // namespace tavrin_inference
