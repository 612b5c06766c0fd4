// The host as a browser uses it: a process started for one message, and one
// long-lived connection carrying many. Every message is a save of the same 20
// tabs into a storage directory that already holds them, so nothing is written.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/native_messaging.h"
#include "support/scan_time.h"

extern char** environ;

namespace velmora {
namespace {

constexpr int kTabCount = 20;

struct Host {
  pid_t pid = -1;
  int toHost = -1;
  int fromHost = -1;
};

// Starts the program with pipes for stdin and stdout; its log lines go to
// /dev/null.
Host startHost(const char* program = VELMORA_HOST_PATH) {
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  Host host;
  char* const argv[] = {const_cast<char*>(program), nullptr};
  if (::posix_spawn(&host.pid, program, &actions, nullptr, argv, environ) != 0) {
    std::abort();
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  host.toHost = input[1];
  host.fromHost = output[0];
  return host;
}

// Ends the host's input and waits for it to exit.
void stopHost(Host& host) {
  ::close(host.toHost);
  ::close(host.fromHost);
  int status = 0;
  while (::waitpid(host.pid, &status, 0) < 0) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
}

std::string roundTrip(const Host& host, const std::string& message) {
  if (!writeFrame(host.toHost, message)) std::abort();
  auto reply = readFrame(host.fromHost);
  if (!reply || !reply->has_value()) std::abort();
  return std::move((*reply)->bytes);
}

// The same 20 tabs every time, with one fixed scan time, so that every save
// after the first finds nothing to write.
const std::string& saveMessage() {
  static const std::string message = [] {
    boost::json::array tabs;
    for (int i = 1; i <= kTabCount; ++i) {
      tabs.push_back(boost::json::object{
          {"id", i},
          {"windowId", 1 + i / 10},
          {"title", "Page " + std::to_string(i) + " – reading list"},
          {"url", "https://site" + std::to_string(i) + ".example.com/articles/" +
                      std::to_string(i * 7) + "?ref=tabs&lang=de"},
          {"pinned", i == 1},
          {"active", i == 2},
      });
    }
    return boost::json::serialize(
        boost::json::object{{"action", "saveSnapshot"},
                            {"tabs", std::move(tabs)},
                            {"scannedAt", isoTime(static_cast<double>(std::time(nullptr)))}});
  }();
  return message;
}

// A host started for one message; with "cat", /bin/cat started the same way
// and echoing the frame back: the floor of any host a browser starts.
void oneShot(benchmark::State& state, const char* program) {
  std::vector<double> millis;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Host host = startHost(program);
    benchmark::DoNotOptimize(roundTrip(host, saveMessage()));
    stopHost(host);
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(millis.begin(), millis.end());
  state.counters["median_ms"] = millis[millis.size() / 2];
  state.counters["p90_ms"] = millis[millis.size() * 9 / 10];
}
void BM_OneShotRoundTrip(benchmark::State& state) { oneShot(state, VELMORA_HOST_PATH); }
void BM_OneShotCatFloor(benchmark::State& state) { oneShot(state, "/bin/cat"); }
BENCHMARK(BM_OneShotRoundTrip)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_OneShotCatFloor)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_LongLivedConnection(benchmark::State& state) {
  Host host = startHost();
  for (auto _ : state) benchmark::DoNotOptimize(roundTrip(host, saveMessage()));
  stopHost(host);
  state.counters["messages_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LongLivedConnection)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(3.0);

// The same connection with messages sent in batches before their replies are
// read, as an extension may do: the host's own cost per message, with less of
// the wait for the two processes to take turns.
void BM_LongLivedConnectionPipelined(benchmark::State& state) {
  // A batch of frames and its replies fit in the pipe buffers (64 KiB each).
  constexpr int kBatch = 16;
  std::string batch;
  for (int i = 0; i < kBatch; ++i) batch += encodeFrame(saveMessage());
  Host host = startHost();
  for (auto _ : state) {
    for (std::size_t done = 0; done < batch.size();) {
      const ssize_t n = ::write(host.toHost, batch.data() + done, batch.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    for (int i = 0; i < kBatch; ++i) {
      auto reply = readFrame(host.fromHost);
      if (!reply || !reply->has_value()) std::abort();
    }
  }
  stopHost(host);
  state.counters["messages_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LongLivedConnectionPipelined)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(3.0);

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  namespace stdfs = std::filesystem;
  char pattern[] = "/tmp/host-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  ::setenv("XDG_DATA_HOME", pattern, 1);

  // The first save writes the snapshot; every later one must leave it alone.
  velmora::Host seed = velmora::startHost();
  const std::string reply = velmora::roundTrip(seed, velmora::saveMessage());
  velmora::stopHost(seed);
  std::fprintf(stderr, "seeding save: %s\n", reply.c_str());
  const stdfs::path snapshot = stdfs::path(pattern) / "Velmora" / "snapshot.v1.json";
  struct stat before {};
  if (::stat(snapshot.c_str(), &before) != 0) return 1;

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  struct stat after {};
  const bool untouched = ::stat(snapshot.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
                         after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                         after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
  std::fprintf(stderr, "snapshot %s during the runs\n", untouched ? "untouched" : "REWRITTEN");
  stdfs::remove_all(pattern);
  return untouched ? 0 : 1;
}
