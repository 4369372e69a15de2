#include "chrome_trace.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace korvan::run {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kRunnerPrefix = "inference_summary_";
constexpr const char* kSessionPrefix = "cpu_inference_summary_";
constexpr const char* kDeviceLog = "record_timer_subgraph_cpu_ts.json";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "123 ns" (or a plain number) -> 123.
std::optional<std::int64_t> nanoseconds(const json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  std::int64_t n = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc()) return std::nullopt;
  const std::string rest(ptr, text.data() + text.size());
  if (!rest.empty() && rest != " ns") return std::nullopt;
  return n;
}

std::optional<json> readJson(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  json doc = json::parse(in, nullptr, false);
  if (doc.is_discarded()) return std::nullopt;
  return doc;
}

// Runner files are named after "<model>_<partition>"; the partition is the
// text after the last underscore.
std::string runnerSource(const std::string& stem) {
  const std::string rest = stem.substr(std::string(kRunnerPrefix).size());
  const auto cut = rest.rfind('_');
  if (cut == std::string::npos) return "runner " + rest;
  return "runner " + rest.substr(0, cut) + " partition " + rest.substr(cut + 1);
}

void readSummary(const json& doc, const std::string& source, ProfileRecords& out) {
  if (!doc.is_array()) {
    ++out.skipped;
    return;
  }
  for (std::size_t run = 0; run < doc.size(); ++run) {
    const json& element = doc[run];
    if (element.is_null()) continue;
    if (!element.is_object()) {
      ++out.skipped;
      continue;
    }
    for (const auto& [label, list] : element.items()) {
      if (!list.is_array()) {
        ++out.skipped;
        continue;
      }
      for (const auto& entry : list) {
        if (!entry.is_object() || !entry.contains("start") || !entry.contains("end")) {
          ++out.skipped;
          continue;
        }
        const auto start = nanoseconds(entry["start"]);
        const auto end = nanoseconds(entry["end"]);
        if (!start || !end || *end < *start) {
          ++out.skipped;
          continue;
        }
        ProfiledInterval interval{source, label, run, *start, *end, {}};
        if (const auto sections = entry.find("sections");
            sections != entry.end() && sections->is_object())
          for (const auto& [name, total] : sections->items())
            if (const auto ns = nanoseconds(total)) interval.sectionsNs[name] = *ns;
        out.intervals.push_back(std::move(interval));
      }
    }
  }
}

void readDeviceLog(const json& doc, ProfileRecords& out) {
  if (!doc.is_object()) {
    ++out.skipped;
    return;
  }
  for (const char* kind : {"context_init", "execution"}) {
    const auto list = doc.find(kind);
    if (list == doc.end() || !list->is_array()) continue;
    for (const auto& event : *list) {
      if (!event.is_object()) {
        ++out.skipped;
        continue;
      }
      const auto ts = event.contains("timestamp") ? nanoseconds(event["timestamp"]) : std::nullopt;
      if (!ts) {
        ++out.skipped;
        continue;
      }
      out.deviceEvents.push_back({kind, event.value("subgraph_name", std::string()),
                                  event.value("cluster_id", std::string()), *ts});
    }
  }
}

double micros(std::int64_t ns) {
  return static_cast<double>(ns) / 1000.0;
}

}  // namespace

bool isProfileFileName(const std::string& name) {
  return name == kDeviceLog ||
         ((startsWith(name, kRunnerPrefix) || startsWith(name, kSessionPrefix)) &&
          endsWith(name, ".json"));
}

ProfileRecords readProfileRecords(const fs::path& directory) {
  ProfileRecords out;
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(directory, ec))
    if (entry.is_regular_file() && isProfileFileName(entry.path().filename().string()))
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const std::string name = file.filename().string();
    const auto doc = readJson(file);
    if (!doc) {
      ++out.skipped;
      continue;
    }
    out.files.push_back(file);
    if (name == kDeviceLog) {
      readDeviceLog(*doc, out);
    } else if (startsWith(name, kSessionPrefix)) {
      const std::string stem = file.stem().string();
      readSummary(*doc, "session " + stem.substr(std::string(kSessionPrefix).size()), out);
    } else {
      readSummary(*doc, runnerSource(file.stem().string()), out);
    }
  }
  return out;
}

std::vector<StageTimes> stageTimes(const ProfileRecords& records) {
  std::vector<StageTimes> stages;
  for (const auto& interval : records.intervals) {
    auto found = std::find_if(stages.begin(), stages.end(), [&](const StageTimes& s) {
      return s.source == interval.source && s.label == interval.label;
    });
    if (found == stages.end()) {
      stages.push_back({interval.source, interval.label, {}, {}});
      found = stages.end() - 1;
    }
    found->durationsUs.push_back(micros(interval.endNs - interval.startNs));
    for (const auto& [name, ns] : interval.sectionsNs)
      found->sectionsUs[name].push_back(micros(ns));
  }
  return stages;
}

json chromeTrace(const ProfileRecords& records, std::optional<std::int64_t> beginEpochNs) {
  json events = json::array();
  std::map<std::string, int> pids;
  auto pidOf = [&](const std::string& source) {
    const auto found = pids.find(source);
    if (found != pids.end()) return found->second;
    const int pid = static_cast<int>(pids.size()) + 1;
    pids[source] = pid;
    events.push_back({{"name", "process_name"},
                      {"ph", "M"},
                      {"pid", pid},
                      {"tid", 0},
                      {"args", {{"name", source}}}});
    return pid;
  };

  // Each label gets its own track; intervals that overlap (concurrent
  // inferences) spill onto further tracks of that label.
  std::vector<const ProfiledInterval*> ordered;
  for (const auto& interval : records.intervals) ordered.push_back(&interval);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto* a, const auto* b) { return a->startNs < b->startNs; });
  std::map<std::pair<int, std::string>, std::vector<std::pair<int, std::int64_t>>> lanes;
  int nextTid = 1;
  for (const auto* interval : ordered) {
    const int pid = pidOf(interval->source);
    auto& labelLanes = lanes[{pid, interval->label}];
    int tid = -1;
    for (auto& [laneTid, laneEnd] : labelLanes)
      if (laneEnd <= interval->startNs) {
        tid = laneTid;
        laneEnd = interval->endNs;
        break;
      }
    if (tid < 0) {
      tid = nextTid++;
      const std::string name =
          labelLanes.empty() ? interval->label
                             : interval->label + " (" + std::to_string(labelLanes.size() + 1) + ")";
      labelLanes.emplace_back(tid, interval->endNs);
      events.push_back({{"name", "thread_name"},
                        {"ph", "M"},
                        {"pid", pid},
                        {"tid", tid},
                        {"args", {{"name", name}}}});
    }
    json args = {{"run", interval->run}};
    if (!interval->sectionsNs.empty()) {
      json sections = json::object();
      for (const auto& [name, ns] : interval->sectionsNs) sections[name + " (us)"] = micros(ns);
      args["sections"] = sections;
    }
    events.push_back({{"name", interval->label},
                      {"cat", interval->source.rfind("session", 0) == 0 ? "session" : "runner"},
                      {"ph", "X"},
                      {"ts", micros(interval->startNs)},
                      {"dur", micros(interval->endNs - interval->startNs)},
                      {"pid", pid},
                      {"tid", tid},
                      {"args", args}});
  }

  if (beginEpochNs) {
    const int pid = pidOf("device log");
    for (const auto& event : records.deviceEvents)
      events.push_back({{"name", event.kind + " " + event.model + " partition " + event.cluster},
                        {"cat", "device"},
                        {"ph", "i"},
                        {"s", "p"},
                        {"ts", micros(event.epochNs - *beginEpochNs)},
                        {"pid", pid},
                        {"tid", 0}});
  }
  return {{"traceEvents", events}, {"displayTimeUnit", "ms"}};
}

}  // namespace korvan::run
