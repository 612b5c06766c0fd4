#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace velmora {

// The real world on Windows: the storage directory in the user's Local
// AppData folder (storage_directory.h), the system clock, the file system
// through Win32 with UTF-16 paths in their \\?\ form, and the launch of
// Nelo.exe. Files and folders are made with the default security, so they
// inherit the ACL of the user's profile and nobody else gains access. Errors
// are the system's own texts, naming the path, with the errno they mean as
// code. Stateless: one instance serves every thread; systemEnv()
// (platform/system.h) is that instance.
class WindowsEnv final : public Env {
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

// Why Windows cannot take `name` as a file name: a character it forbids
// (< > : " / \ | ? *), a control character, a trailing dot or space, a
// device name it reserves (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an
// extension), more than 255 UTF-16 units, or text that is not UTF-8.
std::optional<std::string> windowsFileNameProblem(std::string_view name);

// How long a replace refused because another process holds the file (a
// virus scanner, an indexer, another host reading it) is retried.
inline constexpr int kReplaceRetryMilliseconds = 1000;

}  // namespace velmora
