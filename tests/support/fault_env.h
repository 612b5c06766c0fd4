#pragma once

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/os_error.h"

// A world that fails on request, in the manner of LevelDB's fault injection
// Env: it fails one call of an operation with an errno, answers a write with
// a short write, or cuts the power at a call, after which only what was made
// durable survives.
namespace velmora {

enum class EnvOp {
  kCreateDirectory,
  kReadFile,
  kReadFileInPieces,
  kNewTemporaryFile,
  kNewTemporaryCopy,
  kAppend,
  kSync,
  kClose,
  kSyncDirectory,
  kRenameFile,
  kListDirectory,
  kExamine,
  kRemoveFile,
  kOpenApplication,
};

inline const char* opName(EnvOp op) {
  static const char* const names[] = {"createDirectory",
                                      "readFile",
                                      "readFileInPieces",
                                      "newTemporaryFile",
                                      "newTemporaryCopy",
                                      "append",
                                      "sync",
                                      "close",
                                      "syncDirectory",
                                      "renameFile",
                                      "listDirectory",
                                      "examine",
                                      "removeFile",
                                      "openApplication"};
  return names[static_cast<int>(op)];
}

struct EnvCall {
  EnvOp op;
  std::filesystem::path path;
};

// What happens at the chosen call: the nth call of an operation, counting
// from 0.
struct EnvFault {
  enum class Kind {
    kNone,
    kError,       // the call fails with `errnum` and does nothing; a copy that
                  // the system refuses with it (isCopyRefusal) answers so instead
    kShortWrite,  // an append writes half its bytes, then fails with ENOSPC
    kPowerCut,    // the power goes before the call: it and every later one fail with EIO
  };
  Kind kind = Kind::kNone;
  EnvOp op = EnvOp::kCreateDirectory;
  std::size_t nth = 0;
  int errnum = 0;
};

// Durability follows what POSIX and Linux promise: a file's bytes are
// durable once the file is synced, and a name (created, renamed or removed)
// once its directory is synced; a directory made anew is an entry of its
// parent like any other. (Windows promises more, a rename written through is
// durable at once, so the model holds there too.) After a cut,
// restoreDurableState() puts the tree under `root` back to exactly that.
// Files are told apart by the identity the wrapped Env examines.
class FaultEnv final : public EnvWrapper {
 public:
  // The errors with which the system refuses a copy it cannot make; the copy
  // then answers that it was not made, and the writer encodes instead.
  static bool isCopyRefusal(int errnum) {
    return errnum == EXDEV || errnum == ENOSYS || errnum == EOPNOTSUPP || errnum == EINVAL;
  }

  // `storage` is answered as the storage directory, made on use; `root`
  // holds it and everything the cut may change.
  FaultEnv(Env& target, std::filesystem::path root, std::filesystem::path storage)
      : EnvWrapper(target), root_(std::move(root)), storage_(std::move(storage)) {
    markDurable();
  }

  void inject(EnvFault fault) { fault_ = fault; }
  const std::vector<EnvCall>& calls() const { return calls_; }
  bool powerIsOut() const { return powerOut_; }
  const std::vector<std::filesystem::path>& launched() const { return launched_; }

  // Takes everything now on disk under root as durable, as after a sync of
  // the whole system.
  void markDurable() {
    durableDirs_.clear();
    durableData_.clear();
    ids_.clear();
    walk(root_);
  }

  // Cuts the power now, between calls.
  void cutPower() { powerOut_ = true; }

  // What the next boot finds: every name and byte not made durable is gone.
  void restoreDurableState() {
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
      std::filesystem::remove_all(entry.path());
    }
    rebuild(root_);
    powerOut_ = false;
    markDurable();
  }

  Result<std::filesystem::path> storageDirectory() override {
    if (Status made = createDirectories(*this, storage_); !made) return made.error();
    return storage_;
  }
  Result<bool> createDirectory(const std::filesystem::path& dir) override {
    if (auto failed = enter(EnvOp::kCreateDirectory, dir, "cannot create directory")) {
      return *failed;
    }
    return target().createDirectory(dir);
  }
  Result<std::string> readFile(const std::filesystem::path& file, std::size_t maxBytes) override {
    if (auto failed = enter(EnvOp::kReadFile, file, "cannot read")) return *failed;
    return target().readFile(file, maxBytes);
  }
  Status readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                          const ByteSink& piece) override {
    if (auto failed = enter(EnvOp::kReadFileInPieces, file, "cannot read")) return *failed;
    return target().readFileInPieces(file, maxBytes, piece);
  }
  Result<std::unique_ptr<WritableFile>> newTemporaryFile(const std::filesystem::path& file,
                                                         std::filesystem::path& created) override {
    if (auto failed = enter(EnvOp::kNewTemporaryFile, file, "cannot create a temporary file for")) {
      return *failed;
    }
    Result<std::unique_ptr<WritableFile>> made = target().newTemporaryFile(file, created);
    if (!made) return made;
    idOf(created, /*fresh=*/true);
    return std::unique_ptr<WritableFile>(
        std::make_unique<File>(*this, std::move(*made), file, created));
  }
  // The copied bytes are unsynced writes like any others until sync.
  Result<std::unique_ptr<WritableFile>> newTemporaryCopy(const std::filesystem::path& source,
                                                         const FileIdentity& expected,
                                                         const std::filesystem::path& file,
                                                         std::filesystem::path& created) override {
    if (auto failed = enter(EnvOp::kNewTemporaryCopy, file, "cannot write")) {
      if (isCopyRefusal(failed->code) && !powerOut_) return std::unique_ptr<WritableFile>();
      return *failed;
    }
    Result<std::unique_ptr<WritableFile>> made =
        target().newTemporaryCopy(source, expected, file, created);
    if (!made || *made == nullptr) return made;
    idOf(created, /*fresh=*/true);
    return std::unique_ptr<WritableFile>(
        std::make_unique<File>(*this, std::move(*made), file, created));
  }
  Status syncDirectory(const std::filesystem::path& dir) override {
    if (auto failed = enter(EnvOp::kSyncDirectory, dir, kSyncing)) return *failed;
    Status synced = target().syncDirectory(dir);
    if (synced) recordDirectory(dir);
    return synced;
  }
  Status renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (auto failed = enter(EnvOp::kRenameFile, to, "cannot replace")) return *failed;
    return target().renameFile(from, to);
  }
  Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) override {
    if (auto failed = enter(EnvOp::kListDirectory, dir, "cannot list directory")) return *failed;
    return target().listDirectory(dir);
  }
  Result<FileInfo> examine(const std::filesystem::path& path) override {
    if (auto failed = enter(EnvOp::kExamine, path, "cannot examine")) return *failed;
    return target().examine(path);
  }
  Status removeFile(const std::filesystem::path& file) override {
    if (auto failed = enter(EnvOp::kRemoveFile, file, "cannot remove")) return *failed;
    return target().removeFile(file);
  }
  Result<std::string> openApplication(const std::filesystem::path& bundle) override {
    if (auto failed = enter(EnvOp::kOpenApplication, bundle, "cannot run")) return *failed;
    launched_.push_back(bundle);
    return std::string();
  }

 private:
  struct Entry {
    bool directory = false;
    std::uint64_t id = 0;  // a file's
  };

  class File final : public WritableFile {
   public:
    File(FaultEnv& env, std::unique_ptr<WritableFile> file, std::filesystem::path target,
         std::filesystem::path path)
        : env_(env), file_(std::move(file)), target_(std::move(target)), path_(std::move(path)) {}
    Status append(std::string_view bytes) override {
      if (auto failed = env_.enter(EnvOp::kAppend, target_, "cannot write")) {
        if (env_.shortWrite_) {
          env_.shortWrite_ = false;
          (void)file_->append(bytes.substr(0, bytes.size() / 2));
        }
        return *failed;
      }
      return file_->append(bytes);
    }
    Status sync() override {
      if (auto failed = env_.enter(EnvOp::kSync, target_, kSyncing)) return *failed;
      Status synced = file_->sync();
      if (synced) env_.durableData_[env_.idOf(path_, false)] = contents(path_);
      return synced;
    }
    Status close() override {
      if (auto failed = env_.enter(EnvOp::kClose, target_, "cannot close")) return *failed;
      return file_->close();
    }

   private:
    FaultEnv& env_;
    std::unique_ptr<WritableFile> file_;
    std::filesystem::path target_;
    std::filesystem::path path_;
  };

  static std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The action of a sync, which the real Envs word as syncError does.
  static constexpr const char* kSyncing = nullptr;

  // Counts the call; the error it must answer with, if any, worded as the
  // real one would be.
  std::optional<Error> enter(EnvOp op, const std::filesystem::path& path, const char* action) {
    calls_.push_back({op, path});
    const auto failure = [&](int errnum) {
      return action == kSyncing ? syncError(path, errnum) : osError(action, path, errnum);
    };
    const bool chosen = op == fault_.op && callsOf_[op]++ == fault_.nth;
    if (chosen && fault_.kind == EnvFault::Kind::kPowerCut) powerOut_ = true;
    if (powerOut_) return failure(EIO);
    if (!chosen) return std::nullopt;
    if (fault_.kind == EnvFault::Kind::kError) return failure(fault_.errnum);
    if (fault_.kind == EnvFault::Kind::kShortWrite && op == EnvOp::kAppend) {
      shortWrite_ = true;
      return failure(ENOSPC);
    }
    return std::nullopt;
  }

  std::uint64_t idOf(const std::filesystem::path& file, bool fresh) {
    Result<FileInfo> info = target().examine(file);
    if (!info) return 0;
    std::uint64_t& id = ids_[{info->identity.device, info->identity.inode}];
    if (id == 0 || fresh) id = ++lastId_;
    return id;
  }

  void recordDirectory(const std::filesystem::path& dir) {
    std::map<std::filesystem::path, Entry>& entries = durableDirs_[dir];
    entries.clear();
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      const auto status = entry.symlink_status();
      if (std::filesystem::is_directory(status)) {
        entries[entry.path().filename()] = Entry{true, 0};
      } else if (std::filesystem::is_regular_file(status)) {
        entries[entry.path().filename()] = Entry{false, idOf(entry.path(), false)};
      }
    }
  }

  void walk(const std::filesystem::path& dir) {
    recordDirectory(dir);
    for (const auto& [name, entry] : durableDirs_[dir]) {
      if (entry.directory) {
        walk(dir / name);
      } else {
        durableData_[entry.id] = contents(dir / name);
      }
    }
  }

  void rebuild(const std::filesystem::path& dir) {
    const auto found = durableDirs_.find(dir);
    if (found == durableDirs_.end()) return;
    for (const auto& [name, entry] : found->second) {
      if (entry.directory) {
        std::filesystem::create_directory(dir / name);
        rebuild(dir / name);
      } else {
        // A name made durable before its bytes were leaves an empty file.
        const auto data = durableData_.find(entry.id);
        std::ofstream(dir / name, std::ios::binary)
            << (data == durableData_.end() ? std::string() : data->second);
      }
    }
  }

  std::filesystem::path root_;
  std::filesystem::path storage_;
  EnvFault fault_;
  std::vector<EnvCall> calls_;
  std::map<EnvOp, std::size_t> callsOf_;
  bool powerOut_ = false;
  bool shortWrite_ = false;
  std::vector<std::filesystem::path> launched_;
  // Per directory, its names as of its last sync; per file, its bytes as of
  // its last sync.
  std::map<std::filesystem::path, std::map<std::filesystem::path, Entry>> durableDirs_;
  std::map<std::uint64_t, std::string> durableData_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> ids_;
  std::uint64_t lastId_ = 0;
};

}  // namespace velmora
