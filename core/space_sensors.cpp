// Raw simulator sensors into the agent's sensor space: the sensor entries, and the conversion of
// a map or a flat list of raw values into values of each sensor's own space.
#include "core_api/space_utils.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/close_names.hpp"
#include "common/errors.hpp"
#include "core/member_path.hpp"

namespace tavrin_core::space_utils {

using namespace spaces;  // the kinds of space, and the array and value names they use
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::KeyError;
using tavrin_inference::TypeError;

namespace {

constexpr const char* kConvert = "convert_sim_sensors_to_tavrin_sensors";

// The sensors as (name, space) pairs: the sim space's entries, or the orchestration's sensors.
// Calls fn(name, space) for every sensor entry (see sensor_entries) without building the list: the
// per-step conversion walks them this way.
template <class Fn>
void for_each_sensor_entry(const SpacePtr& sim_sensor_space, const std::vector<SensorPtr>& sensors, const char* op,
                           Fn&& fn) {
  if (sim_sensor_space) {
    const auto* dict = spaces::space_as<Dict>(*sim_sensor_space);
    if (dict == nullptr) {
      throw TypeError(std::string(op) + ": the simulator's sensor space must be a Dict, got " +
                      sim_sensor_space->str());
    }
    for (const auto& [name, space] : dict->spaces()) fn(name, space);
    return;
  }
  for (const auto& s : sensors) {  // all checked before the first entry is used
    if (!s || !s->space()) {
      throw InvalidArgumentError(std::string(op) + ": sensor '" + (s ? s->name() : std::string("?")) +
                                 "' has no space");
    }
  }
  for (const auto& s : sensors) fn(s->name(), s->space());
}

std::size_t sensor_entry_count(const SpacePtr& sim_sensor_space, const std::vector<SensorPtr>& sensors) {
  if (sim_sensor_space) {
    if (const auto* dict = spaces::space_as<Dict>(*sim_sensor_space)) return dict->spaces().size();
  }
  return sensors.size();
}

// The simulator's sensor entries when it has a sensor space (a Dict), else the orchestration's
// sensors; every sensor must have a space.
SpaceEntries sensor_entries(const SpacePtr& sim_sensor_space, const std::vector<SensorPtr>& sensors, const char* op) {
  SpaceEntries out;
  out.reserve(sensor_entry_count(sim_sensor_space, sensors));
  for_each_sensor_entry(sim_sensor_space, sensors, op,
                        [&](const std::string& name, const SpacePtr& space) { out.emplace_back(name, space); });
  return out;
}

// How many plain values a raw sample of `space` takes in a flat sensor list: one per element of a
// Box, MultiBinary or MultiDiscrete, one for a Discrete (its index, not a one-hot), the sum for
// Tuple and Dict.
std::int64_t raw_size(const Space& space) {
  if (const auto* t = spaces::space_as<Tuple>(space)) {
    std::int64_t n = 0;
    for (const auto& s : t->spaces()) n += raw_size(*s);
    return n;
  }
  if (const auto* d = spaces::space_as<Dict>(space)) {
    std::int64_t n = 0;
    for (const auto& [key, s] : d->spaces()) n += raw_size(*s);
    return n;
  }
  if (spaces::space_kind(space) == spaces::SpaceKind::discrete) return 1;
  if (const auto* md = spaces::space_as<spaces::MultiDiscrete>(space)) return md->nvec().size();
  return space.flat_size();
}

// Builds the sample of `space` from the next values of a flat list.
Value from_flat(const Space& space, const double*& cursor, const std::string& where) {
  if (const auto* t = spaces::space_as<Tuple>(space)) {
    std::vector<Value> items;
    items.reserve(t->spaces().size());
    for (std::size_t i = 0; i < t->spaces().size(); ++i) {
      items.push_back(from_flat(*t->spaces()[i], cursor, where + "[" + std::to_string(i) + "]"));
    }
    return Value::tuple(std::move(items));
  }
  if (const auto* d = spaces::space_as<Dict>(space)) {
    Map m;
    m.reserve(d->spaces().size());
    for (const auto& [key, s] : d->spaces()) m.set(key, from_flat(*s, cursor, member_path(where, key)));
    return Value(std::move(m));
  }
  const std::int64_t n = raw_size(space);
  std::vector<double> part(cursor, cursor + n);
  cursor += n;
  return space.coerce(Value(NdArray::from_vector(std::move(part))), where);
}

// Every number of a (nested) list or array, in order, as float64.
void append_numbers(const Value& v, std::vector<double>& out) {
  if (v.is_number()) {
    out.push_back(v.as_double());
  } else if (v.is_array()) {  // raw arrays are checked element by element, in row-major order
    const NdArray& a = v.as_array();
    for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.at_double(i));
  } else if (v.is_list()) {
    for (const Value& item : v.as_list().items) append_numbers(item, out);
  } else {
    throw TypeError(std::string(kConvert) + ": a flat sensor list holds numbers, got " + v.kind_name());
  }
}

// Coerces one raw sensor value; errors get the sensor's name in front. The name itself is handed
// down as `where`, so nothing is formatted unless something fails.
// A NaN or infinite sensor value would reach the models and make every logit NaN, and a NaN logit
// wins the choice whatever the mask says: such a step is refused, naming the sensor and the element
// (counted in row-major order over the raw value's numbers).
[[noreturn]] void refuse_non_finite(const std::string& name, std::int64_t element, double x) {
  throw InvalidArgumentError(std::string(kConvert) + ": sensor '" + name + "': element " + std::to_string(element) +
                             " is " + Value(x).str() + "; sensor values must be finite");
}

void require_finite(const Value& v, const std::string& name, std::int64_t& element) {
  if (v.is_float()) {
    if (!std::isfinite(v.as_double())) refuse_non_finite(name, element, v.as_double());
    ++element;
  } else if (v.is_array()) {
    const NdArray& a = v.as_array();
    visit_span(a, [&](const auto values) {
      if constexpr (std::is_floating_point_v<typename decltype(values)::value_type>) {
        for (std::size_t i = 0; i < values.size(); ++i) {
          if (!std::isfinite(values[i])) refuse_non_finite(name, element + static_cast<std::int64_t>(i), values[i]);
        }
      }
      element += static_cast<std::int64_t>(values.size());
    });
  } else if (v.is_list()) {
    for (const auto& item : v.as_list().items) require_finite(item, name, element);
  } else if (v.is_map()) {
    for (const auto& [key, item] : v.as_map()) require_finite(item, name, element);
  } else {
    ++element;
  }
}

Value coerce_sensor(const Space& space, const Value& raw, const std::string& name);

// Coerces one raw sensor value into `slot`. A Box sensor given as an array of the box's element type
// and shape is shared as it is (what coercion would give); one of another element type is converted
// into the slot's own elements when the slot already holds such an array that nothing else holds.
void coerce_sensor_into(const Space& space, const Value& raw, const std::string& name, Value& slot) {
  const auto* as_box = raw.is_array() ? spaces::space_as<Box>(space) : nullptr;
  if (as_box != nullptr) {
    const Box& box = *as_box;
    const NdArray& a = raw.as_array();
    if (a.size() == box.flat_size()) {
      if (a.dtype() == box.dtype() && a.shape() == box.shape()) {
        slot = raw;
        return;
      }
      if (slot.is_array()) {
        NdArray& own = slot.as_array();
        if (own.dtype() == box.dtype() && own.shape() == box.shape() && own.writable_in_place()) {
          own.assign(a);
          return;
        }
      }
    }
  }
  slot = coerce_sensor(space, raw, name);
}

Value coerce_sensor(const Space& space, const Value& raw, const std::string& name) {
  try {
    return space.coerce(raw, name);
  } catch (const InvalidArgumentError& e) {
    throw InvalidArgumentError(std::string(kConvert) + ": sensor " + e.what());
  } catch (const TypeError& e) {
    throw TypeError(std::string(kConvert) + ": sensor " + e.what());
  } catch (const KeyError& e) {
    throw KeyError(std::string(kConvert) + ": sensor " + e.what());
  }
}

}  // namespace

asio::awaitable<SpacePtr> get_tavrin_space_info(const SpacePtr& sim_sensor_space, const std::vector<SensorPtr>& sensors,
                                                const std::vector<PerceptorPtr>& /*perceptors*/,
                                                const std::vector<std::shared_ptr<Object>>& /*agent_groups*/) {
  SpaceEntries entries;
  if (sim_sensor_space) entries = sensor_entries(sim_sensor_space, sensors, "get_tavrin_space_info");
  for (const auto& s : sensors) {
    if (!s) continue;
    const bool present =
        std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.first == s->name(); });
    if (present) continue;
    if (!s->space()) throw InvalidArgumentError("get_tavrin_space_info: sensor '" + s->name() + "' has no space");
    entries.emplace_back(s->name(), s->space());
  }
  co_return std::make_shared<Dict>(std::move(entries));
}

void convert_sim_sensors_into(Value& out, const Value& sensors, const SpacePtr& sim_sensor_space,
                              const std::vector<SensorPtr>& orchestration_sensors) {
  if (sensors.is_map()) {
    const Map& raw = sensors.as_map();
    // The previous step's map is reused when it holds the same sensors in the same order.
    const std::size_t count = sensor_entry_count(sim_sensor_space, orchestration_sensors);
    bool reuse = out.is_map() && out.as_map().size() == count;
    if (reuse) {
      auto slot = out.as_map().begin();
      for_each_sensor_entry(
          sim_sensor_space, orchestration_sensors, kConvert,
          [&](const std::string& name, const SpacePtr&) { reuse = reuse && (slot++)->first == name; });
    }
    if (!reuse) {
      Map fresh;
      fresh.reserve(count);
      out = Value(std::move(fresh));
    }
    Map& converted = out.as_map();
    auto slot = converted.begin();
    for_each_sensor_entry(sim_sensor_space, orchestration_sensors, kConvert,
                          [&](const std::string& name, const SpacePtr& space) {
                            const Value* v = raw.find(name);
                            if (v == nullptr)
                              throw KeyError(std::string(kConvert) + ": sensor '" + name + "' is missing" +
                                             tavrin_inference::got_keys_suffix(name, raw));
                            std::int64_t element = 0;
                            require_finite(*v, name, element);  // before coercion, which would clamp an integer sensor
                            if (reuse) {
                              coerce_sensor_into(*space, *v, name, (slot++)->second);
                            } else {
                              converted.set(name, coerce_sensor(*space, *v, name));
                            }
                          });
    return;
  }
  Map fresh;
  fresh.reserve(sensor_entry_count(sim_sensor_space, orchestration_sensors));
  if (sensors.is_list() || sensors.is_array()) {
    std::int64_t expected = 0;
    for_each_sensor_entry(sim_sensor_space, orchestration_sensors, kConvert,
                          [&](const std::string&, const SpacePtr& space) { expected += raw_size(*space); });
    std::vector<double> flat;
    flat.reserve(static_cast<std::size_t>(expected));
    append_numbers(sensors, flat);
    if (static_cast<std::int64_t>(flat.size()) != expected) {
      throw InvalidArgumentError(std::string(kConvert) + ": expected " + std::to_string(expected) +
                                 " sensor values, got " + std::to_string(flat.size()));
    }
    const double* cursor = flat.data();
    for_each_sensor_entry(sim_sensor_space, orchestration_sensors, kConvert,
                          [&](const std::string& name, const SpacePtr& space) {
                            const std::int64_t n = raw_size(*space);
                            for (std::int64_t i = 0; i < n; ++i) {
                              if (!std::isfinite(cursor[i])) refuse_non_finite(name, i, cursor[i]);
                            }
                            try {
                              fresh.set(name, from_flat(*space, cursor, name));
                            } catch (const InvalidArgumentError& e) {
                              throw InvalidArgumentError(std::string(kConvert) + ": sensor " + e.what());
                            }
                          });
  } else {
    // The sensor entries are checked first, as for the other forms.
    for_each_sensor_entry(sim_sensor_space, orchestration_sensors, kConvert,
                          [](const std::string&, const SpacePtr&) {});
    throw TypeError(std::string(kConvert) + ": expected a map of sensor values or a flat list, got " +
                    sensors.kind_name());
  }
  out = Value(std::move(fresh));
}

asio::awaitable<Value> convert_sim_sensors_to_tavrin_sensors(
    const Value& sensors, const SpacePtr& sim_sensor_space, const std::vector<SensorPtr>& orchestration_sensors,
    const std::vector<PerceptorPtr>& perceptors, const std::vector<std::shared_ptr<Object>>& /*agent_groups*/) {
  Value sample;
  convert_sim_sensors_into(sample, sensors, sim_sensor_space, orchestration_sensors);
  for (const auto& perceptor : perceptors) {
    if (!perceptor) continue;
    Value derived = co_await perceptor->perceive(sample);
    if (derived.is_none()) continue;
    if (!derived.is_map()) {
      throw TypeError(std::string(kConvert) + ": perceptor " + perceptor->class_name() +
                      " must return a map of sensor values, got " + derived.kind_name());
    }
    Map& m = sample.as_map();
    for (auto& [name, value] : derived.as_map()) m.set(name, std::move(value));
  }
  co_return sample;
}

}  // namespace tavrin_core::space_utils
