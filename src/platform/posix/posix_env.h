#pragma once

#include "platform/env.h"

namespace velmora {

// The real world on Linux: the user's own storage directory (XDG_DATA_HOME or
// ~/.local/share, see storage_directory.h), the system clock, the file
// system, and the launch of a real application. Errors are the operating
// system's own, naming the path. Stateless: one instance serves every
// thread; systemEnv() (platform/system.h) is that instance.
class PosixEnv final : public Env {
 public:
  Result<std::filesystem::path> storageDirectory() override;
  double now() override;
  std::optional<std::string> fileNameProblem(std::string_view name) override;
  Result<bool> createDirectory(const std::filesystem::path& dir) override;
  Result<std::string> readFile(const std::filesystem::path& file, std::size_t maxBytes) override;
  Status readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                          const ByteSink& piece) override;
  Result<std::unique_ptr<WritableFile>> newTemporaryFile(const std::filesystem::path& target,
                                                         std::filesystem::path& created) override;
  Result<std::unique_ptr<WritableFile>> newTemporaryCopy(const std::filesystem::path& source,
                                                         const FileIdentity& expected,
                                                         const std::filesystem::path& target,
                                                         std::filesystem::path& created) override;
  Status syncDirectory(const std::filesystem::path& dir) override;
  Status renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) override;
  Result<FileInfo> examine(const std::filesystem::path& path) override;
  Status removeFile(const std::filesystem::path& file) override;
  std::filesystem::path executablePath() override;
  Result<std::string> openApplication(const std::filesystem::path& applicationFolder) override;
};

}  // namespace velmora
