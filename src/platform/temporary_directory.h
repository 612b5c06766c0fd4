#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

// For tests: scratch directories and environment variables that clean up after
// themselves, so that no test touches the real home or leaves files behind.
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

// Sets an environment variable for the lifetime of the object; the previous
// value, or its absence, comes back afterwards.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = ::getenv(name_.c_str())) previous_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnvironmentVariable() {
    if (previous_) {
      ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// A fresh, empty XDG_DATA_HOME for the lifetime of the object, so the storage
// directory is <root>/Velmora.
class TemporaryDataHome {
 public:
  TemporaryDataHome() : directory_("velmora-data"), dataHome_("XDG_DATA_HOME", root().string()) {}

  const std::filesystem::path& root() const { return directory_.path(); }
  std::filesystem::path storage() const { return root() / "Velmora"; }

 private:
  // Declared in this order so the variable is put back before the tree goes.
  TemporaryDirectory directory_;
  ScopedEnvironmentVariable dataHome_;
};

}  // namespace velmora
