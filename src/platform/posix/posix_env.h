#pragma once

#include "platform/env.h"

namespace velmora {

// The real world: the user's own storage directory (XDG_DATA_HOME or
// ~/.local/share, see storage_directory.h), the system clock, the file
// system, and the launch of a real application. Errors are the operating
// system's own, naming the path. Stateless: one instance serves every
// thread. Only main makes one.
class PosixEnv final : public Env {
 public:
  Result<std::filesystem::path> storageDirectory() override;
  double now() override;
  Result<bool> createDirectory(const std::filesystem::path& dir) override;
  Result<std::string> readFile(const std::filesystem::path& file, std::size_t maxBytes) override;
  Status readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                          const ByteSink& piece) override;
  Result<std::unique_ptr<WritableFile>> newTemporaryFile(const std::filesystem::path& target,
                                                         std::filesystem::path& created) override;
  Status syncDirectory(const std::filesystem::path& dir) override;
  Status renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) override;
  Result<FileStatus> fileStatus(const std::filesystem::path& path) override;
  Result<FileIdentity> fileIdentity(const std::filesystem::path& file) override;
  Status removeFile(const std::filesystem::path& file) override;
  Status openApplication(const std::filesystem::path& applicationBundle) override;
};

}  // namespace velmora
