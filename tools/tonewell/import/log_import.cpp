#include "log_import.h"

#include <fmt/format.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <set>

#include "log_lines.h"
#include "monitor_message.h"
#include "ring_scenario.h"
#include "syslog_line.h"
#include "terminal_text.h"

namespace tonewell {
namespace {

namespace log_lines = monitor::log_lines;
using namespace monitor_message;

// A repeat line stands for at most this many lines, and all of them for at most the second.
constexpr long kMostRepeats = 10'000;
constexpr long kMostRepeatedLines = 200'000;
// Traditional stamps carry no year: a step back of more than half a year is the new year.
constexpr double kHalfAYear = 183 * 86400.0;
constexpr int kFirstAssumedYear = 2000;

// The lines of one SpringBoard process: one phone's, one process id's.
struct Process {
  std::string_view host;
  std::vector<MonitorLine> lines;
};

// A message as it was logged, when the log wrote it otherwise: over several lines (the phone's
// syslogd), or with its line breaks escaped (rsyslogd, which writes no level). None when the
// line's own text is the message.
std::optional<std::string> wholeMessage(const SyslogLine& line,
                                        const std::vector<std::string_view>& continuations) {
  std::optional<std::string> whole;
  if (!continuations.empty()) {
    whole.emplace(line.message);
    for (const std::string_view more : continuations) {
      *whole += '\n';
      *whole += more;
    }
  }
  if (line.level.empty()) {
    if (auto decoded = decodeEscapedControls(whole ? std::string_view(*whole) : line.message)) {
      whole = std::move(decoded);
    }
  }
  return whole;
}

// What the line before a repeat line was, for the repeat to stand for more of it.
enum class Counted { nothing, monitor, otherProcess, otherMessage };

// Reads a log into the monitor's lines of each SpringBoard process, and counts the other lines
// in `result`. The lines view the log and the messages put back together here: the reader
// outlives them.
class LogReader {
 public:
  LogReader(std::string_view text, LogImport& result) : text_(text), result_(result) {}

  // Every SpringBoard process, by phone and process id, in the order each first appears.
  std::vector<Process> read() {
    while (at_ < text_.size()) {
      const int lineNumber = ++result_.lines;
      auto line = nextLine();
      if (!line) continue;
      Previous& previous = previousOfHost_[line->host];
      if (line->repeated > 0) {
        repeat(*line, lineNumber, previous);
      } else {
        add(*line, lineNumber, previous);
      }
    }
    return std::move(processes_);
  }

 private:
  struct Previous {
    Counted counted = Counted::nothing;
    std::size_t process = 0;  // of a monitor line
  };

  // The next line with the lines that continue its message, read whole; none for a malformed
  // one (counted).
  std::optional<SyslogLine> nextLine() {
    std::size_t end = std::min(text_.find('\n', at_), text_.size());
    const std::string_view raw = text_.substr(at_, end - at_);
    at_ = end + 1;
    std::vector<std::string_view> continuations;
    while (at_ < text_.size() && continuesTheMessageBefore(text_.substr(at_, 1))) {
      end = std::min(text_.find('\n', at_), text_.size());
      std::string_view more = text_.substr(at_ + 1, end - at_ - 1);
      if (!more.empty() && more.back() == '\r') more.remove_suffix(1);
      continuations.push_back(more);
      at_ = end + 1;
      ++result_.lines;
    }
    auto line = parseSyslogLine(raw, year_);
    if (line && !hasYear(*line)) {
      if (anyTraditional_ && line->time < lastTraditional_ - kHalfAYear) {
        line = parseSyslogLine(raw, ++year_);
      }
      anyTraditional_ = true;
      lastTraditional_ = line->time;
    }
    if (!line) {
      result_.malformed += 1 + static_cast<int>(continuations.size());
      return std::nullopt;
    }
    if (auto whole = wholeMessage(*line, continuations)) {
      joinedMessages_.push_back(std::move(*whole));
      line->message = joinedMessages_.back();
    }
    return line;
  }

  // "--- last message repeated N times ---": the line before, of this phone, N times more.
  void repeat(const SyslogLine& line, int lineNumber, const Previous& previous) {
    const bool fits =
        line.repeated <= kMostRepeats && repeatedLines_ + line.repeated <= kMostRepeatedLines;
    switch (fits ? previous.counted : Counted::nothing) {
      case Counted::nothing:
        ++result_.malformed;
        break;
      case Counted::otherProcess:
        ++result_.otherProcesses;
        break;
      case Counted::otherMessage:
        ++result_.otherMessages;
        break;
      case Counted::monitor: {
        ++result_.monitorLines;
        repeatedLines_ += line.repeated;
        std::vector<MonitorLine>& lines = processes_[previous.process].lines;
        MonitorLine copy = lines.back();
        copy.number = lineNumber;
        copy.latest = line.time;
        lines.insert(lines.end(), static_cast<std::size_t>(line.repeated), copy);
        break;
      }
    }
  }

  void add(const SyslogLine& line, int lineNumber, Previous& previous) {
    if (line.process != "SpringBoard") {
      ++result_.otherProcesses;
      previous.counted = Counted::otherProcess;
      return;
    }
    Classified what = classify(line.message);
    if (what.kind == Kind::other && !startsWith(line.message, log_lines::kTag) &&
        !startsWith(line.message, log_lines::leadOf(log_lines::kStopRingingHook))) {
      ++result_.otherMessages;
      previous.counted = Counted::otherMessage;
      return;
    }
    ++result_.monitorLines;
    const auto [found, added] = processIndex_.try_emplace({line.host, line.pid}, processes_.size());
    if (added) processes_.push_back({line.host, {}});
    const int lineYear = hasYear(line) ? 0 : year_;
    processes_[found->second].lines.push_back({lineNumber, line, what, lineYear, line.time});
    previous = {Counted::monitor, found->second};
  }

  std::string_view text_;
  LogImport& result_;
  std::size_t at_ = 0;
  std::map<std::pair<std::string_view, long>, std::size_t> processIndex_;
  std::vector<Process> processes_;
  std::map<std::string_view, Previous> previousOfHost_;
  long repeatedLines_ = 0;
  // The messages that spanned lines or carried escapes, put back together; lines view them.
  std::deque<std::string> joinedMessages_;
  int year_ = kFirstAssumedYear;
  double lastTraditional_ = 0;
  bool anyTraditional_ = false;
};

// A ring found, before it is built.
struct Found {
  double time;
  RingLines lines;
  const MonitorLine* settingsBefore;
};

// When a ring that `process`'s own lines do not end went on in the phone's next SpringBoard (the
// next process of that phone begins after this one's last line), that process's lines up to its
// own first ringtone, after a restart.
void followIntoTheNextProcess(const std::vector<Process>& processes, std::size_t process,
                              RingLines& ring) {
  const std::vector<MonitorLine>& lines = processes[process].lines;
  for (std::size_t q = process + 1; q < processes.size(); ++q) {
    if (processes[q].host != processes[process].host) continue;
    if (processes[q].lines.front().number < lines.back().number) return;  // both alive
    ring.restarts.push_back(ring.lines.size());
    for (const MonitorLine& next : processes[q].lines) {
      if (next.what.kind == Kind::play) break;
      ring.lines.push_back(&next);
    }
    return;
  }
}

// Each process's rings, from one ringtone hook line to the next.
void findRings(const std::vector<Process>& processes, std::size_t p, std::vector<Found>& found) {
  const std::vector<MonitorLine>& lines = processes[p].lines;
  const MonitorLine* settingsBefore = nullptr;
  std::optional<std::size_t> start;
  for (std::size_t i = 0; i <= lines.size(); ++i) {
    const bool play = i < lines.size() && lines[i].what.kind == Kind::play;
    if ((play || i == lines.size()) && start) {
      Found ring{lines[*start].line.time, {}, settingsBefore};
      bool ended = false;
      for (std::size_t j = *start; j < i; ++j) {
        ring.lines.lines.push_back(&lines[j]);
        ended = ended || endsTheRing(lines[j].what);
        if (lines[j].what.kind == Kind::settings) settingsBefore = &lines[j];
      }
      if (!ended && i == lines.size()) followIntoTheNextProcess(processes, p, ring.lines);
      found.push_back(std::move(ring));
    }
    if (play) start = i;
    if (!start && i < lines.size() && lines[i].what.kind == Kind::settings) {
      settingsBefore = &lines[i];
    }
  }
}

}  // namespace

LogImport importLog(std::string_view text, const std::string& name) {
  LogImport result;
  LogReader reader(text, result);
  const std::vector<Process> processes = reader.read();
  std::vector<Found> found;
  for (std::size_t p = 0; p < processes.size(); ++p) findRings(processes, p, found);
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.time < b.time; });
  int number = 0;
  std::set<std::string_view> phones;
  for (const auto& f : found) {
    result.rings.push_back(buildRing(f.lines, f.settingsBefore, name, ++number));
    phones.insert(f.lines.lines.front()->line.host);
  }
  result.phones = static_cast<int>(phones.size());
  return result;
}

std::string describeOutcome(const LogOutcome& outcome, const char* source) {
  std::string text;
  auto list = [&](const char* what, const std::vector<double>& times) {
    if (times.empty()) return;
    text += text.empty() ? "" : ", ";
    text += what;
    for (std::size_t i = 0; i < times.size(); ++i) {
      text += fmt::format("{}{:.3f} s", i == 0 ? " at " : ", ", times[i]);
    }
  };
  list("raised", outcome.raises);
  list("restored", outcome.restores);
  if (text.empty()) text = "not raised";
  if (!outcome.end.empty()) {
    text += fmt::format("; ended by {} at {:.3f} s", outcome.end, outcome.endAt);
  } else if (outcome.cut) {
    text += fmt::format("; not ended {:.0f} s after it began, though the {} goes on", kLongestRing,
                        source);
  } else {
    text += fmt::format("; the {} ends at {:.3f} s before the ring does", source, outcome.endAt);
  }
  if (outcome.endsRaised) text += ", the volume still raised";
  if (outcome.cameraRunning) text += ", the camera still running";
  return text;
}

std::string describeSkipped(const LogImport& import) {
  const int skipped = import.otherProcesses + import.otherMessages + import.malformed;
  return fmt::format("{} line{} skipped: {} of other processes, {} other messages, {} malformed",
                     skipped, skipped == 1 ? "" : "s", import.otherProcesses, import.otherMessages,
                     import.malformed);
}

}  // namespace tonewell
