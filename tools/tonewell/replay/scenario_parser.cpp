#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>

#include "scenario.h"
#include "utf8_text.h"
#include "yaml_document.h"

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
  yaml::Mark mark;
  std::string cause;
};

[[noreturn]] void fail(const yaml::Node& node, std::string cause) {
  throw Invalid{node.GetMark(), std::move(cause)};
}

// The longest time a scenario may name: a year, which the phone's clock holds exactly.
constexpr double kLongestTime = 365.0 * 24 * 3600;
// The most values a scenario may hold beyond its own nodes: aliases could otherwise expand a
// small file into billions of them.
constexpr std::size_t kMostValues = 1'000'000;

// What a scalar looks like, scanned in one pass (no backtracking, whatever its length).
bool digitsAt(const std::string& s, std::size_t& i) {
  const std::size_t start = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i > start;
}

bool looksLikeInteger(const std::string& s) {
  std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  return digitsAt(s, i) && i == s.size();
}

// [-+]? (.digits | digits(.digits?)?) ([eE][-+]?digits)?
bool looksLikeReal(const std::string& s) {
  std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digitsAt(s, i)) return false;
  } else {
    if (!digitsAt(s, i)) return false;
    if (i < s.size() && s[i] == '.') {
      ++i;
      digitsAt(s, i);
    }
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digitsAt(s, i)) return false;
  }
  return i == s.size();
}

// from_chars takes no leading '+'.
const char* afterPlus(const std::string& s) {
  return !s.empty() && s[0] == '+' ? s.data() + 1 : s.data();
}

const char* kindOf(const yaml::Node& node) {
  switch (node.Type()) {
    case yaml::NodeType::Null:
      return "nothing";
    case yaml::NodeType::Scalar:
      return "a scalar";
    case yaml::NodeType::Sequence:
      return "a list";
    case yaml::NodeType::Map:
      return "a mapping";
    default:
      return "an undefined value";
  }
}

bool isPlain(const yaml::Node& node) {
  return node.Tag() != "!";
}

std::optional<bool> asBool(const yaml::Node& node) {
  if (!node.IsScalar() || !isPlain(node)) return std::nullopt;
  static const std::set<std::string> yes{"true", "True", "TRUE"}, no{"false", "False", "FALSE"};
  if (yes.count(node.Scalar())) return true;
  if (no.count(node.Scalar())) return false;
  return std::nullopt;
}

std::optional<std::int64_t> asInteger(const yaml::Node& node) {
  if (!node.IsScalar() || !isPlain(node)) return std::nullopt;
  const std::string& s = node.Scalar();
  if (!looksLikeInteger(s)) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(afterPlus(s), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;  // read as a real
  return value;
}

std::optional<double> asReal(const yaml::Node& node) {
  if (!node.IsScalar() || !isPlain(node)) return std::nullopt;
  const std::string& s = node.Scalar();
  if (looksLikeReal(s)) {
    double value = 0;
    const auto [end, ec] = std::from_chars(afterPlus(s), s.data() + s.size(), value);
    if (ec == std::errc::result_out_of_range) {
      fail(node, "the number " + (s.size() > 40 ? s.substr(0, 40) + "..." : s) +
                     " is out of range (beyond what a double holds, or closer to 0 than one)");
    }
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
  }
  if (s == ".inf" || s == "+.inf" || s == ".Inf") return HUGE_VAL;
  if (s == "-.inf" || s == "-.Inf") return -HUGE_VAL;
  if (s == ".nan" || s == ".NaN") return NAN;
  return std::nullopt;
}

double number(const yaml::Node& node, const std::string& what) {
  auto value = asReal(node);
  if (!value) fail(node, fmt::format("{} must be a number, not {}", what, kindOf(node)));
  if (!std::isfinite(*value)) fail(node, fmt::format("{} must be a finite number", what));
  return *value;
}

double numberIn(const yaml::Node& node, const std::string& what, double low, double high) {
  const double value = number(node, what);
  if (value < low || value > high) {
    fail(node, fmt::format("{} must be from {} to {}, not {}", what, low, high, value));
  }
  return value;
}

double positive(const yaml::Node& node, const std::string& what) {
  const double value = number(node, what);
  if (value <= 0) fail(node, fmt::format("{} must be greater than 0", what));
  if (value > kLongestTime) {
    fail(node, fmt::format("{} must be at most a year ({} s)", what, kLongestTime));
  }
  return value;
}

bool boolean(const yaml::Node& node, const std::string& what) {
  auto value = asBool(node);
  if (!value) fail(node, fmt::format("{} must be true or false", what));
  return *value;
}

std::string text(const yaml::Node& node, const std::string& what) {
  if (!node.IsScalar()) fail(node, fmt::format("{} must be a text, not {}", what, kindOf(node)));
  return node.Scalar();
}

const yaml::Node& mapping(const yaml::Node& node, const std::string& what) {
  if (!node.IsMap()) fail(node, fmt::format("{} must be a mapping, not {}", what, kindOf(node)));
  return node;
}

const yaml::Node& sequence(const yaml::Node& node, const std::string& what) {
  if (!node.IsSequence()) fail(node, fmt::format("{} must be a list, not {}", what, kindOf(node)));
  return node;
}

// Refuses keys of `node` that are not in `allowed`.
void checkKeys(const yaml::Node& node, const std::string& where,
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

// How many more values this scenario may hold (see kMostValues).
thread_local std::size_t valuesLeft = kMostValues;
constexpr int kDeepest = 256;

Value toValue(const yaml::Node& node, int depth = 0) {
  if (valuesLeft == 0) {
    fail(node, fmt::format("aliases expand the scenario to more than {} values beyond its own",
                           kMostValues));
  }
  --valuesLeft;
  if (depth > kDeepest) fail(node, fmt::format("values nest more than {} deep", kDeepest));
  switch (node.Type()) {
    case yaml::NodeType::Scalar: {
      if (auto b = asBool(node)) return Value(*b);
      if (auto i = asInteger(node)) return Value(*i);
      if (auto r = asReal(node)) return Value(*r);
      return Value(node.Scalar());
    }
    case yaml::NodeType::Sequence: {
      Array array;
      for (const auto& item : node) array.push_back(toValue(item, depth + 1));
      return Value(std::move(array));
    }
    case yaml::NodeType::Map: {
      Dictionary dictionary;
      for (const auto& item : node) {
        if (!item.first.IsScalar()) fail(item.first, "a key must be a text");
        dictionary.setObjectForKey(toValue(item.second, depth + 1), item.first.Scalar());
      }
      return Value(std::move(dictionary));
    }
    default:
      fail(node, "a value is missing here (null is not a property-list value)");
  }
}

Dictionary toDictionary(const yaml::Node& node, const std::string& what) {
  mapping(node, what);
  return *toValue(node).getIf<Dictionary>();
}

// One of `names` (the simulated phone's own list), or a refusal listing them.
template <typename T, std::size_t N>
T named(const yaml::Node& node, const std::string& what,
        const std::pair<std::string_view, T> (&names)[N]) {
  const std::string name = text(node, what);
  std::string list;
  for (const auto& [n, value] : names) {
    if (name == n) return value;
    list += (list.empty() ? "" : ", ") + std::string(n);
  }
  fail(node, fmt::format("{} must be one of {}; not \"{}\"", what, list, name));
}

sim::CameraFault cameraFault(const yaml::Node& node, const std::string& what) {
  return named(node, what, sim::kCameraFaultNames);
}

sim::ExifMode exifMode(const yaml::Node& node) {
  return named(node, "exif", sim::kExifModeNames);
}

DeviceSetup parseDevice(const yaml::Node& node) {
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

double timeOf(const yaml::Node& entry, double previous, const std::string& what) {
  const yaml::Node at = entry["at"];
  if (!at) fail(entry, fmt::format("{} needs \"at\", its time in seconds", what));
  const double t = number(at, "at");
  if (t < 0) fail(at, "at must not be negative");
  if (t > kLongestTime) fail(at, fmt::format("at must be at most a year ({} s)", kLongestTime));
  if (t < previous) {
    fail(at, fmt::format("time {} goes backwards (the entry before is at {})", t, previous));
  }
  return t;
}

std::vector<WorldEntry> parseWorld(const yaml::Node& node) {
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

HostCall parseCall(const yaml::Node& item) {
  const yaml::Node callNode = item["call"];
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

std::vector<Event> parseEvents(const yaml::Node& node) {
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
    } else if (const yaml::Node keys = item["removePreferences"]) {
      sequence(keys, "removePreferences");
      RemovePreferences remove;
      for (const auto& key : keys) remove.keys.push_back(text(key, "a key to remove"));
      event.action = remove;
    } else if (const yaml::Node volume = item["setRingtoneVolume"]) {
      event.action =
          SetRingtoneVolume{static_cast<float>(numberIn(volume, "setRingtoneVolume", 0, 1))};
    } else if (const yaml::Node host = item["host"]) {
      const std::string what = text(host, "host");
      if (what != "respring") fail(host, fmt::format("host must be respring, not \"{}\"", what));
      event.action = Respring{};
    } else if (const yaml::Node name = item["notify"]) {
      Notify notify{text(name, "notify"), std::nullopt};
      if (auto info = item["userInfo"]) notify.userInfo = toDictionary(info, "userInfo");
      event.action = notify;
    }
    events.push_back(std::move(event));
  }
  return events;
}

// Where the text first stops being UTF-8: its mark, and the byte in the cause.
struct BadByte : yaml::Mark {
  std::string cause;
};

std::optional<BadByte> firstInvalidUtf8(const std::string& text) {
  const char* const begin = text.data();
  const char* const bad = utf8::find_invalid(begin, begin + text.size());
  if (bad == begin + text.size()) return std::nullopt;
  // Columns count characters, as the YAML reader's marks do.
  const std::string_view before(begin, static_cast<std::size_t>(bad - begin));
  const std::size_t lineStart = before.rfind('\n');
  const char* const from = lineStart == std::string_view::npos ? begin : begin + lineStart + 1;
  BadByte found;
  found.line = static_cast<int>(std::count(before.begin(), before.end(), '\n'));
  found.column = static_cast<int>(utf8::unchecked::distance(from, bad));
  found.cause = fmt::format("0x{:02x}", static_cast<unsigned char>(*bad));
  return found;
}

}  // namespace

std::variant<Scenario, ScenarioError> parseScenario(const std::string& source,
                                                    const std::string& file) {
  auto error = [&](const yaml::Mark& mark, std::string cause) {
    const bool known = mark.line >= 0;
    return ScenarioError{file, known ? mark.line + 1 : 1, known ? mark.column + 1 : 1,
                         std::move(cause)};
  };
  if (auto bad = firstInvalidUtf8(source))
    return error(*bad, "not valid UTF-8 (a byte " + bad->cause + ")");
  try {
    auto [document, parseError] = yaml::Document::parse(source);
    if (!document) return error(parseError.mark, "not valid YAML: " + parseError.message);
    valuesLeft = document->nodeCount() + kMostValues;
    const yaml::Node root = document->root();
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
    scenario.until = std::min(last + 100, kLongestTime);
    if (auto n = root["until"]) {
      scenario.until = number(n, "until");
      if (scenario.until > kLongestTime) {
        fail(n, fmt::format("until must be at most a year ({} s)", kLongestTime));
      }
      if (scenario.until < last) {
        fail(n, fmt::format("until {} comes before the last entry, at {}", scenario.until, last));
      }
    }
    return scenario;
  } catch (const Invalid& invalid) {
    return error(invalid.mark, invalid.cause);
  }
}

}  // namespace tonewell
