// The host as a browser uses it, each figure beside its floor measured in the
// same run: a process started for one message (against /bin/cat started to
// echo the frame), and one long-lived connection carrying many: saves of 20
// tabs that find nothing to write (against a cat echoing the same frames),
// and saves of a 10,000-tab scan (a 3 MB message, a 4.6 MiB document) into a
// directory holding 1,000 history copies, writing (against reading the
// previous document, writing it twice durably and listing the history) and
// unchanged (against a long-lived cat echoing the same frame); the unchanged
// save once more by a host started for it alone, as a browser's one-off
// message does (against /bin/cat started to echo the frame plus reading the
// document into memory already faulted in); and, in this process, the
// decoding of that message against Boost.JSON's parser alone.
//
// Each host-side figure takes its floor right after each of its own runs, as
// the load of a shared machine changes more from one benchmark to the next
// than within one: its time is the host's alone, its counters median_ms and
// p90_ms, floor_median_ms and floor_p90_ms, and ratio_median, the median of
// the runs' ratios. The floors are also measured alone (the "/cat" and
// "/floor" benchmarks).
//
//   host_bench [--host HOST] [--baseline OLD]
//                                    the timings (Google Benchmark flags apply;
//                                    --benchmark_min_time holds for every
//                                    benchmark) of the built host, or HOST;
//                                    with OLD, the host-side figures also for
//                                    that program, e.g. a build of an older
//                                    commit, so that one run interleaves both
//   host_bench --peak-memory [HOST]  the memory of a host (the built one, or
//                                    HOST): one writing save of 10,000 tabs,
//                                    and the largest message (592,754 tabs in
//                                    64 MiB), each above the idle host, and
//                                    what the idle host holds afterwards

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
#include <boost/json/array.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "handler/message.h"
#include "platform/native_messaging.h"
#include "scan_data.h"
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
// /dev/null. It stores under `dataHome` when one is given.
Host startHost(const char* program = VELMORA_HOST_PATH, const std::string& dataHome = {}) {
  static const std::string defaultDataHome = ::getenv("XDG_DATA_HOME");
  ::setenv("XDG_DATA_HOME", dataHome.empty() ? defaultDataHome.c_str() : dataHome.c_str(), 1);
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

// The median and 90th percentile of the iterations' times, as counters:
// process starts vary more than a mean shows.
void reportSpread(benchmark::State& state, std::vector<double> millis,
                  const std::string& prefix = "") {
  if (millis.empty()) return;
  std::sort(millis.begin(), millis.end());
  state.counters[prefix + "median_ms"] = millis[millis.size() / 2];
  state.counters[prefix + "p90_ms"] = millis[millis.size() * 9 / 10];
}

double millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// A figure timed beside its floor, the floor taken right after each of the
// figure's own runs: on a machine shared with builds the load changes more
// from one benchmark to the next than within one. The benchmark's (manual)
// time is the figure's; the counters give its spread, the floor's and the
// median of their ratios.
class BesideFloor {
 public:
  explicit BesideFloor(benchmark::State& state) : state_(state) {}

  // One iteration: `run`, then `floor`, each timed.
  template <typename Run, typename Floor>
  void take(Run&& run, Floor&& floor) {
    auto start = std::chrono::steady_clock::now();
    run();
    millis_.push_back(millisSince(start));
    state_.SetIterationTime(millis_.back() / 1000);
    start = std::chrono::steady_clock::now();
    floor();
    floors_.push_back(millisSince(start));
    ratios_.push_back(millis_.back() / floors_.back());
  }

  void report() {
    reportSpread(state_, millis_);
    reportSpread(state_, floors_, "floor_");
    std::sort(ratios_.begin(), ratios_.end());
    if (!ratios_.empty()) state_.counters["ratio_median"] = ratios_[ratios_.size() / 2];
  }

 private:
  benchmark::State& state_;
  std::vector<double> millis_;
  std::vector<double> floors_;
  std::vector<double> ratios_;
};

// A round trip whose frame is written while the reply is read: a cat echoing
// a large one would otherwise fill the pipes both ways and wait for ever.
std::string echoRoundTrip(const Host& host, const std::string& message) {
  std::thread writer([&host, &message] {
    if (!writeFrame(host.toHost, message)) std::abort();
  });
  auto reply = readFrame(host.fromHost);
  writer.join();
  if (!reply || !reply->has_value()) std::abort();
  return std::move((*reply)->bytes);
}

// The program started for one message, from its start to its exit.
std::string startedForOne(const char* program, const std::string& message,
                          const std::string& dataHome = {}) {
  Host host = startHost(program, dataHome);
  std::string reply = echoRoundTrip(host, message);
  stopHost(host);
  return reply;
}

// A host started for one message, each time beside /bin/cat started the same
// way and echoing the frame back: the floor of any host a browser starts.
void oneShot(benchmark::State& state, const char* program) {
  BesideFloor times(state);
  for (auto _ : state) {
    times.take([&] { benchmark::DoNotOptimize(startedForOne(program, saveMessage())); },
               [&] { benchmark::DoNotOptimize(startedForOne("/bin/cat", saveMessage())); });
  }
  times.report();
}

// That floor alone.
void BM_OneShotCatFloor(benchmark::State& state) {
  std::vector<double> millis;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(startedForOne("/bin/cat", saveMessage()));
    millis.push_back(millisSince(start));
  }
  reportSpread(state, std::move(millis));
}

// Each round trip beside the same frame's round trip through a long-lived
// cat.
void BM_LongLivedConnection(benchmark::State& state, const char* program) {
  Host host = startHost(program);
  Host cat = startHost("/bin/cat");
  BesideFloor times(state);
  for (auto _ : state) {
    times.take([&] { benchmark::DoNotOptimize(roundTrip(host, saveMessage())); },
               [&] { benchmark::DoNotOptimize(roundTrip(cat, saveMessage())); });
  }
  stopHost(cat);
  stopHost(host);
  times.report();
  state.counters["messages_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The same frames echoed by a cat on a long-lived connection: the floor of a
// message's round trip.
void BM_LongLivedCatFloor(benchmark::State& state) {
  Host cat = startHost("/bin/cat");
  for (auto _ : state) benchmark::DoNotOptimize(roundTrip(cat, saveMessage()));
  stopHost(cat);
}

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

constexpr const char* kWritingFloorHome = "velmora-host-bench-writing-floor";

// Where the large saves happen: a directory of their own under /var/tmp (a
// disk, where /tmp may be memory), prepared anew for every run.
std::filesystem::path largeSaveHome(const char* name) {
  const std::filesystem::path home = std::filesystem::path("/var/tmp") / name;
  bench::makeStorage(home / "Velmora");
  return home;
}

std::filesystem::path snapshotIn(const std::filesystem::path& home) {
  return home / "Velmora" / VelmoraStorage::kSnapshotFileName;
}

bool stored(const std::string& reply) { return reply.find("\"error\"") == std::string::npos; }

// Where the writing save's floor works. The floor leaves it as it found it,
// so it is prepared once for the process: preparing it takes longer than the
// benchmark.
const std::filesystem::path& writingFloorHome() {
  static const std::filesystem::path home = largeSaveHome(kWritingFloorHome);
  return home;
}

// The least a writing save must do: read the previous document, write the
// document twice durably, list the history. False when a step failed.
bool writingSaveFloor(const std::filesystem::path& home) {
  const std::filesystem::path history = home / "Velmora" / VelmoraStorage::kHistoryDirectoryName;
  Result<std::string> bytes = realFiles().readFile(snapshotIn(home), SIZE_MAX);
  if (!bytes || !writeFileAtomically(realFiles(), snapshotIn(home), *bytes) ||
      !writeFileAtomically(realFiles(), history / "copy.json", *bytes)) {
    return false;
  }
  benchmark::DoNotOptimize(realFiles().listDirectory(history));
  return true;
}

// Saves of 10,000 tabs following each other on one connection, the page set
// changing every time: each replaces the snapshot, writes a history copy and
// prunes 1,000 files; each beside that floor, in a directory of its own.
void BM_WritingSave(benchmark::State& state, const char* program) {
  const std::filesystem::path home = largeSaveHome("velmora-host-bench-writing");
  const std::string messages[] = {bench::saveMessage(bench::makeTabs(1), scanTime(1)),
                                  bench::saveMessage(bench::makeTabs(0), scanTime(2))};
  const std::filesystem::path& floorHome = writingFloorHome();
  Host host = startHost(program, home);
  if (!stored(roundTrip(host, messages[1]))) state.SkipWithError("the save failed");
  int k = 0;
  BesideFloor times(state);
  for (auto _ : state) {
    times.take([&] { benchmark::DoNotOptimize(roundTrip(host, messages[k++ % 2])); },
               [&] {
                 if (!writingSaveFloor(floorHome)) state.SkipWithError("write failed");
               });
  }
  stopHost(host);
  times.report();
  state.counters["document_bytes"] =
      static_cast<double>(std::filesystem::file_size(snapshotIn(home)));
  std::filesystem::remove_all(home);
}

// That floor alone.
void BM_WritingSaveFloor(benchmark::State& state) {
  const std::filesystem::path& home = writingFloorHome();
  for (auto _ : state) {
    if (!writingSaveFloor(home)) state.SkipWithError("write failed");
  }
}

// The stored scan sent again 300 seconds later, again and again: nothing is
// written. Each beside the same frame echoed by a long-lived cat.
void BM_UnchangedSave(benchmark::State& state, const char* program) {
  const std::filesystem::path home = largeSaveHome("velmora-host-bench-unchanged");
  const std::string message = bench::saveMessage(bench::makeTabs(0), scanTime(300));
  Host host = startHost(program, home);
  if (!stored(roundTrip(host, message))) state.SkipWithError("the save failed");
  Host cat = startHost("/bin/cat");
  struct stat before {};
  ::stat(snapshotIn(home).c_str(), &before);
  BesideFloor times(state);
  for (auto _ : state) {
    times.take([&] { benchmark::DoNotOptimize(roundTrip(host, message)); },
               [&] { benchmark::DoNotOptimize(echoRoundTrip(cat, message)); });
  }
  stopHost(cat);
  stopHost(host);
  times.report();
  struct stat after {};
  ::stat(snapshotIn(home).c_str(), &after);
  if (after.st_ino != before.st_ino) state.SkipWithError("the snapshot was written");
  std::filesystem::remove_all(home);
}

// The floor of a browser's one-off message carrying the stored scan again:
// /bin/cat started for the same frame and echoing it, and the previous
// document read into a buffer that is already in memory.
void oneOffFloor(const std::string& message, const std::filesystem::path& document,
                 std::string& buffer) {
  benchmark::DoNotOptimize(startedForOne("/bin/cat", message));
  const int fd = ::open(document.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  for (std::size_t done = 0;;) {
    const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
    if (n < 0) std::abort();
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// That message: a host started for it alone finds nothing to write and
// ends; each time beside that floor.
void BM_OneOffUnchangedSave(benchmark::State& state, const char* program) {
  const std::filesystem::path home = largeSaveHome("velmora-host-bench-one-off");
  const std::string message = bench::saveMessage(bench::makeTabs(0), scanTime(300));
  std::string buffer(std::filesystem::file_size(snapshotIn(home)) + 1, '\0');
  struct stat before {};
  ::stat(snapshotIn(home).c_str(), &before);
  BesideFloor times(state);
  for (auto _ : state) {
    times.take(
        [&] {
          if (!stored(startedForOne(program, message, home))) {
            state.SkipWithError("the save failed");
          }
        },
        [&] { oneOffFloor(message, snapshotIn(home), buffer); });
  }
  struct stat after {};
  ::stat(snapshotIn(home).c_str(), &after);
  if (after.st_ino != before.st_ino) state.SkipWithError("the snapshot was written");
  times.report();
  std::filesystem::remove_all(home);
}

// Its floor as a connection: the same frame echoed by a long-lived cat.
void BM_UnchangedSaveCatFloor(benchmark::State& state) {
  const std::string message = bench::saveMessage(bench::makeTabs(0), scanTime(300));
  Host cat = startHost("/bin/cat");
  for (auto _ : state) benchmark::DoNotOptimize(echoRoundTrip(cat, message));
  stopHost(cat);
}

// The host's decoding of the 10,000-tab message in this process, beside
// Boost.JSON's parser handing its events to handlers that do nothing: how
// close the decoding comes to the parser's own speed.
void BM_MessageDecode(benchmark::State& state) {
  const std::string message = bench::saveMessage(bench::makeTabs(0), scanTime(300));
  for (auto _ : state) benchmark::DoNotOptimize(readMessage(message));
}

struct NoHandler {
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();
  using ec = boost::system::error_code;
  using sv = boost::json::string_view;
  bool on_document_begin(ec&) { return true; }
  bool on_document_end(ec&) { return true; }
  bool on_object_begin(ec&) { return true; }
  bool on_object_end(std::size_t, ec&) { return true; }
  bool on_array_begin(ec&) { return true; }
  bool on_array_end(std::size_t, ec&) { return true; }
  bool on_key_part(sv, std::size_t, ec&) { return true; }
  bool on_key(sv, std::size_t, ec&) { return true; }
  bool on_string_part(sv, std::size_t, ec&) { return true; }
  bool on_string(sv, std::size_t, ec&) { return true; }
  bool on_number_part(sv, ec&) { return true; }
  bool on_int64(std::int64_t, sv, ec&) { return true; }
  bool on_uint64(std::uint64_t, sv, ec&) { return true; }
  bool on_double(double, sv, ec&) { return true; }
  bool on_bool(bool, ec&) { return true; }
  bool on_null(ec&) { return true; }
  bool on_comment_part(sv, ec&) { return true; }
  bool on_comment(sv, ec&) { return true; }
};

void BM_MessageParseFloor(benchmark::State& state) {
  const std::string message = bench::saveMessage(bench::makeTabs(0), scanTime(300));
  for (auto _ : state) {
    boost::json::basic_parser<NoHandler> parser({});
    boost::system::error_code error;
    parser.write_some(false, message.data(), message.size(), error);
    if (error) state.SkipWithError("parse failed");
  }
}

void BM_UnchangedSaveFloor(benchmark::State& state) {
  const std::filesystem::path home = largeSaveHome("velmora-host-bench-unchanged-floor");
  for (auto _ : state) benchmark::DoNotOptimize(realFiles().readFile(snapshotIn(home), SIZE_MAX));
  std::filesystem::remove_all(home);
}

// Every host-side figure for each program, each beside its floor. The
// figures' own least times apply unless `minTime` (seconds) is given.
void registerBenchmarks(const std::vector<const char*>& hosts, double minTime) {
  const auto timed = [minTime](benchmark::internal::Benchmark* b, double seconds) {
    b->MinTime(minTime > 0 ? minTime : seconds);
  };
  const auto perMessage = [&](benchmark::internal::Benchmark* b, double seconds) {
    timed(b->UseRealTime()->Unit(benchmark::kMicrosecond), seconds);
  };
  const auto perProcess = [&](benchmark::internal::Benchmark* b) {
    timed(b->UseRealTime()->Unit(benchmark::kMillisecond), 3.0);
  };
  // The time is the figure's own, its floor's beside it left out.
  const auto besideFloor = [&](benchmark::internal::Benchmark* b, benchmark::TimeUnit unit,
                               double seconds) { timed(b->UseManualTime()->Unit(unit), seconds); };
  const auto named = [](const char* figure, std::size_t i) {
    return std::string(figure) + (i == 0 ? "/host" : "/baseline");
  };
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const char* program = hosts[i];
    besideFloor(
        benchmark::RegisterBenchmark(named("OneShotRoundTrip", i).c_str(), oneShot, program),
        benchmark::kMillisecond, 3.0);
    besideFloor(benchmark::RegisterBenchmark(named("LongLivedConnection", i).c_str(),
                                             BM_LongLivedConnection, program),
                benchmark::kMicrosecond, 3.0);
    besideFloor(
        benchmark::RegisterBenchmark(named("WritingSave", i).c_str(), BM_WritingSave, program),
        benchmark::kMicrosecond, 5.0);
    besideFloor(
        benchmark::RegisterBenchmark(named("UnchangedSave", i).c_str(), BM_UnchangedSave, program),
        benchmark::kMicrosecond, 3.0);
    besideFloor(benchmark::RegisterBenchmark(named("OneOffUnchangedSave", i).c_str(),
                                             BM_OneOffUnchangedSave, program),
                benchmark::kMillisecond, 3.0);
  }
  perProcess(benchmark::RegisterBenchmark("OneShotRoundTrip/cat", BM_OneShotCatFloor));
  perMessage(benchmark::RegisterBenchmark("LongLivedConnection/cat", BM_LongLivedCatFloor), 3.0);
  perMessage(benchmark::RegisterBenchmark("LongLivedConnectionPipelined/host",
                                          BM_LongLivedConnectionPipelined),
             3.0);
  perMessage(benchmark::RegisterBenchmark("WritingSave/floor", BM_WritingSaveFloor), 5.0);
  perMessage(benchmark::RegisterBenchmark("UnchangedSave/floor", BM_UnchangedSaveFloor), 3.0);
  perMessage(benchmark::RegisterBenchmark("UnchangedSave/cat", BM_UnchangedSaveCatFloor), 3.0);
  perMessage(benchmark::RegisterBenchmark("MessageDecode/host", BM_MessageDecode), 3.0);
  perMessage(benchmark::RegisterBenchmark("MessageDecode/floor", BM_MessageParseFloor), 3.0);
}

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

// A figure of /proc/PID/status, in KiB: VmRSS (resident now) or VmHWM (the
// peak so far).
long statusKiB(pid_t pid, const char* field) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "re");
  if (status == nullptr) std::abort();
  char line[256];
  long value = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, field, std::strlen(field)) == 0) value = std::atol(line + std::strlen(field));
  }
  std::fclose(status);
  return value;
}

// A host of its own serves `first` (when given), waits a moment and serves a
// message of a few bytes (then it is idle), then `message`: its peak above the idle host against
// the document it wrote, and what it holds once idle again.
void measure(const char* title, const std::filesystem::path& home, const std::string& message,
             const std::string& first = {}) {
  Host host = startHost(hostPath, home);
  if (!first.empty()) {
    roundTrip(host, first);
    ::usleep(300 * 1000);
  }
  roundTrip(host, R"({"action":"none"})");
  const long idle = statusKiB(host.pid, "VmRSS:");
  // The peak from here on.
  if (std::FILE* clear = std::fopen(("/proc/" + std::to_string(host.pid) + "/clear_refs").c_str(), "we")) {
    std::fputs("5", clear);
    std::fclose(clear);
  }
  const std::string reply = roundTrip(host, message);
  const long peak = statusKiB(host.pid, "VmHWM:");
  // The host hands memory back once idle for a moment: one more message,
  // after a while, waits for that.
  ::usleep(300 * 1000);
  roundTrip(host, R"({"action":"none"})");
  const long after = statusKiB(host.pid, "VmRSS:");
  stopHost(host);
  const auto document = std::filesystem::file_size(snapshotIn(home));
  std::printf("%s\nmessage: %zu bytes\nreply: %.200s\ndocument: %.2f MiB\n", title,
              message.size(), reply.c_str(), document / 1048576.0);
  std::printf("idle host: %ld KiB, peak: %ld KiB, idle again: %ld KiB\n", idle, peak, after);
  std::printf("growth: %.1f MiB = %.2f x the document\n\n", (peak - idle) / 1024.0,
              (peak - idle) * 1024.0 / static_cast<double>(document));
}

int peakMemory(const std::filesystem::path& dataHome) {
  std::filesystem::path home = largeSaveHome("velmora-host-bench-peak");
  measure("a new host's writing save of 10,000 tabs, 1,000 history copies", home,
          bench::saveMessage(bench::makeTabs(1), scanTime(1)));
  std::filesystem::remove_all(home);
  home = largeSaveHome("velmora-host-bench-peak");
  measure("the next writing save of the same host", home,
          bench::saveMessage(bench::makeTabs(0), scanTime(2)),
          bench::saveMessage(bench::makeTabs(1), scanTime(1)));
  std::filesystem::remove_all(home);
  measure("the largest message, into an empty directory", dataHome, largestMessage());
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
  std::vector<const char*> hosts = {VELMORA_HOST_PATH};
  for (const char* option : {"--host", "--baseline"}) {
    if (argc > 2 && std::strcmp(argv[1], option) == 0) {
      if (option[2] == 'h') hosts[0] = argv[2];
      else hosts.push_back(argv[2]);
      argv[2] = argv[0];
      argc -= 2;
      argv += 2;
    }
  }

  // The first save writes the snapshot; every later one must leave it alone.
  velmora::Host seed = velmora::startHost();
  const std::string reply = velmora::roundTrip(seed, velmora::saveMessage());
  velmora::stopHost(seed);
  std::fprintf(stderr, "seeding save: %s\n", reply.c_str());
  const stdfs::path snapshot = stdfs::path(pattern) / "Velmora" / "snapshot.v1.json";
  struct stat before {};
  if (::stat(snapshot.c_str(), &before) != 0) return 1;

  // A least time given on the command line holds for every benchmark, else
  // each has its own (which would otherwise override the flag).
  double minTime = 0;
  for (int i = 1; i < argc; ++i) {
    constexpr std::string_view kMinTime = "--benchmark_min_time=";
    if (std::string_view(argv[i]).starts_with(kMinTime)) {
      minTime = std::atof(argv[i] + kMinTime.size());
    }
  }
  velmora::registerBenchmarks(hosts, minTime);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  struct stat after {};
  const bool untouched = ::stat(snapshot.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
                         after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                         after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
  std::fprintf(stderr, "snapshot %s during the runs\n", untouched ? "untouched" : "REWRITTEN");
  stdfs::remove_all(pattern);
  stdfs::remove_all(stdfs::path("/var/tmp") / velmora::kWritingFloorHome);
  return untouched ? 0 : 1;
}
