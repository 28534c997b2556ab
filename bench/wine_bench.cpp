// The Windows helper under Wine beside its floor, a bare hook that writes one
// byte per key event (bench/floor/hook_floor.c), in rounds taken in turn
// under the same wineserver, with keys sent by winkeys (SendInput):
// - key-to-line latency: from the key's command to winkeys to the helper's
//   toggle line, or to the floor's byte;
// - CPU per key event: the process's threads' time on a CPU (schedstat),
//   over a run of presses and releases of Right Ctrl;
// - context switches over an idle spell after start-up (goal: none).
//   wine_bench [--quick] --output DIR     -> DIR/wine.json, and a table on stdout
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"

namespace {

using qen::testing::HelperProcess;
using qen::testing::SpawnOptions;
using Clock = std::chrono::steady_clock;

const std::string top = QEN_SOURCE_DIR;
const std::string tree = top + "/build-windows/x64";

std::vector<std::string> underWine(std::vector<std::string> program) {
  program.insert(program.begin(), top + "/tests/windows/wine.sh");
  return program;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> threads(pid_t pid) {
  std::vector<std::string> found;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* tasks = opendir(dir.c_str())) {
    while (dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] != '.') found.push_back(dir + "/" + entry->d_name);
    }
    closedir(tasks);
  }
  return found;
}

// Nanoseconds on a CPU, all threads.
double cpuNanoseconds(pid_t pid) {
  double total = 0;
  for (const auto& thread : threads(pid))
    total += std::atof(readFile(thread + "/schedstat").c_str());
  return total;
}

long contextSwitches(pid_t pid) {
  long total = 0;
  for (const auto& thread : threads(pid)) {
    auto status = readFile(thread + "/status");
    for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
      auto at = status.find(key);
      if (at != std::string::npos) total += std::atol(status.c_str() + at + std::strlen(key));
    }
  }
  return total;
}

class Keys {
 public:
  Keys()
      : process_(underWine({tree + "/tools/winkeys/winkeys.exe"}),
                 SpawnOptions{.inputPipe = true}) {}
  void send(const std::string& line) {
    process_.writeStandardInput(line + "\n");
    if (process_.readLine(std::chrono::seconds(10)).value_or("") != "ok") {
      throw std::runtime_error("winkeys refused " + line);
    }
  }
  // Writes the line without waiting for the answer, which comes later.
  void post(const std::string& line) { process_.writeStandardInput(line + "\n"); }
  void answered() { process_.readLine(std::chrono::seconds(10)); }

 private:
  HelperProcess process_;
};

struct Subject {
  std::string name;
  std::vector<std::string> command;
  bool lines;  // the helper writes lines (one per press); the floor a byte per event
};

struct Figures {
  std::vector<double> latencyMs;
  std::vector<double> cpuPerEventUs;
  std::vector<long> idleSwitches;
};

// Waits for what the subject writes for one press: a toggle line, or a byte.
bool awaitOutput(HelperProcess& process, bool lines) {
  if (lines) return process.readLine(std::chrono::seconds(10)).has_value();
  return process.readBytes(1, std::chrono::seconds(10));
}

void round(const Subject& subject, Keys& keys, Figures& figures, int presses, double idleSeconds) {
  HelperProcess process(underWine(subject.command));
  if (!process.readLine(std::chrono::seconds(30)))
    throw std::runtime_error(subject.name + " did not start");
  pid_t pid = process.pid();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // what start-up left settles
  long before = contextSwitches(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  figures.idleSwitches.push_back(contextSwitches(pid) - before);
  auto release = [&] {
    keys.send("release rightctrl");
    if (!subject.lines) process.readBytes(1, std::chrono::seconds(10));
  };
  for (int i = 0; i < 10; ++i) {  // warm-up
    keys.send("press rightctrl");
    awaitOutput(process, subject.lines);
    release();
  }
  double cpuBefore = cpuNanoseconds(pid);
  for (int i = 0; i < presses; ++i) {
    auto sent = Clock::now();
    keys.post("press rightctrl");
    if (!awaitOutput(process, subject.lines))
      throw std::runtime_error(subject.name + " wrote nothing");
    figures.latencyMs.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    keys.answered();
    release();
  }
  figures.cpuPerEventUs.push_back((cpuNanoseconds(pid) - cpuBefore) / 1000.0 / (2.0 * presses));
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string output = "bench-results";
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--quick") quick = true;
    if (argument == "--output" && i + 1 < argc) output = argv[++i];
  }
  int rounds = quick ? 1 : 5;
  int presses = quick ? 20 : 200;
  double idle = quick ? 1.0 : 10.0;
  std::vector<Subject> subjects = {
      {"floor (bare hook)", {tree + "/bench/hook_floor.exe"}, false},
      {"qen-hotkey-helper.exe",
       {tree + "/qen-hotkey-helper.exe", "--shortcut", "fn", "--fn-key", "rightctrl"},
       true}};
  Keys keys;
  std::map<std::string, Figures> figures;
  for (int r = 0; r < rounds; ++r) {
    for (const auto& subject : subjects) round(subject, keys, figures[subject.name], presses, idle);
  }
  nlohmann::json results = nlohmann::json::object();
  std::printf("%-24s %12s %12s %14s %18s\n", "Under Wine 8", "latency p50", "latency p90",
              "CPU per event", "idle switches");
  for (const auto& subject : subjects) {
    const auto& f = figures[subject.name];
    long switches = std::accumulate(f.idleSwitches.begin(), f.idleSwitches.end(), 0L);
    std::printf("%-24s %9.3f ms %9.3f ms %11.1f us %11ld in %.0f s\n", subject.name.c_str(),
                median(f.latencyMs), percentile(f.latencyMs, 0.9), median(f.cpuPerEventUs),
                switches, idle * rounds);
    results[subject.name] = {{"latencyMs", f.latencyMs},
                             {"cpuPerEventUs", f.cpuPerEventUs},
                             {"idleContextSwitches", f.idleSwitches},
                             {"idleSeconds", idle}};
  }
  std::ofstream(output + "/wine.json") << results.dump(1) << "\n";
  return 0;
}
