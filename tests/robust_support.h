#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host_process.h"
#include "model/tab_snapshot.h"
#include "storage/command_queue.h"
#include "storage/history.h"
#include "support/messages.h"
#include "support/scan_time.h"
#include "support/command_file.h"

// Helpers for the tests that kill, crowd and feed hostile input to the host:
// a walk over the storage directory that checks every document in it, a
// picture of a directory tree, and the peak memory of a host.
namespace velmora::testing {

// Memory figures and timings mean little under the sanitizers, which add
// shadow memory and slow everything down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// What a walk over the storage directory found. Every document must decode
// whole; the only other files allowed are temporary files, whose names never
// end in ".json". Links are never followed.
struct StorageState {
  std::vector<std::string> problems;
  std::optional<TabSnapshot> snapshot;
  std::map<std::string, TabSnapshot> history;
  std::vector<VelmoraStorage::Command> commands;
  int temporaries = 0;
};

namespace detail {

inline bool endsWithJson(const std::string& name) {
  return name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0;
}

inline std::optional<TabSnapshot> decodeSnapshotFile(const std::filesystem::path& file,
                                                     std::vector<std::string>& problems) {
  Result<TabSnapshot> decoded = decodeSnapshot(readText(file));
  if (decoded) return std::move(*decoded);
  problems.push_back(file.string() + " is not a whole document: " + decoded.error().description);
  return std::nullopt;
}

inline void inspectCommand(const std::filesystem::path& file, StorageState& state) {
  boost::system::error_code ec;
  const boost::json::value value = boost::json::parse(readText(file), ec);
  Result<VelmoraStorage::Command> command =
      ec ? Result<VelmoraStorage::Command>(Error{ec.message()})
         : decodeCommand(value);
  if (command) {
    state.commands.push_back(std::move(*command));
  } else {
    state.problems.push_back(file.string() +
                             " is not a whole command: " + command.error().description);
  }
}

// A file that is no document must be a temporary one.
inline void expectTemporary(const std::filesystem::directory_entry& entry, StorageState& state) {
  if (std::filesystem::is_regular_file(entry.symlink_status()) &&
      !endsWithJson(entry.path().filename().string())) {
    ++state.temporaries;
  } else {
    state.problems.push_back("unexpected entry " + entry.path().string());
  }
}

}  // namespace detail

inline StorageState inspectStorage(const std::filesystem::path& storage) {
  StorageState state;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(storage, ec)) {
    const std::string name = entry.path().filename().string();
    if (name == "snapshot.v1.json" && std::filesystem::is_regular_file(entry.symlink_status())) {
      state.snapshot = detail::decodeSnapshotFile(entry.path(), state.problems);
    } else if (name == "history" && entry.is_directory() && !entry.is_symlink()) {
      for (const auto& copy : std::filesystem::directory_iterator(entry.path())) {
        const std::string copyName = copy.path().filename().string();
        if (!std::filesystem::is_regular_file(copy.symlink_status()) ||
            !detail::endsWithJson(copyName)) {
          detail::expectTemporary(copy, state);
          continue;
        }
        if (auto document = detail::decodeSnapshotFile(copy.path(), state.problems)) {
          state.history.emplace(copyName, std::move(*document));
        }
      }
    } else if (name == "commands" && entry.is_directory() && !entry.is_symlink()) {
      for (const auto& file : std::filesystem::directory_iterator(entry.path())) {
        if (std::filesystem::is_regular_file(file.symlink_status()) &&
            detail::endsWithJson(file.path().filename().string())) {
          detail::inspectCommand(file.path(), state);
        } else {
          detail::expectTemporary(file, state);
        }
      }
    } else {
      detail::expectTemporary(entry, state);
    }
  }
  return state;
}

// Every entry under `root` (links not followed) with what identifies its
// state: the link target, "dir", or the file's inode, size and time of
// change, any of which a write in place or a replacement changes. Entries
// for which `skip` holds are left out, with everything below them.
template <class Skip>
std::map<std::string, std::string> treePicture(const std::filesystem::path& root, Skip skip) {
  std::map<std::string, std::string> picture;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(root, ec), end;
  for (; it != end; it.increment(ec)) {
    const std::filesystem::path& path = it->path();
    if (skip(path)) {
      if (it->is_directory() && !it->is_symlink()) it.disable_recursion_pending();
      continue;
    }
    const std::string key = path.lexically_relative(root).string();
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
      picture[key] = "gone";
    } else if (S_ISLNK(info.st_mode)) {
      picture[key] = "link to " + std::filesystem::read_symlink(path).string();
    } else if (S_ISDIR(info.st_mode)) {
      picture[key] = "dir";
    } else {
      picture[key] = "file of " + std::to_string(info.st_size) + " bytes, inode " +
                     std::to_string(info.st_ino) + ", changed " +
                     std::to_string(info.st_ctim.tv_sec) + "." +
                     std::to_string(info.st_ctim.tv_nsec);
    }
  }
  return picture;
}

// Peak resident memory in KiB of a running host so far (VmHWM). The exit
// usage (ru_maxrss) would not do: posix_spawn starts the child in the
// parent's address space, and exec carries the parent's peak over.
inline std::optional<long> peakMemoryKiB(pid_t pid) {
  std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

}  // namespace velmora::testing
