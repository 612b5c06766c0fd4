// Timestamp parsing and snapshot saving, each beside the floor it cannot beat.
//
//   storage_bench                 the timings (Google Benchmark flags apply)
//   storage_bench --peak-memory   the peak memory of one writing save
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "model/tab_snapshot.h"
#include "scan_data.h"
#include "storage/history.h"
#include "storage/save_snapshot.h"
#include "storage/velmora_date.h"
#include "support/scan_time.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using bench::makeTabs;

Status saveIn(const std::filesystem::path& dir, const std::vector<SafariTab>& tabs,
              std::string_view scannedAt) {
  DirectoryEnv env(dir);
  Result<VelmoraStorage::Saved> saved =
      VelmoraStorage::save(tabs, scannedAt, VelmoraStorage::Options(env));
  return saved ? Ok() : Status(saved.error());
}

std::filesystem::path makeStorage(const char* name) {
  const std::filesystem::path dir = std::filesystem::path("/var/tmp") / name;
  bench::makeStorage(dir);
  return dir;
}

void BM_ParseMemoHit(benchmark::State& state) {
  const std::string text = "2024-05-01T12:30:15.250Z";
  VelmoraDate::parse(text);
  for (auto _ : state) benchmark::DoNotOptimize(VelmoraDate::parse(text));
}
BENCHMARK(BM_ParseMemoHit);

void BM_ParseMemoMiss(benchmark::State& state) {
  // More strings than the memo holds: by the time one comes round again the
  // memo has been emptied many times over. The emptying is part of the cost.
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all;
    for (int i = 0; i < 1000000; ++i) {
      char text[64];
      std::snprintf(text, sizeof text, "2030-01-01T00:00:00.%06dZ", i);
      all.push_back(text);
    }
    return all;
  }();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(VelmoraDate::parse(texts[i]));
    if (++i == texts.size()) i = 0;
  }
}
BENCHMARK(BM_ParseMemoMiss);

// Every call writes: the page set alternates, so each save replaces the
// snapshot, writes a history copy and prunes 1,000 files.
void BM_SaveWriting(benchmark::State& state) {
  const std::filesystem::path dir = makeStorage("velmora-bench-writing");
  const std::vector<SafariTab> lists[] = {makeTabs(1), makeTabs(0)};
  int k = 0;
  for (auto _ : state) {
    Status status = saveIn(dir, lists[k % 2], scanTime(1 + k % 2));
    if (!status) state.SkipWithError(status.error().description.c_str());
    ++k;
  }
  state.counters["document_bytes"] =
      static_cast<double>(std::filesystem::file_size(dir / "snapshot.v1.json"));
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SaveWriting)->Unit(benchmark::kMillisecond)->MinTime(5);

// The least a writing save must do: read the previous document, write the
// document twice durably, list the history.
void BM_SaveWritingFloor(benchmark::State& state) {
  const std::filesystem::path dir = makeStorage("velmora-bench-floor");
  for (auto _ : state) {
    Result<std::string> bytes = realFiles().readFile(dir / "snapshot.v1.json", SIZE_MAX);
    if (!writeFileAtomically(realFiles(), dir / "snapshot.v1.json", *bytes) ||
        !writeFileAtomically(realFiles(), dir / "history" / "copy.json", *bytes)) {
      state.SkipWithError("write failed");
    }
    benchmark::DoNotOptimize(realFiles().listDirectory(dir / "history"));
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SaveWritingFloor)->Unit(benchmark::kMillisecond)->MinTime(5);

// The same list 300 seconds later: read, compare, write nothing.
void BM_SaveUnchanged(benchmark::State& state) {
  const std::filesystem::path dir = makeStorage("velmora-bench-unchanged");
  const std::vector<SafariTab> tabs = makeTabs(0);
  const std::string later = scanTime(300);
  for (auto _ : state) {
    Status status = saveIn(dir, tabs, later);
    if (!status) state.SkipWithError(status.error().description.c_str());
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SaveUnchanged)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_SaveUnchangedFloor(benchmark::State& state) {
  const std::filesystem::path dir = makeStorage("velmora-bench-read");
  for (auto _ : state) {
    benchmark::DoNotOptimize(realFiles().readFile(dir / "snapshot.v1.json", SIZE_MAX));
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SaveUnchangedFloor)->Unit(benchmark::kMillisecond)->MinTime(3);

// Not a floor but a reference: reading and parsing the previous document
// with Boost.JSON, which any comparison with it needs before anything else.
void BM_SaveUnchangedReadAndParse(benchmark::State& state) {
  const std::filesystem::path dir = makeStorage("velmora-bench-parse");
  // The tree goes into memory that every round reuses: a fresh arena would
  // fault its pages in anew each time and make the reference swing by a
  // factor of five from one run to the next.
  std::vector<unsigned char> arenaMemory(4 * std::filesystem::file_size(dir / "snapshot.v1.json"));
  for (auto _ : state) {
    Result<std::string> bytes = realFiles().readFile(dir / "snapshot.v1.json", SIZE_MAX);
    boost::json::monotonic_resource arena(arenaMemory.data(), arenaMemory.size());
    benchmark::DoNotOptimize(boost::json::parse(*bytes, &arena));
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SaveUnchangedReadAndParse)->Unit(benchmark::kMillisecond)->MinTime(3);

long maxResidentKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// One writing save in a process of its own: the directory is prepared by a
// child process, so that its memory does not count; the caller's tab list is
// part of the baseline.
int peakMemory() {
  const char* name = "velmora-bench-peak";
  const pid_t child = ::fork();
  if (child == 0) {
    makeStorage(name);
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  const std::filesystem::path dir = std::filesystem::path("/var/tmp") / name;

  const std::vector<SafariTab> tabs = makeTabs(1);
  const long before = maxResidentKiB();
  Status saved = saveIn(dir, tabs, scanTime(1));
  const long after = maxResidentKiB();
  const auto documentBytes = std::filesystem::file_size(dir / "snapshot.v1.json");
  std::filesystem::remove_all(dir);
  if (!saved) {
    std::fprintf(stderr, "save failed: %s\n", saved.error().description.c_str());
    return 1;
  }
  std::printf("document: %.0f KiB\npeak RSS before save: %ld KiB\npeak RSS after save: %ld KiB\n",
              documentBytes / 1024.0, before, after);
  std::printf("growth: %ld KiB = %.2f x the document\n", after - before,
              (after - before) * 1024.0 / static_cast<double>(documentBytes));
  return 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--peak-memory") == 0) return velmora::peakMemory();
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
