#pragma once

#include <filesystem>
#include <optional>
#include <utility>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "storage/env.h"
#include "support/temporary_directory.h"

namespace velmora {

// The storage code working in a directory the caller chose, on the system
// clock.
class DirectoryEnv final : public VelmoraStorage::Env {
 public:
  explicit DirectoryEnv(std::filesystem::path dir) : dir_(std::move(dir)) {}
  Result<std::filesystem::path> storageDirectory() override {
    if (Status made = fs::createDirectories(dir_); !made) return made.error();
    return dir_;
  }
  double now() override { return currentTime(); }

 private:
  std::filesystem::path dir_;
};

// A world of its own for the storage code: the storage directory is
// <root>/Velmora in a scratch directory, made on use as the real one is, and
// the clock reads `time` when it is set, else the system clock.
class TestEnv final : public VelmoraStorage::Env {
 public:
  const std::filesystem::path& root() const { return directory_.path(); }
  const std::filesystem::path& storage() const { return storage_; }
  // Somewhere else, inside or outside root().
  void setStorage(std::filesystem::path dir) { storage_ = std::move(dir); }
  VelmoraStorage::Options options() { return VelmoraStorage::Options{this}; }

  Result<std::filesystem::path> storageDirectory() override {
    std::filesystem::path dir = storage();
    if (Status made = fs::createDirectories(dir); !made) return made.error();
    return dir;
  }
  double now() override { return time ? *time : currentTime(); }

  std::optional<double> time;

 private:
  TemporaryDirectory directory_{"velmora-env"};
  std::filesystem::path storage_ = root() / "Velmora";
};

}  // namespace velmora
