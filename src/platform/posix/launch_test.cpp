#include "platform/posix/launch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temporary_directory.h"

namespace velmora {
namespace {

namespace stdfs = std::filesystem;

// True when the process has no child left, running or zombie.
bool noChildren() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// Waits for a file that a detached process writes; the process is not ours to wait for.
std::string awaitFile(const stdfs::path& file) {
  for (int i = 0; i < 500 && !stdfs::exists(file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream in(file);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class WorkspaceTest : public ::testing::Test {
 protected:
  void writeAppRun(const stdfs::path& bundle, const std::string& body) {
    stdfs::create_directories(bundle);
    std::ofstream(bundle / "AppRun") << "#!/bin/sh\n" << body;
    stdfs::permissions(bundle / "AppRun", stdfs::perms::owner_all);
  }

  TemporaryDirectory directory_{"workspace-test"};
  const stdfs::path dir_ = directory_.path();
};

TEST_F(WorkspaceTest, AppRunStartsDetachedOnDevNullWithoutOurDescriptors) {
  // A descriptor without close-on-exec at a number no shell uses for itself.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr int kLeakCandidate = 77;
  ASSERT_EQ(::dup2(fds[1], kLeakCandidate), kLeakCandidate);

  const stdfs::path bundle = dir_ / "Nelo.AppDir";
  const stdfs::path record = dir_ / "record";
  std::ostringstream script;
  // Everything is looked at before the record's own redirection changes it.
  script << "args=$#\n"
         << "in=$(readlink /proc/$$/fd/0) out=$(readlink /proc/$$/fd/1)"
         << " err=$(readlink /proc/$$/fd/2)\n"
         << "leaked=no; [ -e /proc/$$/fd/" << kLeakCandidate << " ] && leaked=yes\n"
         << "set -- $(cat /proc/$$/stat)\n"
         << "session=shared; [ \"$6\" = \"$$\" ] && session=own\n"
         << "echo \"args=$args $in $out $err leaked=$leaked session=$session\" > '"
         << record.string() << ".tmp'\n"
         << "mv '" << record.string() << ".tmp' '" << record.string() << "'\n";
  writeAppRun(bundle, script.str());

  EXPECT_TRUE(openApplication(bundle));
  EXPECT_TRUE(noChildren()) << "the intermediate child must be reaped";
  EXPECT_EQ(awaitFile(record), "args=0 /dev/null /dev/null /dev/null leaked=no session=own\n");

  ::close(kLeakCandidate);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(WorkspaceTest, ReturnsWithoutWaitingForTheApplication) {
  const stdfs::path bundle = dir_ / "Slow.AppDir";
  const stdfs::path record = dir_ / "done";
  writeAppRun(bundle, "sleep 2\ntouch '" + record.string() + "'\n");
  EXPECT_TRUE(openApplication(bundle));
  // Had it waited for AppRun, the file would be there.
  EXPECT_FALSE(stdfs::exists(record));
  EXPECT_TRUE(noChildren());
}

TEST_F(WorkspaceTest, NothingToRunIsAnErrorNamingThePathAndAFailingAppRunGoesUnnoticed) {
  const auto failure = [](const Status& status) {
    return status ? std::string("ok") : status.error().description;
  };
  EXPECT_EQ(failure(openApplication(dir_ / "Missing.AppDir")),
            "cannot run " + (dir_ / "Missing.AppDir" / "AppRun").string() +
                ": No such file or directory");
  EXPECT_TRUE(noChildren());

  const stdfs::path notExecutable = dir_ / "Plain.AppDir";
  stdfs::create_directories(notExecutable);
  std::ofstream(notExecutable / "AppRun") << "#!/bin/sh\nexit 0\n";
  const std::string plain = failure(openApplication(notExecutable));
  EXPECT_NE(plain.find((notExecutable / "AppRun").string()), std::string::npos) << plain;
  EXPECT_TRUE(noChildren());

  writeAppRun(dir_ / "Failing.AppDir", "exit 3\n");
  EXPECT_EQ(failure(openApplication(dir_ / "Failing.AppDir")), "ok");
  EXPECT_TRUE(noChildren());

  // Neither an empty nor a relative location may launch anything.
  EXPECT_FALSE(openApplication(""));
  EXPECT_EQ(failure(openApplication("Nelo.AppDir")),
            "cannot run Nelo.AppDir/AppRun: the application's place is not known");
  EXPECT_TRUE(noChildren());
}

TEST(ExecutablePathTest, IsTheRunningExecutable) {
  const stdfs::path executable = executablePath();
  ASSERT_TRUE(executable.is_absolute()) << executable;
  EXPECT_EQ(executable, stdfs::canonical(executable)) << "links must be resolved";
  EXPECT_TRUE(stdfs::equivalent(executable, "/proc/self/exe")) << executable;
}

}  // namespace
}  // namespace velmora
