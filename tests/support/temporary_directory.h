#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

// For tests: scratch directories that clean up after themselves, so that no
// test touches the real home or leaves files behind.
namespace velmora {

// A fresh, empty directory under the system's temporary directory, removed
// with everything in it when the object goes. Throws when none can be made:
// a test without its directory must not run against some other path.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(std::string_view prefix = "velmora") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
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
