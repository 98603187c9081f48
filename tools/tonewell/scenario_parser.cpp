#include <yaml-cpp/yaml.h>

#include <fmt/format.h>

#include <cmath>
#include <regex>
#include <set>

#include "scenario.h"

namespace tonewell {

using platform::Array;
using platform::Dictionary;
using platform::Value;

std::string ScenarioError::message() const {
  return fmt::format("{}:{}:{}: {}", file, line, column, cause);
}

int argumentCount(const std::string& selector) {
  if (selector == "playRingtoneAtPath:vibrationPattern:") return 2;
  if (selector == "playRingtoneAtPath:") return 1;
  if (selector == "prepareToAnswerCall" || selector == "stopRinging") return 0;
  return -1;
}

namespace {

// Thrown inside the parser only, caught at its edge and turned into a ScenarioError.
struct Invalid {
  YAML::Mark mark;
  std::string cause;
};

[[noreturn]] void fail(const YAML::Node& node, std::string cause) {
  throw Invalid{node.Mark(), std::move(cause)};
}

const char* kindOf(const YAML::Node& node) {
  switch (node.Type()) {
    case YAML::NodeType::Null:
      return "nothing";
    case YAML::NodeType::Scalar:
      return "a scalar";
    case YAML::NodeType::Sequence:
      return "a list";
    case YAML::NodeType::Map:
      return "a mapping";
    default:
      return "an undefined value";
  }
}

bool isPlain(const YAML::Node& node) {
  return node.Tag() != "!";
}

std::optional<bool> asBool(const YAML::Node& node) {
  if (!node.IsScalar() || !isPlain(node)) return std::nullopt;
  static const std::set<std::string> yes{"true", "True", "TRUE"}, no{"false", "False", "FALSE"};
  if (yes.count(node.Scalar())) return true;
  if (no.count(node.Scalar())) return false;
  return std::nullopt;
}

std::optional<std::int64_t> asInteger(const YAML::Node& node) {
  if (!node.IsScalar() || !isPlain(node)) return std::nullopt;
  static const std::regex integer("[-+]?[0-9]+");
  if (!std::regex_match(node.Scalar(), integer)) return std::nullopt;
  try {
    return std::stoll(node.Scalar());
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<double> asReal(const YAML::Node& node) {
  if (!node.IsScalar() || !isPlain(node)) return std::nullopt;
  const std::string& s = node.Scalar();
  static const std::regex real("[-+]?(\\.[0-9]+|[0-9]+(\\.[0-9]*)?)([eE][-+]?[0-9]+)?");
  if (std::regex_match(s, real)) {
    try {
      return std::stod(s);
    } catch (...) {
      return s.find_first_of("eE") != std::string::npos ? HUGE_VAL : 0.0;
    }
  }
  if (s == ".inf" || s == "+.inf" || s == ".Inf") return HUGE_VAL;
  if (s == "-.inf" || s == "-.Inf") return -HUGE_VAL;
  if (s == ".nan" || s == ".NaN") return NAN;
  return std::nullopt;
}

double number(const YAML::Node& node, const std::string& what) {
  auto value = asReal(node);
  if (!value) fail(node, fmt::format("{} must be a number, not {}", what, kindOf(node)));
  if (!std::isfinite(*value)) fail(node, fmt::format("{} must be a finite number", what));
  return *value;
}

double numberIn(const YAML::Node& node, const std::string& what, double low, double high) {
  const double value = number(node, what);
  if (value < low || value > high) {
    fail(node, fmt::format("{} must be from {} to {}, not {}", what, low, high, value));
  }
  return value;
}

double positive(const YAML::Node& node, const std::string& what) {
  const double value = number(node, what);
  if (value <= 0) fail(node, fmt::format("{} must be greater than 0", what));
  return value;
}

bool boolean(const YAML::Node& node, const std::string& what) {
  auto value = asBool(node);
  if (!value) fail(node, fmt::format("{} must be true or false", what));
  return *value;
}

std::string text(const YAML::Node& node, const std::string& what) {
  if (!node.IsScalar()) fail(node, fmt::format("{} must be a text, not {}", what, kindOf(node)));
  return node.Scalar();
}

const YAML::Node& mapping(const YAML::Node& node, const std::string& what) {
  if (!node.IsMap()) fail(node, fmt::format("{} must be a mapping, not {}", what, kindOf(node)));
  return node;
}

const YAML::Node& sequence(const YAML::Node& node, const std::string& what) {
  if (!node.IsSequence()) fail(node, fmt::format("{} must be a list, not {}", what, kindOf(node)));
  return node;
}

// Refuses keys of `node` that are not in `allowed`.
void checkKeys(const YAML::Node& node, const std::string& where,
               std::initializer_list<const char*> allowed) {
  for (const auto& item : node) {
    const std::string key = item.first.Scalar();
    bool known = false;
    for (const char* a : allowed) known = known || key == a;
    if (!known) {
      std::string list;
      for (const char* a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
      fail(item.first, fmt::format("unknown key \"{}\" in {} (allowed: {})", key, where, list));
    }
  }
}

Value toValue(const YAML::Node& node) {
  switch (node.Type()) {
    case YAML::NodeType::Scalar: {
      if (auto b = asBool(node)) return Value(*b);
      if (auto i = asInteger(node)) return Value(*i);
      if (auto r = asReal(node)) return Value(*r);
      return Value(node.Scalar());
    }
    case YAML::NodeType::Sequence: {
      Array array;
      for (const auto& item : node) array.push_back(toValue(item));
      return Value(std::move(array));
    }
    case YAML::NodeType::Map: {
      Dictionary dictionary;
      for (const auto& item : node) {
        if (!item.first.IsScalar()) fail(item.first, "a key must be a text");
        dictionary.setObjectForKey(toValue(item.second), item.first.Scalar());
      }
      return Value(std::move(dictionary));
    }
    default:
      fail(node, "a value is missing here (null is not a property-list value)");
  }
}

Dictionary toDictionary(const YAML::Node& node, const std::string& what) {
  mapping(node, what);
  return *toValue(node).getIf<Dictionary>();
}

sim::CameraFault cameraFault(const YAML::Node& node, const std::string& what) {
  static const std::pair<const char*, sim::CameraFault> names[] = {
      {"present", sim::CameraFault::none},
      {"missing", sim::CameraFault::missing},
      {"lockRefused", sim::CameraFault::lockRefused},
      {"inputFails", sim::CameraFault::inputFails},
      {"inputRefused", sim::CameraFault::inputRefused},
      {"outputRefused", sim::CameraFault::outputRefused}};
  const std::string name = text(node, what);
  for (const auto& [n, fault] : names) {
    if (name == n) return fault;
  }
  fail(node, fmt::format("{} must be one of present, missing, lockRefused, inputFails, "
                         "inputRefused, outputRefused; not \"{}\"",
                         what, name));
}

sim::ExifMode exifMode(const YAML::Node& node) {
  const std::string name = text(node, "exif");
  if (name == "normal") return sim::ExifMode::normal;
  if (name == "missing") return sim::ExifMode::missing;
  if (name == "noBrightness") return sim::ExifMode::noBrightness;
  if (name == "notANumber") return sim::ExifMode::notANumber;
  fail(node,
       fmt::format("exif must be one of normal, missing, noBrightness, notANumber; not \"{}\"",
                   name));
}

DeviceSetup parseDevice(const YAML::Node& node) {
  mapping(node, "device");
  checkKeys(node, "device",
            {"ringtoneVolume", "frontCamera", "backCamera", "frameInterval",
             "accelerometerInterval", "volumeReadFails"});
  DeviceSetup device;
  if (auto n = node["ringtoneVolume"]) {
    device.ringtoneVolume = static_cast<float>(numberIn(n, "ringtoneVolume", 0, 1));
  }
  if (auto n = node["frontCamera"]) device.frontCamera = cameraFault(n, "frontCamera");
  if (auto n = node["backCamera"]) device.backCamera = cameraFault(n, "backCamera");
  if (auto n = node["frameInterval"]) device.frameInterval = positive(n, "frameInterval");
  if (auto n = node["accelerometerInterval"]) {
    device.accelerometerInterval = positive(n, "accelerometerInterval");
  }
  if (auto n = node["volumeReadFails"]) device.volumeReadFails = boolean(n, "volumeReadFails");
  return device;
}

double timeOf(const YAML::Node& entry, double previous, const std::string& what) {
  const YAML::Node at = entry["at"];
  if (!at) fail(entry, fmt::format("{} needs \"at\", its time in seconds", what));
  const double t = number(at, "at");
  if (t < 0) fail(at, "at must not be negative");
  if (t < previous) {
    fail(at, fmt::format("time {} goes backwards (the entry before is at {})", t, previous));
  }
  return t;
}

std::vector<WorldEntry> parseWorld(const YAML::Node& node) {
  sequence(node, "world");
  std::vector<WorldEntry> world;
  double previous = 0;
  for (const auto& item : node) {
    mapping(item, "a world entry");
    checkKeys(item, "a world entry",
              {"at", "brightness", "frontBrightness", "backBrightness", "exif", "acceleration"});
    WorldEntry entry;
    entry.at = previous = timeOf(item, previous, "a world entry");
    if (auto n = item["brightness"]) entry.brightness = number(n, "brightness");
    if (auto n = item["frontBrightness"]) entry.frontBrightness = number(n, "frontBrightness");
    if (auto n = item["backBrightness"]) entry.backBrightness = number(n, "backBrightness");
    if (auto n = item["exif"]) entry.exif = exifMode(n);
    if (auto n = item["acceleration"]) {
      if (n.IsNull()) {
        entry.acceleration = std::optional<platform::CMAcceleration>{};
      } else {
        sequence(n, "acceleration");
        if (n.size() != 3) fail(n, "acceleration must be [x, y, z] in g, or null");
        entry.acceleration =
            platform::CMAcceleration{number(n[0], "x"), number(n[1], "y"), number(n[2], "z")};
      }
    }
    world.push_back(entry);
  }
  return world;
}

HostCall parseCall(const YAML::Node& item) {
  const YAML::Node callNode = item["call"];
  HostCall call{text(callNode, "call"), {}};
  const int expected = argumentCount(call.selector);
  if (expected < 0) {
    fail(callNode,
         fmt::format("unknown call \"{}\" (allowed: playRingtoneAtPath:vibrationPattern:, "
                     "playRingtoneAtPath:, prepareToAnswerCall, stopRinging)",
                     call.selector));
  }
  if (auto args = item["args"]) {
    sequence(args, "args");
    if (static_cast<int>(args.size()) != expected) {
      fail(args, fmt::format("{} takes {} argument{}, not {}", call.selector, expected,
                             expected == 1 ? "" : "s", args.size()));
    }
    for (const auto& arg : args) call.arguments.push_back(toValue(arg));
  } else {
    // Without args, a ringtone plays from the default path with the default pattern.
    if (expected >= 1) call.arguments.push_back(Value("/Library/Ringtones/Opening.m4r"));
    if (expected == 2) {
      Dictionary pattern;
      pattern.setObjectForKey(Value(Array{Value(1), Value(0.5)}), "VibePattern");
      call.arguments.push_back(Value(pattern));
    }
  }
  return call;
}

std::vector<Event> parseEvents(const YAML::Node& node) {
  sequence(node, "events");
  std::vector<Event> events;
  double previous = 0;
  for (const auto& item : node) {
    mapping(item, "an event");
    checkKeys(item, "an event",
              {"at", "call", "args", "setPreferences", "removePreferences", "setRingtoneVolume",
               "notify", "userInfo", "host"});
    Event event;
    event.at = previous = timeOf(item, previous, "an event");
    int actions = 0;
    for (const char* key :
         {"call", "setPreferences", "removePreferences", "setRingtoneVolume", "notify", "host"}) {
      actions += item[key] ? 1 : 0;
    }
    if (actions != 1) {
      fail(item,
           "an event takes exactly one of call, setPreferences, removePreferences, "
           "setRingtoneVolume, notify, host");
    }
    if (item["args"] && !item["call"]) fail(item["args"], "args belongs to a call");
    if (item["userInfo"] && !item["notify"]) fail(item["userInfo"], "userInfo belongs to notify");
    if (item["call"]) {
      event.action = parseCall(item);
    } else if (item["setPreferences"]) {
      event.action = SetPreferences{toDictionary(item["setPreferences"], "setPreferences")};
    } else if (const YAML::Node keys = item["removePreferences"]) {
      sequence(keys, "removePreferences");
      RemovePreferences remove;
      for (const auto& key : keys) remove.keys.push_back(text(key, "a key to remove"));
      event.action = remove;
    } else if (const YAML::Node volume = item["setRingtoneVolume"]) {
      event.action =
          SetRingtoneVolume{static_cast<float>(numberIn(volume, "setRingtoneVolume", 0, 1))};
    } else if (const YAML::Node host = item["host"]) {
      const std::string what = text(host, "host");
      if (what != "respring") fail(host, fmt::format("host must be respring, not \"{}\"", what));
      event.action = Respring{};
    } else if (const YAML::Node name = item["notify"]) {
      Notify notify{text(name, "notify"), std::nullopt};
      if (auto info = item["userInfo"]) notify.userInfo = toDictionary(info, "userInfo");
      event.action = notify;
    }
    events.push_back(std::move(event));
  }
  return events;
}

}  // namespace

std::variant<Scenario, ScenarioError> parseScenario(const std::string& source,
                                                    const std::string& file) {
  auto error = [&](const YAML::Mark& mark, std::string cause) {
    const bool known = mark.line >= 0;
    return ScenarioError{file, known ? mark.line + 1 : 1, known ? mark.column + 1 : 1,
                         std::move(cause)};
  };
  try {
    const YAML::Node root = YAML::Load(source);
    if (!root.IsMap())
      fail(root, fmt::format("a scenario must be a mapping, not {}", kindOf(root)));
    checkKeys(root, "the scenario", {"name", "preferences", "device", "world", "events", "until"});
    Scenario scenario;
    if (auto n = root["name"]) scenario.name = text(n, "name");
    if (auto n = root["preferences"]) scenario.preferences = toDictionary(n, "preferences");
    if (auto n = root["device"]) scenario.device = parseDevice(n);
    if (auto n = root["world"]) scenario.world = parseWorld(n);
    if (auto n = root["events"]) scenario.events = parseEvents(n);
    double last = 0;
    if (!scenario.world.empty()) last = std::max(last, scenario.world.back().at);
    if (!scenario.events.empty()) last = std::max(last, scenario.events.back().at);
    scenario.until = last + 100;
    if (auto n = root["until"]) {
      scenario.until = number(n, "until");
      if (scenario.until < last) {
        fail(n, fmt::format("until {} comes before the last entry, at {}", scenario.until, last));
      }
    }
    return scenario;
  } catch (const Invalid& invalid) {
    return error(invalid.mark, invalid.cause);
  } catch (const YAML::ParserException& e) {
    return error(e.mark, "not valid YAML: " + e.msg);
  } catch (const YAML::Exception& e) {
    return error(e.mark, e.msg);
  }
}

}  // namespace tonewell
