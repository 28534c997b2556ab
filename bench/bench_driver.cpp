// Measures the helper beside its floor and its peers on this machine:
// start-up, key-to-line latency, idle cost, memory and CPU per key event.
// Writes raw figures as JSON and latency samples for the plot.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "support/helper_process.h"
#include "support/virtual_keyboards.h"
#include "support/x_server.h"

namespace {

using namespace qen::testing;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

struct Settings {
  int startupRuns = 200;
  int latencyPresses = 2000;
  int idleSeconds = 30;
  long stormEvents = 1000000;
  int hostDeathTrials = 100;
  std::string output = "bench-results";
  std::string glibc217Helper;  // --glibc217 PATH: the shipped build, measured beside
  int x11Rounds = 10;          // the X11 source and its floor take turns this often
};

const std::string glibc217Name = "qen-hotkey-helper (glibc 2.17)";

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(index, samples.size() - 1)];
}

json summary(const std::vector<double>& samples) {
  return {{"median", percentile(samples, 0.5)},
          {"p90", percentile(samples, 0.9)},
          {"p99", percentile(samples, 0.99)},
          {"runs", samples.size()}};
}

std::map<std::string, long> procStatus(pid_t pid, const std::string& task = "") {
  std::string path =
      "/proc/" + std::to_string(pid) + (task.empty() ? "" : "/task/" + task) + "/status";
  std::ifstream file(path);
  std::map<std::string, long> values;
  for (std::string line; std::getline(file, line);) {
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    try {
      values[line.substr(0, colon)] = std::stol(line.substr(colon + 1));
    } catch (...) {
    }
  }
  return values;
}

long contextSwitches(pid_t pid) {
  long total = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    auto status = procStatus(pid, task.path().filename());
    total += status["voluntary_ctxt_switches"] + status["nonvoluntary_ctxt_switches"];
  }
  return total;
}

// Proportional set size: shared pages count in part, per process sharing them.
long pssKiB(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("Pss:", 0) == 0) return std::stol(line.substr(4));
  }
  return -1;
}

// User plus system CPU time of the whole process, in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
  return std::stol(values[11]) + std::stol(values[12]);  // utime, stime
}

// The clients that read the virtual keyboard, each with the line that shows
// a Space key-down. The peers write through stdio, so they get line buffering.
struct Client {
  std::string name;
  std::vector<std::string> command;
  std::string spaceLine;
  int startupLines;
};

std::vector<Client> clients(const Settings& settings, const std::string& floorPath) {
  std::vector<Client> all = {
      {"qen-hotkey-helper", {helperPath(), "--shortcut", "fn+space"}, "\"type\":\"toggle\"", 1},
      {"bare libevdev client (floor)", {floorPath, "/dev/input/event0"}, "space", 0},
      {"evtest", {"stdbuf", "-oL", "evtest", "/dev/input/event0"}, "(KEY_SPACE), value 1", 0},
      {"thd --dump", {"stdbuf", "-oL", "thd", "--dump", "/dev/input/event0"}, "KEY_SPACE\t1", 0},
  };
  if (!settings.glibc217Helper.empty()) {
    all.push_back({glibc217Name,
                   {settings.glibc217Helper, "--shortcut", "fn+space"},
                   "\"type\":\"toggle\"",
                   1});
  }
  return all;
}

bool available(const Client& client) {
  const auto& program = client.command[0] == "stdbuf" ? client.command[2] : client.command[0];
  return program[0] == '/' ? access(program.c_str(), X_OK) == 0
                           : std::system(("command -v " + program + " >/dev/null").c_str()) == 0;
}

std::unique_ptr<HelperProcess> startOnKeyboard(VirtualKeyboards& keyboards, const Client& client) {
  auto process = std::make_unique<HelperProcess>(keyboards.runWithInput(client.command));
  for (int i = 0; i < client.startupLines; ++i) process->readLine(10s);
  keyboards.send("wait event0 open");
  std::this_thread::sleep_for(200ms);  // let it finish opening before timing starts
  return process;
}

bool readUntil(HelperProcess& process, const std::string& needle) {
  while (auto line = process.readLine(5s)) {
    if (line->find(needle) != std::string::npos) return true;
  }
  return false;
}

// The helper and the floor take turns, so that a drift of the machine shows
// in both rather than as a ratio between them.
json measureStartup(const Settings& settings, const std::string& floorPath) {
  std::vector<std::pair<std::string, std::vector<std::string>>> programs = {
      {"qen-hotkey-helper", {helperPath(), "--shortcut", "fn+space"}},
      {"floor: write one line and wait", {floorPath}}};
  if (!settings.glibc217Helper.empty()) {
    programs.push_back({glibc217Name, {settings.glibc217Helper, "--shortcut", "fn+space"}});
  }
  std::map<std::string, std::vector<double>> samples;
  for (int run = 0; run < settings.startupRuns; ++run) {
    for (const auto& [name, argv] : programs) {
      auto begin = Clock::now();
      HelperProcess process(argv);
      if (!process.readLine(10s)) throw std::runtime_error(name + " wrote no line");
      samples[name].push_back(microseconds(Clock::now() - begin));
    }
  }
  json result;
  for (const auto& [name, figures] : samples) result[name] = summary(figures);
  return result;
}

// Each client in turn for a round of presses, over several rounds, so that a
// drift of the machine does not favour whoever happens to run first. Each
// sample runs from sending `trigger` to the client's line; `setUp` comes first.
std::map<std::string, std::vector<double>> timeInRounds(const Settings& settings,
                                                        const std::vector<Client>& measured,
                                                        const std::string& setUp,
                                                        const std::string& trigger) {
  constexpr int rounds = 10;
  VirtualKeyboards keyboards;
  keyboards.send("add event0");
  std::map<std::string, std::vector<double>> samples;
  for (int round = 0; round < rounds; ++round) {
    for (const auto& client : measured) {
      auto process = startOnKeyboard(keyboards, client);
      for (int press = 0; press < settings.latencyPresses / rounds; ++press) {
        keyboards.send(setUp);
        keyboards.send("wait event0");
        auto begin = Clock::now();
        keyboards.send(trigger);
        if (!readUntil(*process, client.spaceLine))
          throw std::runtime_error(client.name + " missed");
        samples[client.name].push_back(microseconds(Clock::now() - begin));
      }
    }
  }
  return samples;
}

json measureLatency(const Settings& settings, const std::string& floorPath) {
  std::vector<Client> measured;
  for (const auto& client : clients(settings, floorPath)) {
    if (available(client)) measured.push_back(client);
  }
  auto samples =
      timeInRounds(settings, measured, "release event0 space; release event0 fn; press event0 fn",
                   "press event0 space");
  json result;
  std::ofstream samplesFile(settings.output + "/latency.tsv");
  for (const auto& client : measured) {
    samplesFile << '"' << client.name << "\"\n";
    for (double sample : samples[client.name]) samplesFile << sample << '\n';
    samplesFile << "\n\n";  // a gnuplot data block per client
    result[client.name] = summary(samples[client.name]);
  }
  return result;
}

// Space let go after a toggle, to the "release" line, beside the floor's line
// for the same key-up.
json measureReleaseLatency(const Settings& settings, const std::string& floorPath) {
  const std::vector<Client> measured = {
      {"qen-hotkey-helper",
       {helperPath(), "--shortcut", "fn+space", "--report-release"},
       "\"type\":\"release\"",
       1},
      {"bare libevdev client (floor)", {floorPath, "/dev/input/event0", "up"}, "up", 0}};
  auto samples =
      timeInRounds(settings, measured, "release event0 fn; press event0 fn; press event0 space",
                   "release event0 space");
  json result;
  for (const auto& client : measured) result[client.name] = summary(samples[client.name]);
  return result;
}

json measureIdle(const Settings& settings) {
  VirtualKeyboards keyboards;
  keyboards.send("add event0");
  keyboards.send("add event1");
  HelperProcess helper(keyboards.runWithInput({helperPath(), "--shortcut", "fn+space"}));
  helper.readLine(10s);
  waitUntilIdle(helper.pid());
  std::this_thread::sleep_for(200ms);
  long switches = contextSwitches(helper.pid());
  long ticks = cpuTicks(helper.pid());
  std::this_thread::sleep_for(std::chrono::seconds(settings.idleSeconds));
  return {{"seconds", settings.idleSeconds},
          {"contextSwitches", contextSwitches(helper.pid()) - switches},
          {"cpuTicks", cpuTicks(helper.pid()) - ticks}};
}

// Batches of 60 key events, mostly other keys, paced so that no queue
// overflows; the client's output is read as it comes.
void storm(VirtualKeyboards& keyboards, HelperProcess& process, long batches) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) process.readLine(50ms);
  });
  for (long i = 0; i < batches; ++i) {
    keyboards.send("flood event0 15");  // 60 events
    keyboards.send("wait event0");
  }
  std::this_thread::sleep_for(300ms);
  done = true;
  reader.join();
}

// One million key events for each client.
json measureStorm(const Settings& settings, const std::string& floorPath) {
  json result;
  VirtualKeyboards keyboards;
  keyboards.send("add event0");
  const long batches = settings.stormEvents / 60;
  auto stormClients = clients(settings, floorPath);
  // Key-up monitors as well: every key-up is an event for the helper then.
  stormClients.push_back({"qen-hotkey-helper --report-release",
                          {helperPath(), "--shortcut", "fn+space", "--report-release"},
                          "\"type\":\"toggle\"",
                          1});
  for (const auto& client : stormClients) {
    if (!available(client)) continue;
    auto process = startOnKeyboard(keyboards, client);
    long startupHwm = procStatus(process->pid())["VmHWM"];
    long startupPss = pssKiB(process->pid());
    long ticksBefore = cpuTicks(process->pid());
    storm(keyboards, *process, batches);
    long ticks = cpuTicks(process->pid()) - ticksBefore;
    long afterHwm = procStatus(process->pid())["VmHWM"];
    double nsPerTick = 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
    result[client.name] = {{"events", batches * 60},
                           {"vmHwmAfterStartKiB", startupHwm},
                           {"pssAfterStartKiB", startupPss},
                           {"vmHwmAfterStormKiB", afterHwm},
                           {"cpuNsPerEvent", static_cast<double>(ticks) * nsPerTick /
                                                 static_cast<double>(batches * 60)}};
  }
  return result;
}

// CPU time of all the process's threads, from the scheduler's nanosecond count.
long long cpuNs(pid_t pid) {
  long long total = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    long long runNs = 0;
    std::ifstream(task.path() / "schedstat") >> runNs;
    total += runNs;
  }
  return total;
}

// Each client's nanoseconds over the events each was given.
json cpuPerEvent(const std::map<std::string, long long>& ns, long events) {
  json result;
  for (const auto& [name, total] : ns) {
    result[name] = {{"events", events},
                    {"cpuNsPerEvent", static_cast<double>(total) / static_cast<double>(events)}};
  }
  return result;
}

// The native and the glibc-2.17 builds within a few percent of each other
// need more than clock ticks over one storm each: they take turns over ten
// rounds of the storm, timed by the scheduler's nanoseconds.
json compareHelperCpu(const Settings& settings) {
  constexpr int rounds = 10;
  const std::vector<Client> helpers = {
      {"qen-hotkey-helper", {helperPath(), "--shortcut", "fn+space"}, "", 1},
      {glibc217Name, {settings.glibc217Helper, "--shortcut", "fn+space"}, "", 1}};
  VirtualKeyboards keyboards;
  keyboards.send("add event0");
  const long batches = settings.stormEvents / 60 / rounds;
  std::map<std::string, long long> ns;
  for (int round = 0; round < rounds; ++round) {
    for (const auto& helper : helpers) {
      auto process = startOnKeyboard(keyboards, helper);
      long long before = cpuNs(process->pid());
      storm(keyboards, *process, batches);
      ns[helper.name] += cpuNs(process->pid()) - before;
    }
  }
  return cpuPerEvent(ns, batches * 60 * rounds);
}

// The X11 source (no keyboard node, DISPLAY naming an Xvfb of its own) beside
// its floor, a bare X Input 2 client that selects the same raw key events.
struct X11Client {
  std::string name;
  std::vector<std::string> command;
  std::string spaceLine;
};

const std::string x11Helper = "qen-hotkey-helper (X11 source)";
const std::string x11Floor = "bare XI2 client (floor)";

std::vector<X11Client> x11Clients(const std::string& floorPath) {
  return {{x11Helper,
           {helperPath(), "--shortcut", "fn+space", "--fn-key", "rightctrl"},
           "\"type\":\"toggle\""},
          {x11Floor, {floorPath}, "space"}};
}

// Both write one start-up line: "ready", with the X source live.
std::unique_ptr<HelperProcess> startOnX11(VirtualKeyboards& keyboards, XServer& server,
                                          const X11Client& client) {
  SpawnOptions spawn;
  spawn.environment = {"DISPLAY=" + server.display()};
  auto process =
      std::make_unique<HelperProcess>(keyboards.runWithInput(client.command, true), spawn);
  auto ready = process->readLine(10s);
  if (!ready || ready->find("ready") == std::string::npos ||
      ready->find("false") != std::string::npos) {
    throw std::runtime_error(client.name + " did not start on X11");
  }
  waitUntilIdle(process->pid());
  return process;
}

// Each client in turn for a round of presses, as on the virtual keyboards,
// from XTEST's request to the client's line.
json measureX11Latency(const Settings& settings, VirtualKeyboards& keyboards, XServer& server,
                       const std::vector<X11Client>& clients) {
  std::map<std::string, std::vector<double>> samples;
  for (int round = 0; round < settings.x11Rounds; ++round) {
    for (const auto& client : clients) {
      auto process = startOnX11(keyboards, server, client);
      for (int press = 0; press < settings.latencyPresses / settings.x11Rounds; ++press) {
        server.send("release 65; release 105; press 105");
        waitUntilIdle(process->pid());
        auto begin = Clock::now();
        server.post("press 65");
        if (!readUntil(*process, client.spaceLine))
          throw std::runtime_error(client.name + " missed");
        samples[client.name].push_back(microseconds(Clock::now() - begin));
        server.answer();
      }
    }
  }
  json result;
  for (const auto& client : clients) result[client.name] = summary(samples[client.name]);
  return result;
}

// Rounds of a part of the storm each, the two taking turns, from the
// scheduler's nanoseconds. A batch is 58 events of A, then Fn's part let go
// and taken again and a Space press: the client's line for it says that it
// has read the whole batch, so that both wake as often.
json measureX11Cpu(const Settings& settings, VirtualKeyboards& keyboards, XServer& server,
                   const std::vector<X11Client>& clients) {
  constexpr long eventsPerBatch = 62;
  const int rounds = settings.x11Rounds;
  const long batches = settings.stormEvents / eventsPerBatch / rounds;
  std::map<std::string, long long> ns;
  for (int round = 0; round < rounds; ++round) {
    for (const auto& client : clients) {
      auto process = startOnX11(keyboards, server, client);
      server.send("press 105");
      waitUntilIdle(process->pid());
      long long before = cpuNs(process->pid());
      for (long i = 0; i < batches; ++i) {
        server.post("flood 29; release 105; press 105; press 65; release 65");
        if (!readUntil(*process, client.spaceLine))
          throw std::runtime_error(client.name + " missed");
        server.answer();
      }
      ns[client.name] += cpuNs(process->pid()) - before;
    }
  }
  return cpuPerEvent(ns, batches * eventsPerBatch * rounds);
}

// Both at once, idle: their context switches, CPU time and memory.
json measureX11Idle(const Settings& settings, VirtualKeyboards& keyboards, XServer& server,
                    const std::vector<X11Client>& clients) {
  std::vector<std::unique_ptr<HelperProcess>> processes;
  for (const auto& client : clients) processes.push_back(startOnX11(keyboards, server, client));
  std::this_thread::sleep_for(200ms);
  std::vector<long> switches, ticks;
  for (const auto& process : processes) {
    switches.push_back(contextSwitches(process->pid()));
    ticks.push_back(cpuTicks(process->pid()));
  }
  std::this_thread::sleep_for(std::chrono::seconds(settings.idleSeconds));
  json result;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    auto pid = processes[i]->pid();
    auto status = procStatus(pid);
    result[clients[i].name] = {{"seconds", settings.idleSeconds},
                               {"contextSwitches", contextSwitches(pid) - switches[i]},
                               {"cpuTicks", cpuTicks(pid) - ticks[i]},
                               {"vmRssKiB", status["VmRSS"]},
                               {"vmHwmKiB", status["VmHWM"]},
                               {"pssKiB", pssKiB(pid)}};
  }
  return result;
}

json measureX11(const Settings& settings, const std::string& floorPath) {
  if (auto reason = XServer::unavailableReason()) return {{"skipped", *reason}};
  VirtualKeyboards keyboards;  // only for its namespaces without /dev/input
  XServer server;
  auto clients = x11Clients(floorPath);
  json result;
  std::cerr << "X11: latency...\n";
  result["latency"] = measureX11Latency(settings, keyboards, server, clients);
  std::cerr << "X11: CPU per key event, in turns...\n";
  result["cpu"] = measureX11Cpu(settings, keyboards, server, clients);
  std::cerr << "X11: idle...\n";
  result["idle"] = measureX11Idle(settings, keyboards, server, clients);
  return result;
}

// A host that starts the helper and is killed with SIGKILL: the time from the
// kill to the helper's exit. We are the subreaper, so the orphan comes to us.
json measureHostDeath(int trials) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<double> samples;
  int orphansLeft = 0;
  for (int trial = 0; trial < trials; ++trial) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t host = fork();
    if (host == 0) {
      if (fork() == 0) {
        dup2(ready[1], 1);
        execl(helperPath().c_str(), helperPath().c_str(), "--shortcut", "fn", nullptr);
        _exit(127);
      }
      pause();
      _exit(0);
    }
    close(ready[1]);
    char first;
    if (read(ready[0], &first, 1) != 1) throw std::runtime_error("no ready line");
    std::this_thread::sleep_for(20ms);  // past start-up, into the main loop
    auto begin = Clock::now();
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    pid_t helper = -1;
    auto deadline = begin + 2s;
    while ((helper = waitpid(-1, nullptr, WNOHANG)) <= 0 && Clock::now() < deadline) {
    }
    if (helper > 0) {
      samples.push_back(microseconds(Clock::now() - begin));
    } else {
      ++orphansLeft;
    }
    close(ready[0]);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  json result = {{"trials", trials}, {"orphansLeft", orphansLeft}};
  if (!samples.empty()) {
    result["median"] = percentile(samples, 0.5);
    result["max"] = *std::max_element(samples.begin(), samples.end());
  }
  return result;
}

Settings parse(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      settings = {10, 40, 1, 12000, 10, settings.output, settings.glibc217Helper, 2};
    } else if (arg == "--output" && i + 1 < argc) {
      settings.output = argv[++i];
    } else if (arg == "--glibc217" && i + 1 < argc) {
      settings.glibc217Helper = argv[++i];
    }
  }
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  auto settings = parse(argc, argv);
  std::filesystem::create_directories(settings.output);
  const std::string floorDir = std::filesystem::path(argv[0]).parent_path();
  json results;
  results["settings"] = {{"startupRuns", settings.startupRuns},
                         {"hostDeathTrials", settings.hostDeathTrials},
                         {"latencyPresses", settings.latencyPresses},
                         {"idleSeconds", settings.idleSeconds},
                         {"stormEvents", settings.stormEvents}};
  std::cerr << "start-up...\n";
  results["startup"] = measureStartup(settings, floorDir + "/startup_floor");
  std::cerr << "host death...\n";
  results["hostDeath"] = measureHostDeath(settings.hostDeathTrials);
  if (auto reason = VirtualKeyboards::unavailableReason()) {
    results["skipped"] = "keyboard measurements: " + *reason;
  } else {
    std::cerr << "latency...\n";
    results["latency"] = measureLatency(settings, floorDir + "/evdev_floor");
    std::cerr << "release latency...\n";
    results["releaseLatency"] = measureReleaseLatency(settings, floorDir + "/evdev_floor");
    std::cerr << "idle...\n";
    results["idle"] = measureIdle(settings);
    std::cerr << "key storm...\n";
    results["storm"] = measureStorm(settings, floorDir + "/evdev_floor");
    if (!settings.glibc217Helper.empty()) {
      std::cerr << "CPU of both builds, in turns...\n";
      results["helperCpu"] = compareHelperCpu(settings);
    }
    results["x11"] = measureX11(settings, floorDir + "/xi2_floor");
  }
  results["binaries"] = {{"qen-hotkey-helper", helperPath()}};
  if (!settings.glibc217Helper.empty()) results["binaries"][glibc217Name] = settings.glibc217Helper;
  std::ofstream(settings.output + "/results.json") << results.dump(2) << '\n';
  std::cout << results.dump() << '\n';
}
