#include "support/x_server.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qen::testing {
namespace {

using namespace std::chrono_literals;

const std::string xkeysPath = QEN_XKEYS_PATH;

bool onPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A line from fd, or nothing when none comes within the time.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char c;
    if (read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

// One entry that fits every display of this machine (FamilyWild).
void writeCookie(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  char name[] = "MIT-MAGIC-COOKIE-1";
  char data[16];
  for (auto& byte : data) byte = static_cast<char>(std::rand());
  char empty[] = "";
  Xauth entry{};
  entry.family = FamilyWild;
  entry.address = empty;
  entry.number = empty;
  entry.name_length = static_cast<unsigned short>(std::strlen(name));
  entry.name = name;
  entry.data_length = sizeof data;
  entry.data = data;
  bool written = XauWriteAuth(file, &entry) == 1;
  std::fclose(file);
  if (!written) throw std::runtime_error("cannot write " + path);
}

bool waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

}  // namespace

std::optional<std::string> XServer::unavailableReason() {
  static const std::optional<std::string> reason = []() -> std::optional<std::string> {
    if (!onPath("Xvfb")) return "no Xvfb (Debian's xvfb)";
    if (xkeysPath.empty() || access(xkeysPath.c_str(), X_OK) != 0) return "xkeys was not built";
    return std::nullopt;
  }();
  return reason;
}

XServer::XServer(XServerOptions options) {
  char pattern[] = "/tmp/qen-xvfb.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  workDirectory_ = pattern;
  if (options.cookie) writeCookie(authorityFile());
  int displayNumber[2];
  if (pipe2(displayNumber, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  // Without GLX, whose loading is most of Xvfb's start.
  std::vector<std::string> argv{"Xvfb", "-displayfd", "3", "-noreset", "-extension", "GLX"};
  if (options.cookie) argv.insert(argv.end(), {"-auth", authorityFile()});
  if (options.listenTcp) argv.insert(argv.end(), {"-listen", "tcp"});
  std::vector<char*> args;  // made before fork(): no malloc after it
  for (auto& word : argv) args.push_back(word.data());
  args.push_back(nullptr);
  std::string logPath = workDirectory_ + "/xvfb.log";
  server_ = fork();
  if (server_ == 0) {
    dup2(displayNumber[1], 3);
    fcntl(3, F_SETFD, 0);  // also when the pipe was 3 already
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    dup2(log, 1);
    dup2(log, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(displayNumber[1]);
  auto number = readLine(displayNumber[0], 20s);
  close(displayNumber[0]);
  if (!number) throw std::runtime_error("Xvfb did not start: see " + workDirectory_ + "/xvfb.log");
  number_ = static_cast<unsigned>(std::stoul(*number));
  startKeys();
}

// Not ":" + std::to_string(): GCC 12 at -O3 (the benchmark build) warns of a
// memcpy overlap that cannot happen there.
std::string XServer::display() const {
  char text[16];
  std::snprintf(text, sizeof text, ":%u", number_);
  return text;
}

void XServer::startKeys() {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::string display = "DISPLAY=" + this->display();
  std::string authority = "XAUTHORITY=" + authorityFile();
  std::vector<char*> environment;  // made before fork(): no malloc after it
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "DISPLAY=", 8) != 0 && std::strncmp(*entry, "XAUTHORITY=", 11) != 0) {
      environment.push_back(*entry);
    }
  }
  environment.insert(environment.end(), {display.data(), authority.data(), nullptr});
  char* argv[] = {const_cast<char*>(xkeysPath.c_str()), nullptr};
  keys_ = fork();
  if (keys_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execve(argv[0], argv, environment.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toKeys_ = in[1];
  fromKeys_ = out[0];
  if (readLine(fromKeys_, 10s) != "ready") throw std::runtime_error("xkeys did not start");
}

XServer::~XServer() {
  if (toKeys_ >= 0) close(toKeys_);  // xkeys ends at the end of its input
  if (fromKeys_ >= 0) close(fromKeys_);
  if (keys_ > 0) {
    ::kill(keys_, SIGTERM);
    waitpid(keys_, nullptr, 0);
  }
  if (server_ > 0) {
    ::kill(server_, SIGCONT);  // a stopped one could not end
    ::kill(server_, SIGTERM);
    if (!waitForExit(server_, 5s)) kill();
  }
  std::error_code ignored;
  std::filesystem::remove_all(workDirectory_, ignored);
}

std::string XServer::send(const std::string& line) {
  post(line);
  return answer();
}

void XServer::post(const std::string& line) {
  std::string request = line + "\n";
  if (write(toKeys_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    throw std::runtime_error("xkeys is gone");
  }
}

std::string XServer::answer() { return readLine(fromKeys_, 10s).value_or("error: no answer"); }

// What a server killed this way cannot remove itself goes too.
void XServer::kill() {
  if (server_ <= 0) return;
  ::kill(server_, SIGKILL);
  waitpid(server_, nullptr, 0);
  server_ = -1;
  std::error_code ignored;
  std::filesystem::remove("/tmp/.X" + std::to_string(number_) + "-lock", ignored);
  std::filesystem::remove("/tmp/.X11-unix/X" + std::to_string(number_), ignored);
}

void XServer::stop() { ::kill(server_, SIGSTOP); }
void XServer::resume() { ::kill(server_, SIGCONT); }

std::optional<int> x11Keycode(const std::string& key) {
  static const std::map<std::string, int> keycodes = {
      {"a", 38},          {"space", 65},   {"leftshift", 50}, {"leftctrl", 37},
      {"rightctrl", 105}, {"leftalt", 64}, {"rightalt", 108}, {"leftmeta", 133},
      {"rightmeta", 134}, {"f13", 191},    {"f14", 192},      {"f20", 198}};
  auto found = keycodes.find(key);
  if (found == keycodes.end()) return std::nullopt;
  return found->second;
}

}  // namespace qen::testing
