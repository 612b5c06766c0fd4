#pragma once

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/system.h"
#include "storage/options.h"
#include "support/temporary_directory.h"

namespace velmora {

// The real file system, which every test world works on.
inline Env& realFiles() { return systemEnv(); }

// The storage code working in a directory the caller chose, on the system
// clock; a launch is recorded, never made.
class DirectoryEnv : public EnvWrapper {
 public:
  explicit DirectoryEnv(std::filesystem::path dir)
      : EnvWrapper(realFiles()), dir_(std::move(dir)) {}

  const std::filesystem::path& storage() const { return dir_; }
  // Somewhere else, inside or outside the scratch directory.
  void setStorage(std::filesystem::path dir) { dir_ = std::move(dir); }

  Result<std::filesystem::path> storageDirectory() override {
    if (Status made = createDirectories(*this, dir_); !made) return made.error();
    return dir_;
  }
  Result<std::string> openApplication(const std::filesystem::path& bundle) override {
    launched.push_back(bundle);
    return std::string();
  }

  std::vector<std::filesystem::path> launched;

 private:
  std::filesystem::path dir_;
};

// A world of its own for the storage code: the storage directory is
// <root>/Velmora in a scratch directory, made on use as the real one is, and
// the clock reads `time` (Unix time) when it is set, else the system clock.
class TestEnv : public DirectoryEnv {
 public:
  TestEnv() : DirectoryEnv(std::filesystem::path()) { setStorage(root() / "Velmora"); }

  const std::filesystem::path& root() const { return directory_.path(); }
  VelmoraStorage::Options options() { return VelmoraStorage::Options(*this); }

  double now() override { return time ? *time : currentTime(); }

  std::optional<double> time;

 private:
  TemporaryDirectory directory_{"velmora-env"};
};

}  // namespace velmora
