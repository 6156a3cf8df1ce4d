#include "onnx_helper/onnx_helper.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "common/errors.hpp"
#include "core_api/logger.hpp"

namespace tavrin_inference {
namespace {

const tavrin_core::Logger& logger = tavrin_core::get_logger("tavrin_inference.onnx_helper");

// Field numbers of the ONNX protobuf messages read here.
constexpr std::uint32_t kModelGraph = 7;     // ModelProto.graph
constexpr std::uint32_t kGraphInput = 11;    // GraphProto.input
constexpr std::uint32_t kValueInfoName = 1;  // ValueInfoProto.name
constexpr std::uint32_t kValueInfoType = 2;  // ValueInfoProto.type
constexpr std::uint32_t kTypeTensor = 1;     // TypeProto.tensor_type
constexpr std::uint32_t kTensorShape = 2;    // TypeProto.Tensor.shape
constexpr std::uint32_t kShapeDim = 1;       // TensorShapeProto.dim
constexpr std::uint32_t kDimValue = 1;       // TensorShapeProto.Dimension.dim_value

constexpr std::uint32_t kVarint = 0;
constexpr std::uint32_t kFixed64 = 1;
constexpr std::uint32_t kLengthDelimited = 2;
constexpr std::uint32_t kFixed32 = 5;

// Walks the protobuf wire format of a file, message by message. Payloads that are not needed are
// skipped by seeking, so the weights of a large model are never read.
class WireReader {
 public:
  struct Field {
    std::uint32_t number = 0;
    std::uint32_t wire = 0;
    std::uint64_t value = 0;  // the varint, or the payload length of the other wire types
  };

  WireReader(const std::string& path, std::uint64_t size) : path_(path), size_(size) {
    in_.open(path, std::ios::binary);
    if (!in_) throw FileNotFoundError("cannot open ONNX model file " + path);
  }

  std::uint64_t size() const { return size_; }
  std::uint64_t pos() const { return pos_; }

  // Next field before `end`, its varint read or its payload length known; false at `end`.
  bool next(std::uint64_t end, Field& field) {
    if (pos_ >= end) return false;
    const std::uint64_t key = varint(end);
    field.number = static_cast<std::uint32_t>(key >> 3);
    field.wire = static_cast<std::uint32_t>(key & 7);
    if (field.number == 0) malformed("field number 0");
    switch (field.wire) {
      case kVarint: field.value = varint(end); break;
      case kFixed64: field.value = 8; break;
      case kFixed32: field.value = 4; break;
      case kLengthDelimited: field.value = varint(end); break;
      default: malformed("unsupported wire type " + std::to_string(field.wire));
    }
    if (field.wire != kVarint && field.value > end - pos_) malformed("a field runs past its message");
    return true;
  }

  // Skips the payload of a field that `next` returned.
  void skip(const Field& field) {
    if (field.wire == kVarint) return;
    pos_ += field.value;
    in_.seekg(static_cast<std::streamoff>(pos_));
    if (!in_) malformed("cannot seek");
  }

  std::string text(const Field& field) {
    std::string out(static_cast<std::size_t>(field.value), '\0');
    in_.read(out.data(), static_cast<std::streamsize>(out.size()));
    if (static_cast<std::uint64_t>(in_.gcount()) != field.value) malformed("truncated");
    pos_ += field.value;
    return out;
  }

  [[noreturn]] void malformed(const std::string& what) const {
    throw InvalidArgumentError(path_ + " is not a well-formed ONNX model (" + what + " at byte " +
                               std::to_string(pos_) + ")");
  }

 private:
  std::uint64_t varint(std::uint64_t end) {
    std::uint64_t result = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= end) malformed("truncated varint");
      const int c = in_.get();
      if (c == std::char_traits<char>::eof()) malformed("truncated");
      ++pos_;
      result |= static_cast<std::uint64_t>(c & 0x7f) << shift;
      if ((c & 0x80) == 0) return result;
    }
    malformed("varint too long");
  }

  std::string path_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
  std::ifstream in_;
};

using Field = WireReader::Field;

std::optional<std::int64_t> read_dimension(WireReader& r, std::uint64_t end) {
  std::optional<std::int64_t> dim;
  Field f;
  while (r.next(end, f)) {
    if (f.number == kDimValue && f.wire == kVarint) {
      dim = static_cast<std::int64_t>(f.value);  // int64 travels as two's complement
    } else {
      r.skip(f);  // dim_param, denotation: no concrete size
    }
  }
  if (dim && *dim < 0) dim.reset();
  return dim;
}

void read_tensor_type(WireReader& r, std::uint64_t end, OnnxInputDecl& decl) {
  Field f;
  while (r.next(end, f)) {
    if (f.number == kTensorShape && f.wire == kLengthDelimited) {
      decl.has_shape = true;
      decl.dims.clear();
      const std::uint64_t shape_end = r.pos() + f.value;
      Field d;
      while (r.next(shape_end, d)) {
        if (d.number == kShapeDim && d.wire == kLengthDelimited) {
          decl.dims.push_back(read_dimension(r, r.pos() + d.value));
        } else {
          r.skip(d);
        }
      }
    } else {
      r.skip(f);
    }
  }
}

OnnxInputDecl read_value_info(WireReader& r, std::uint64_t end) {
  OnnxInputDecl decl;
  Field f;
  while (r.next(end, f)) {
    if (f.number == kValueInfoName && f.wire == kLengthDelimited) {
      decl.name = r.text(f);
    } else if (f.number == kValueInfoType && f.wire == kLengthDelimited) {
      const std::uint64_t type_end = r.pos() + f.value;
      Field t;
      while (r.next(type_end, t)) {
        if (t.number == kTypeTensor && t.wire == kLengthDelimited) {
          read_tensor_type(r, r.pos() + t.value, decl);
        } else {
          r.skip(t);  // sequences, maps, optionals: no tensor shape
        }
      }
    } else {
      r.skip(f);
    }
  }
  return decl;
}

bool contains_lower(std::string_view name, std::string_view word) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find(word) != std::string::npos;
}

}  // namespace

std::vector<OnnxInputDecl> read_onnx_model_inputs(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec || !fs::exists(status)) throw FileNotFoundError("No ONNX model file at " + path);
  if (!fs::is_regular_file(status)) throw InvalidArgumentError(path + " is not a file");
  const std::uint64_t size = fs::file_size(path, ec);
  if (ec) throw FileNotFoundError("cannot read the size of " + path + ": " + ec.message());

  WireReader r(path, size);
  std::vector<OnnxInputDecl> inputs;
  bool has_graph = false;
  Field f;
  while (r.next(r.size(), f)) {
    if (f.number == kModelGraph && f.wire == kLengthDelimited) {
      has_graph = true;
      const std::uint64_t graph_end = r.pos() + f.value;
      Field g;
      while (r.next(graph_end, g)) {
        if (g.number == kGraphInput && g.wire == kLengthDelimited) {
          inputs.push_back(read_value_info(r, r.pos() + g.value));
        } else {
          r.skip(g);
        }
      }
    } else {
      r.skip(f);
    }
  }
  if (!has_graph) throw InvalidArgumentError(path + " is not an ONNX model: it holds no graph");
  return inputs;
}

void ensure_onnx_model_has_action_mask(const std::string& path, const tavrin_core::spaces::SpacePtr& action_space,
                                       const std::shared_ptr<tavrin_core::AgentNode>& agent) {
  const std::vector<OnnxInputDecl> inputs = read_onnx_model_inputs(path);
  // The same rule the runner feeds the mask by: the first input whose name holds "action_mask".
  const auto mask = std::find_if(inputs.begin(), inputs.end(),
                                 [](const OnnxInputDecl& in) { return contains_lower(in.name, "action_mask"); });
  const auto owner = [&] { return agent ? " of agent " + agent->get_name() : std::string(); };
  if (mask == inputs.end()) {
    logger.debug("ONNX model {}{} declares no action_mask input; it runs on the observation alone", path, owner());
    return;
  }
  if (!action_space || !mask->has_shape) return;
  std::int64_t declared = 1;
  for (const auto& dim : mask->dims) {
    if (!dim) return;  // an open size: nothing to compare
    declared *= *dim;
  }
  const std::int64_t expected = action_space->get_action_mask_space()->flat_size();
  if (declared != expected) {
    throw InvalidArgumentError("action_mask input '" + mask->name + "' of " + path + " declares " +
                               std::to_string(declared) + " entries, but the action mask of " + action_space->str() +
                               " has " + std::to_string(expected));
  }
  logger.debug("ONNX model {}{} takes the action mask through input '{}'", path, owner(), mask->name);
}

}  // namespace tavrin_inference

extern "C" void tavrin_read_onnx_model_inputs(const std::string& path,
                                              std::vector<tavrin_inference::OnnxInputDecl>& inputs) {
  inputs = tavrin_inference::read_onnx_model_inputs(path);
}

extern "C" void tavrin_ensure_onnx_model_has_action_mask(const std::string& path,
                                                         const tavrin_core::spaces::SpacePtr& action_space,
                                                         const std::shared_ptr<tavrin_core::AgentNode>& agent) {
  tavrin_inference::ensure_onnx_model_has_action_mask(path, action_space, agent);
}
