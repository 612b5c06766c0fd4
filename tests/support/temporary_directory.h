#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

// For tests: scratch directories that clean up after themselves, so that no
// test touches the real home or leaves files behind.
namespace velmora {

// A fresh, empty directory under the system's temporary directory, removed
// with everything in it when the object goes. Throws when none can be made:
// a test without its directory must not run against some other path.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(std::string_view prefix = "velmora") {
    // As mkdtemp does, which not every system has: a random name, made only
    // when nothing stands there yet.
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::error_code error;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = std::string(prefix) + "-";
      for (int i = 0; i < 6; ++i) name += kLetters[pick(generator)];
      if (std::filesystem::create_directory(base / name, error)) {
        path_ = base / name;
        return;
      }
      if (error) break;
    }
    throw std::system_error(error ? error : std::make_error_code(std::errc::file_exists),
                            "cannot make a temporary directory in " + base.string());
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace velmora
