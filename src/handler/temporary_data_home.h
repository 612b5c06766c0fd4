#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

// For tests: a fresh, empty XDG_DATA_HOME for the lifetime of the object, so
// the storage directory is <root>/Velmora; the previous value comes back
// afterwards.
namespace velmora {

class TemporaryDataHome {
 public:
  TemporaryDataHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-data-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) root_ = pattern;
    if (const char* old = ::getenv("XDG_DATA_HOME")) previous_ = old;
    ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
  }
  ~TemporaryDataHome() {
    if (previous_) {
      ::setenv("XDG_DATA_HOME", previous_->c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TemporaryDataHome(const TemporaryDataHome&) = delete;
  TemporaryDataHome& operator=(const TemporaryDataHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path storage() const { return root_ / "Velmora"; }

 private:
  std::filesystem::path root_;
  std::optional<std::string> previous_;
};

}  // namespace velmora
