#include "platform/windows/launch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/windows/wide.h"
#include "support/temporary_directory.h"

namespace velmora::windows {
namespace {

namespace stdfs = std::filesystem;

// What the stand-in wrote beside itself, waited for; it is not ours to wait
// for.
std::string awaitRecord(const stdfs::path& folder) {
  const stdfs::path record = folder / "record.txt";
  for (int i = 0; i < 1000 && !stdfs::exists(record); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream in(record);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.substr(0, all.find(" pid="));
}

class LaunchTest : public ::testing::Test {
 protected:
  stdfs::path application() {
    const stdfs::path folder = dir_.path() / "Nelo";
    stdfs::create_directories(folder);
    stdfs::copy_file(VELMORA_NELO_STAND_IN, folder / "Nelo.exe");
    return folder;
  }

  TemporaryDirectory dir_{"launch-test"};
};

TEST_F(LaunchTest, NeloStartsDetachedWithoutOurHandlesAndOutsideAnyJob) {
  // A handle that could be inherited, were anything inherited.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ASSERT_TRUE(::CreatePipe(&read, &write, &inheritable, 0));
  ::SetStdHandle(STD_OUTPUT_HANDLE, write);

  const stdfs::path folder = application();
  std::ofstream(folder / "hold") << "";
  std::ofstream(folder / "handle") << reinterpret_cast<std::uintptr_t>(write);
  const auto start = std::chrono::steady_clock::now();
  const Result<std::string> opened = openApplication(folder);
  ASSERT_TRUE(opened.ok()) << opened.error().description;
  EXPECT_EQ(*opened, "");
  // Had it waited for Nelo, which stays ten seconds, this would be later.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(awaitRecord(folder), "args=0 std=none console=no job=no leaked=no");
  ::CloseHandle(read);
  ::CloseHandle(write);
}

TEST_F(LaunchTest, NothingToRunIsAnErrorNamingThePath) {
  const stdfs::path folder = dir_.path() / "Empty";
  stdfs::create_directories(folder);
  const Result<std::string> missing = openApplication(folder);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description, "cannot run " + toUtf8((folder / "Nelo.exe").native()) +
                                             ": " + errorText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(missing.error().code, ENOENT);
  // Neither an empty nor a relative place may launch anything.
  EXPECT_FALSE(openApplication("").ok());
  const Result<std::string> relative = openApplication("Nelo");
  ASSERT_FALSE(relative.ok());
  EXPECT_EQ(relative.error().description,
            "cannot run Nelo\\Nelo.exe: the application's place is not known");
}

TEST(ExecutablePathTest, IsTheRunningProgram) {
  const stdfs::path self = executablePath();
  ASSERT_TRUE(self.is_absolute()) << self;
  EXPECT_EQ(self.extension(), ".exe");
  EXPECT_TRUE(stdfs::is_regular_file(self)) << self;
}

// Browsers start hosts in a job that ends its processes with the browser.
// When the job forbids leaving it, Nelo starts inside it all the same, and
// the log is told why it will end with the browser. Last in this program:
// the process stays in the job.
TEST_F(LaunchTest, WhenTheJobForbidsLeavingNeloStartsInsideItAndSaysSo) {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  ASSERT_NE(job, nullptr);
  ASSERT_TRUE(::AssignProcessToJobObject(job, ::GetCurrentProcess()));
  const stdfs::path folder = application();
  const Result<std::string> opened = openApplication(folder);
  ASSERT_TRUE(opened.ok()) << opened.error().description;
  EXPECT_NE(*opened, "");
  EXPECT_EQ(awaitRecord(folder), "args=0 std=none console=no job=yes leaked=no");
}

}  // namespace
}  // namespace velmora::windows
