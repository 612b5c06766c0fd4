#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "host_process.h"

namespace velmora::testing {
namespace {

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp,
// session.
struct ProcessStat {
  char state = '?';
  pid_t parent = 0;
  pid_t session = 0;
};

ProcessStat statOf(pid_t pid) {
  const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  pid_t group;
  ProcessStat result;
  rest >> result.state >> result.parent >> group >> result.session;
  return result;
}

bool waitUntil(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + kTimeout;
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

TEST(HostLaunchTest, CommandStartsTheApplicationThreeLevelsUpDetached) {
  Sandbox sandbox;
  std::ofstream(sandbox.appRunRecord().string() + ".hold") << "";
  HostProcess host(sandbox);
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(
      host.send(R"({"action":"command","command":"saveCurrent","url":"https://a.example/"})"));
  EXPECT_EQ(host.readReply(), R"({"ok":true,"message":"Tab wird in Nelo gespeichert"})");

  // The first child is reaped before the reply: nothing is left to the host.
  const auto children =
      "/proc/" + std::to_string(host.pid()) + "/task/" + std::to_string(host.pid()) + "/children";
  if (std::filesystem::exists(children)) {
    EXPECT_EQ(readText(children), "");
  }

  const auto record = sandbox.waitForAppRunRecord();
  ASSERT_TRUE(record) << "AppRun did not run";
  pid_t app = 0;
  int args = -1;
  std::istringstream(*record) >> app >> args;
  ASSERT_GT(app, 0) << *record;
  EXPECT_EQ(args, 0);

  // Once it is a plain process asleep, its descriptors are exactly what it
  // inherited (while it starts up it opens and closes libraries).
  const auto proc = std::filesystem::path("/proc") / std::to_string(app);
  std::set<std::string> descriptors;
  const bool asleep = waitUntil([&] {
    if (readText(proc / "comm") != "sleep\n" || statOf(app).state != 'S') return false;
    descriptors.clear();
    for (const auto& fd : std::filesystem::directory_iterator(proc / "fd")) {
      std::error_code ec;
      const auto target = std::filesystem::read_symlink(fd.path(), ec);
      if (ec) return false;
      descriptors.insert(fd.path().filename().string() + " -> " + target.string());
    }
    return true;
  });
  EXPECT_TRUE(asleep);
  // The host ignores SIGPIPE for itself; the application must not inherit
  // that, nor a blocked signal.
  const std::string status = readText(proc / "status");
  const auto maskOf = [&](const std::string& name) {
    const auto at = status.find("\n" + name + ":\t");
    return at == std::string::npos ? ~0ull
                                   : std::stoull(status.substr(at + name.size() + 3), nullptr, 16);
  };
  EXPECT_EQ(maskOf("SigIgn") & (1ull << (SIGPIPE - 1)), 0u) << status;
  EXPECT_EQ(maskOf("SigBlk"), 0u) << status;
  ::kill(app, SIGKILL);
  EXPECT_EQ(descriptors,
            (std::set<std::string>{"0 -> /dev/null", "1 -> /dev/null", "2 -> /dev/null"}));

  const ProcessStat stat = statOf(app);
  EXPECT_EQ(stat.session, app) << "not in a session of its own";
  EXPECT_NE(stat.parent, host.pid());

  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
}

// The reply does not wait for the launch, so it stays; the log says why
// Nelo never opened.
TEST(HostLaunchTest, ApplicationThatCannotRunIsLoggedAndTheReplyStays) {
  for (const bool missing : {true, false}) {
    Sandbox sandbox;
    if (missing) {
      std::filesystem::remove(sandbox.appRun());
    } else {
      std::filesystem::permissions(sandbox.appRun(), std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write);
    }
    HostProcess host(sandbox);
    ASSERT_TRUE(host.send(R"({"action":"command","command":"openApp"})"));
    EXPECT_EQ(host.readReply(), R"({"ok":true,"message":"Nelo wird geöffnet"})");
    host.closeInput();
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(host.stderrText(), "local.velmora[extension] error: Nelo nicht gestartet: cannot run " +
                                     sandbox.appRun().string() +
                                     (missing ? ": No such file or directory\n"
                                              : ": Permission denied\n"));
  }
}

}  // namespace
}  // namespace velmora::testing
