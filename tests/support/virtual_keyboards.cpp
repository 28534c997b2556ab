#include "support/virtual_keyboards.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace qen::testing {
namespace {

using namespace std::chrono_literals;

const std::string vkbdPath = QEN_VKBD_PATH;
const std::string runnerPath = QEN_VKBD_RUNNER;

bool canRun(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string readAnswer(int fd) {
  std::string answer;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') answer += c;
  return answer;
}

}  // namespace

std::optional<std::string> VirtualKeyboards::unavailableReason() {
  static const std::optional<std::string> reason = []() -> std::optional<std::string> {
    if (geteuid() != 0) return "virtual keyboards need root (FUSE mounts, mount namespaces)";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no /dev/fuse";
    if (vkbdPath.empty() || access(vkbdPath.c_str(), X_OK) != 0) return "vkbd was not built";
    if (!canRun("unshare --mount true 2>/dev/null")) return "no mount namespaces here";
    return std::nullopt;
  }();
  return reason;
}

VirtualKeyboards::VirtualKeyboards() {
  char pattern[] = "/tmp/qen-vkbd.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  workDirectory_ = pattern;
  mountDirectory_ = workDirectory_ + "/input";
  socketPath_ = workDirectory_ + "/control";
  std::filesystem::create_directory(mountDirectory_);
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    dup2(ready[1], 1);
    int log = open((workDirectory_ + "/vkbd.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    dup2(log, 2);
    execl(vkbdPath.c_str(), vkbdPath.c_str(), mountDirectory_.c_str(), socketPath_.c_str(),
          nullptr);
    _exit(127);
  }
  close(ready[1]);
  auto answer = readAnswer(ready[0]);
  close(ready[0]);
  if (answer != "ready") throw std::runtime_error("vkbd did not start");
  connection_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath_.copy(address.sun_path, sizeof address.sun_path - 1);
  if (connect(connection_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to vkbd");
  }
}

VirtualKeyboards::~VirtualKeyboards() {
  close(connection_);
  kill(pid_, SIGTERM);  // vkbd unmounts on SIGTERM
  waitpid(pid_, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(workDirectory_, ignored);
}

std::string VirtualKeyboards::send(const std::string& line) {
  std::string request = line + "\n";
  if (write(connection_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    return "error: write failed";
  }
  return readAnswer(connection_);
}

std::vector<std::string> VirtualKeyboards::runWithInput(std::vector<std::string> program,
                                                        bool noInputDirectory,
                                                        bool withoutReadOverride) const {
  std::vector<std::string> argv{runnerPath, noInputDirectory ? "--none" : mountDirectory_};
  if (withoutReadOverride) {
    for (const char* word : {"setpriv", "--inh-caps=-dac_override,-dac_read_search",
                             "--bounding-set=-dac_override,-dac_read_search", "--"}) {
      argv.push_back(word);
    }
  }
  argv.insert(argv.end(), program.begin(), program.end());
  return argv;
}

bool waitUntilIdle(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream syscallFile(path);
    if (!syscallFile) return false;  // the process is gone
    long number = -1;
    syscallFile >> number;  // "running" reads as no number
#ifdef SYS_epoll_wait
    if (number == SYS_epoll_wait) return true;
#endif
    if (number == SYS_epoll_pwait) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

}  // namespace qen::testing
