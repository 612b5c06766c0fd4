#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/temporary_directory.h"

extern char** environ;

// For tests that start the built host: a temporary directory holding the
// data home and an application bundle with a copy of the host inside, and
// the running host process with pipes on its stdin and stdout. Every wait is
// bounded.
//
// With VELMORA_TEST_HOST_EXE set, the host is that Windows program, run
// under Wine (in the WINEPREFIX of the caller, whose Local AppData the
// prefix's registry names as %VELMORA_LOCALAPPDATA%: scripts/test.sh), and
// VELMORA_TEST_APP_EXE is copied in as the application's Nelo.exe.
namespace velmora::testing {

using Clock = std::chrono::steady_clock;
inline constexpr auto kTimeout = std::chrono::seconds(20);

// The Windows host under test, if any.
inline const char* windowsHost() {
  const char* host = std::getenv("VELMORA_TEST_HOST_EXE");
  return host != nullptr && *host != '\0' ? host : nullptr;
}

// How Wine names a path of this machine: on its drive Z:.
inline std::string wineName(const std::filesystem::path& path) {
  std::string name = "Z:" + path.string();
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  return name;
}

inline std::string readText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// <root>/data is XDG_DATA_HOME; <root>/App.AppDir/Contents/PlugIns/
// velmora-extension/velmora-extension is the host; <root>/App.AppDir/AppRun
// only writes its process id and argument count to <root>/apprun.txt.
class Sandbox {
 public:
  Sandbox() {
    std::filesystem::create_directories(dataHome());
    const auto extension = root_ / "App.AppDir" / "Contents" / "PlugIns" / "velmora-extension";
    std::filesystem::create_directories(extension);
    if (windowsHost() != nullptr) {
      std::filesystem::copy_file(windowsHost(), host());
      if (const char* app = std::getenv("VELMORA_TEST_APP_EXE")) {
        std::filesystem::copy_file(app, root_ / "App.AppDir" / "Nelo.exe");
      }
    } else {
      std::filesystem::copy_file(VELMORA_HOST_PATH, host());
    }
    // When asked to, it stays alive as a plain process with exactly what it
    // inherited, for the test to look at.
    std::ofstream(appRun()) << "#!/bin/sh\n"
                            << "r='" << appRunRecord().string() << "'\n"
                            << "echo \"$$ $#\" > \"$r.tmp\"\n"
                            << "mv \"$r.tmp\" \"$r\"\n"
                            << "if [ -e \"$r.hold\" ]; then exec sleep 10; fi\n";
    std::filesystem::permissions(appRun(), std::filesystem::perms::owner_all);
  }
  // An AppRun that the host launched may still be writing its record while
  // the directory is removed, which then stays behind with that record;
  // removing again until nothing is left outlasts it.
  ~Sandbox() {
    const auto deadline = Clock::now() + kTimeout;
    std::error_code ignored;
    while (std::filesystem::remove_all(root_, ignored), std::filesystem::exists(root_, ignored) &&
                                                            Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path dataHome() const { return root_ / "data"; }
  std::filesystem::path storage() const { return dataHome() / "Velmora"; }
  std::filesystem::path appRun() const { return root_ / "App.AppDir" / "AppRun"; }
  std::filesystem::path appRunRecord() const { return root_ / "apprun.txt"; }
  std::filesystem::path host() const {
    return root_ / "App.AppDir" / "Contents" / "PlugIns" / "velmora-extension" /
           (windowsHost() != nullptr ? "velmora-extension.exe" : "velmora-extension");
  }

  // The record AppRun wrote, waiting for it up to the timeout.
  std::optional<std::string> waitForAppRunRecord() const {
    const auto deadline = Clock::now() + kTimeout;
    while (Clock::now() < deadline) {
      if (std::filesystem::exists(appRunRecord())) return readText(appRunRecord());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
  }

 private:
  TemporaryDirectory directory_{"velmora-host"};
  std::filesystem::path root_ = directory_.path();
};

inline std::string frame(std::string_view body) {
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  bytes.append(body);
  return bytes;
}

class HostProcess {
 public:
  // `input`, when given, is the host's stdin in place of our pipe.
  explicit HostProcess(const Sandbox& sandbox, std::vector<std::string> args = {}, int input = -1)
      : stderrFile_(sandbox.root() / "stderr.txt") {
    ::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    const int err = ::open(stderrFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input >= 0 ? input : in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);

    const std::string hostPath = sandbox.host().string();
    std::vector<std::string> argStrings{hostPath};
    if (windowsHost() != nullptr) argStrings.insert(argStrings.begin(), "wine");
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      if (!entry.starts_with("XDG_DATA_HOME=") && !entry.starts_with("VELMORA_LOCALAPPDATA=")) {
        envStrings.emplace_back(entry);
      }
    }
    envStrings.push_back("XDG_DATA_HOME=" + sandbox.dataHome().string());
    envStrings.push_back("VELMORA_LOCALAPPDATA=" + wineName(sandbox.dataHome()));
    std::vector<char*> envp;
    for (auto& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err);
    stdin_ = in[1];
    stdout_ = out[0];
  }

  ~HostProcess() {
    closeInput();
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int ignored;
      ::waitpid(pid_, &ignored, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
  }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Writes raw bytes to the host's stdin.
  bool write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  bool send(std::string_view json) { return write(frame(json)); }

  void closeInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

  // The body of the next reply frame; none when stdout ended first or the
  // timeout passed.
  std::optional<std::string> readReply() {
    const auto deadline = Clock::now() + kTimeout;
    std::string header;
    if (!readExactly(header, 4, deadline)) return std::nullopt;
    std::uint32_t length = 0;
    std::memcpy(&length, header.data(), 4);
    std::string body;
    if (!readExactly(body, length, deadline)) return std::nullopt;
    return body;
  }

  // Everything left on stdout until it ends.
  std::string readRest() {
    std::string rest;
    readExactly(rest, SIZE_MAX, Clock::now() + kTimeout);
    return rest;
  }

  // The exit status, after waiting up to the timeout; none when the process
  // did not exit normally in time.
  std::optional<int> wait() {
    const auto deadline = Clock::now() + kTimeout;
    while (!status_ && pid_ > 0) {
      int raw = 0;
      const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
      if (done == pid_) {
        status_ = raw;
        break;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }

  // What the host wrote to stderr so far.
  std::string stderrText() const { return readText(stderrFile_); }

 private:
  bool readExactly(std::string& into, std::size_t size, Clock::time_point deadline) {
    char buffer[65536];
    while (into.size() < size) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t n = ::read(stdout_, buffer, std::min(sizeof buffer, size - into.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      into.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  std::filesystem::path stderrFile_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::optional<int> status_;
};

}  // namespace velmora::testing
