// The host as a browser uses it: a process started for one message, and one
// long-lived connection carrying many. Every message is a save of the same 20
// tabs into a storage directory that already holds them, so nothing is written.
//
//   host_bench                       the timings (Google Benchmark flags apply)
//   host_bench --peak-memory [HOST]  the peak memory of a host (the built one,
//                                    or HOST) serving the largest message:
//                                    592,754 tabs in 64 MiB

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
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

const char* hostPath = VELMORA_HOST_PATH;

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

// Ends the host's input and waits for it to exit; its peak resident memory
// in KiB.
long stopHost(Host& host) {
  ::close(host.toHost);
  ::close(host.fromHost);
  int status = 0;
  rusage usage{};
  while (::wait4(host.pid, &status, 0, &usage) < 0) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
  return usage.ru_maxrss;
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

// The largest message a browser sends: 592,754 tabs, each with its own
// address, padded in their titles to fill 64 MiB.
std::string largestMessage() {
  constexpr std::size_t kTabs = 592754;
  auto entry = [](std::size_t i, std::size_t padding) {
    return R"({"id":)" + std::to_string(i) + R"(,"windowId":)" + std::to_string(1 + i % 40) +
           R"(,"title":")" + std::string(padding, 'x') + R"(","url":"https://s)" +
           std::to_string(i % 1000) + ".example/" + std::to_string(i) +
           R"(","pinned":false,"active":false})";
  };
  const std::string head = R"({"action":"saveSnapshot","scannedAt":")" +
                           isoTime(static_cast<double>(std::time(nullptr))) +
                           R"(","tabs":[)";
  std::size_t size = head.size() + 2 + kTabs - 1;
  for (std::size_t i = 0; i < kTabs; ++i) size += entry(i, 0).size();
  const std::size_t padding = (kMaxMessageBytes - size) / kTabs;
  const std::size_t longer = (kMaxMessageBytes - size) % kTabs;
  std::string message = head;
  message.reserve(kMaxMessageBytes);
  for (std::size_t i = 0; i < kTabs; ++i) {
    if (i > 0) message += ',';
    message += entry(i, padding + (i < longer ? 1 : 0));
  }
  message += "]}";
  return message;
}

// Peak memory of a host serving the largest message, above that of a host
// serving a message of a few bytes, against the document it writes. Each
// host starts with an empty storage directory.
int peakMemory(const std::filesystem::path& dataHome) {
  // Started before the message is made: until it runs the host, a child
  // counts the memory of this process as its own.
  Host small = startHost(hostPath);
  roundTrip(small, R"({"action":"none"})");
  const long baseline = stopHost(small);
  const std::string message = largestMessage();

  Host large = startHost(hostPath);
  const std::string reply = roundTrip(large, message);
  const long peak = stopHost(large);
  const auto document = std::filesystem::file_size(dataHome / "Velmora" / "snapshot.v1.json");
  std::printf("message: %zu bytes\nreply: %s\ndocument: %.1f MiB\n", message.size(),
              reply.c_str(), document / 1048576.0);
  std::printf("host peak RSS: %ld KiB, serving a tiny message: %ld KiB\n", peak, baseline);
  std::printf("growth: %.1f MiB = %.2f x the document\n", (peak - baseline) / 1024.0,
              (peak - baseline) * 1024.0 / static_cast<double>(document));
  return 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  namespace stdfs = std::filesystem;
  char pattern[] = "/tmp/host-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  ::setenv("XDG_DATA_HOME", pattern, 1);

  if (argc > 1 && std::strcmp(argv[1], "--peak-memory") == 0) {
    if (argc > 2) velmora::hostPath = argv[2];
    const int status = velmora::peakMemory(pattern);
    stdfs::remove_all(pattern);
    return status;
  }

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
