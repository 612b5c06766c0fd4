// Runs a fuzz target's entry point once on every file of its seed corpus,
// without libFuzzer, so that the ordinary test run checks the seeds with the
// ordinary compiler. A broken property aborts, as under libFuzzer.
//
//   <target>_replay PATH...   each PATH a file, or a folder of files
//
// Only standard error is written: a target may watch standard output.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Defined by the targets that prepare something once; null in the others.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace stdfs = std::filesystem;

std::vector<stdfs::path> inputsOf(const stdfs::path& path) {
  if (!stdfs::is_directory(path)) return {path};
  std::vector<stdfs::path> files;
  for (const auto& entry : stdfs::directory_iterator(path)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  // Every run in the same order, so that a failure replays alike.
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH...\n", argv[0]);
    return 2;
  }
  std::vector<stdfs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::vector<stdfs::path> found = inputsOf(argv[i]);
    inputs.insert(inputs.end(), found.begin(), found.end());
  }
  // An empty or missing corpus would pass without checking anything.
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }

  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  for (const stdfs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot open %s\n", input.c_str());
      return 1;
    }
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    // A copy of exactly the input's size, as libFuzzer hands it over, so that
    // AddressSanitizer sees a read past its end.
    const auto data = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), data.get());
    std::fprintf(stderr, "%s\n", input.c_str());
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
  return 0;
}
