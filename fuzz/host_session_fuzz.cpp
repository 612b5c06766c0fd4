// A whole session of the host: the input is everything the browser writes to
// the host's standard input (frames, lengths, JSON, envelopes, actions). The
// host loop serves it with the real handler against a scratch storage
// directory, and the session must keep the protocol: one well-formed reply per
// complete frame, in order, each no larger than browsers accept, of the shape
// the message asks for; the right exit status; nothing on standard output but
// through the reply channel; and a stored snapshot that keeps its invariants.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include "base/json.h"
#include <boost/json/value.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz_check.h"
#include "handler/replies.h"
#include "handler/safari_web_extension_handler.h"
#include "model/first_seen_map.h"
#include "model/tab_snapshot.h"
#include "platform/host_loop.h"
#include "platform/native_messaging.h"
#include "storage/command_queue.h"
#include "storage/save_snapshot.h"
#include "platform/posix/storage_directory.h"
#include "support/recording_log.h"
#include "support/test_env.h"
#include "support/command_file.h"

namespace {

namespace stdfs = std::filesystem;
using velmora::fuzz::check;
using velmora::fuzz::fail;

constexpr char kInvalidMessage[] = "Ungültige Nachricht";

struct Harness {
  stdfs::path scratch;   // removed at exit
  stdfs::path storage;   // <scratch>/Velmora, where the handler stores
  int input = -1;        // what the session reads as its standard input
  int output = -1;       // where its replies go
  int stdoutProbe = -1;  // this process's standard output, to see it stays empty
};

Harness& harness() {
  static Harness h;
  return h;
}

int memoryFile(const char* name) {
  const int fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create", std::strerror(errno));
  return fd;
}

// tmpfs keeps the durable writes of every saved snapshot cheap.
stdfs::path scratchDirectory() {
  std::string pattern = ::access("/dev/shm", W_OK) == 0
                            ? std::string("/dev/shm/velmora-fuzz-XXXXXX")
                            : (stdfs::temp_directory_path() / "velmora-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp", std::strerror(errno));
  return pattern;
}

void removeScratchDirectory() {
  std::error_code ignored;
  stdfs::remove_all(harness().scratch, ignored);
}

// The settings file is not part of standard input; which of three states it
// is in follows from the input's length, so every input replays the same.
void resetStorage(std::size_t inputSize) {
  const Harness& h = harness();
  std::error_code error;
  stdfs::remove_all(h.storage, error);
  if (error) fail("cannot clear the storage directory", error.message());
  const int variant = static_cast<int>(inputSize % 3);
  if (variant == 0) return;
  stdfs::create_directories(h.storage, error);
  std::ofstream settings(h.storage / "extension-settings.json", std::ios::binary);
  settings << (variant == 1 ? R"({"enabled":true,"badge":{"color":"#3366ff","count":2.5}})"
                            : R"(["not", "an", "object"])");
}

void resetFile(int fd, std::string_view contents) {
  if (::ftruncate(fd, 0) != 0) fail("ftruncate", std::strerror(errno));
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n =
        ::pwrite(fd, contents.data() + done, contents.size() - done, static_cast<off_t>(done));
    if (n <= 0) fail("pwrite", std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek", std::strerror(errno));
}

std::string fileContents(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) fail("fstat", std::strerror(errno));
  std::string contents(static_cast<std::size_t>(status.st_size), '\0');
  if (!contents.empty() &&
      ::pread(fd, contents.data(), contents.size(), 0) != static_cast<ssize_t>(contents.size())) {
    fail("pread", std::strerror(errno));
  }
  return contents;
}

// How the session must end, read from the input's framing alone.
struct ExpectedSession {
  std::vector<std::string_view> messages;  // the bodies of the complete frames
  int status = 0;
};

ExpectedSession expectedSession(std::string_view input) {
  ExpectedSession expected;
  while (!input.empty()) {
    std::uint32_t length = 0;
    if (input.size() < sizeof length) return {expected.messages, 1};
    std::memcpy(&length, input.data(), sizeof length);
    input.remove_prefix(sizeof length);
    // An oversized frame is only ever answered once all of it has been read.
    if (input.size() < length) return {expected.messages, 1};
    if (length > velmora::kMaxMessageBytes) fail("input larger than any fuzz input should be");
    expected.messages.push_back(input.substr(0, length));
    input.remove_prefix(length);
  }
  return expected;
}

std::vector<std::string_view> replyFrames(std::string_view output) {
  std::vector<std::string_view> replies;
  while (!output.empty()) {
    std::uint32_t length = 0;
    check(output.size() >= sizeof length, "a reply frame has a whole header", output);
    std::memcpy(&length, output.data(), sizeof length);
    output.remove_prefix(sizeof length);
    check(length <= velmora::kMaxReplyBytes, "no reply exceeds the browsers' limit");
    check(output.size() >= length, "a reply frame has its whole body", output);
    replies.push_back(output.substr(0, length));
    output.remove_prefix(length);
  }
  return replies;
}

// What the message asks for, judged from its JSON alone: an unusable
// envelope (not a JSON object), a message not recognised, or an action.
enum class Asked { envelope, invalid, command, snapshot };

struct Request {
  Asked asked = Asked::invalid;
  std::string command;
  std::size_t tabCount = 0;
};

const boost::json::string* stringMember(const boost::json::object& message, std::string_view key) {
  const boost::json::value* value = message.if_contains(key);
  return value == nullptr ? nullptr : value->if_string();
}

Request requestOf(std::string_view body) {
  boost::system::error_code error;
  const boost::json::value value = velmora::parseJson(body, error);
  if (error || !value.is_object()) return {Asked::envelope, {}, 0};
  const boost::json::object& message = value.get_object();

  const boost::json::string* action = stringMember(message, "action");
  if (action == nullptr) return {};
  if (*action == "command") {
    if (const boost::json::string* command = stringMember(message, "command")) {
      return {Asked::command, std::string(*command), 0};
    }
  }
  if (*action == "saveSnapshot" && stringMember(message, "scannedAt") != nullptr) {
    const boost::json::value* tabs = message.if_contains("tabs");
    if (tabs != nullptr && tabs->is_array()) {
      for (const boost::json::value& tab : tabs->get_array()) {
        if (!tab.is_object()) return {};
      }
      return {Asked::snapshot, {}, tabs->get_array().size()};
    }
  }
  return {};
}

bool isStatusText(std::string_view text) {
  for (const char* command : {"saveCurrent", "saveAll", "saveAndClose", "cleanUp", "openApp"}) {
    if (text == velmora::replies::statusText(command)) return true;
  }
  return false;
}

struct Outcome {
  bool ok = false;
  std::string error;
};

// Checks one reply against its request.
Outcome checkReply(const Request& request, std::string_view bytes) {
  const std::string context(bytes);
  boost::system::error_code error;
  const boost::json::value value = boost::json::parse(bytes, error);
  check(!error && value.is_object(), "every reply is a JSON object", context);
  const boost::json::object& reply = value.get_object();
  const boost::json::value* ok = reply.if_contains("ok");
  check(ok != nullptr && ok->is_bool(), "every reply carries \"ok\" as a boolean", context);
  check(!(reply.contains("error") && reply.contains("message")),
        "no reply carries both \"error\" and \"message\"", context);

  if (!ok->get_bool()) {
    const boost::json::value* text = reply.if_contains("error");
    check(text != nullptr && text->is_string() && !text->get_string().empty(),
          "a failed reply says why", context);
    check(reply.size() == 2, "a failed reply holds nothing else", context);
    if (request.asked == Asked::envelope || request.asked == Asked::invalid) {
      check(text->get_string() == kInvalidMessage, "an unusable message is answered as such",
            context);
    }
    return {false, std::string(text->get_string())};
  }

  check(request.asked == Asked::command || request.asked == Asked::snapshot,
        "an unusable message never succeeds", context);
  if (request.asked == Asked::command) {
    const boost::json::value* message = reply.if_contains("message");
    check(reply.size() == 2 && message != nullptr && message->is_string() &&
              message->get_string() == velmora::replies::statusText(request.command) &&
              isStatusText(message->get_string()),
          "a command is answered with its status text", context);
    return {true, {}};
  }
  const boost::json::value* count = reply.if_contains("count");
  const boost::json::value* badge = reply.if_contains("badge");
  check(reply.size() == 3 && count != nullptr && count->is_int64() && badge != nullptr &&
            badge->is_object(),
        "a stored snapshot is answered with its count and the settings", context);
  check(count->get_int64() == static_cast<std::int64_t>(request.tabCount),
        "the count is the number of tabs sent", context);
  return {true, {}};
}

// The log line a request leaves, if any: an unrecognised message and every
// failed action are logged as errors, a stored snapshot as information, an
// unusable envelope and a command that went through not at all.
std::optional<velmora::LogRecord> expectedLogRecord(const Request& request,
                                                    const Outcome& outcome) {
  using velmora::LogLevel;
  velmora::LogRecord record{"local.velmora", "extension", LogLevel::error, {}};
  switch (request.asked) {
    case Asked::envelope:
      return std::nullopt;
    case Asked::invalid:
      record.text = "Ungültige Nachricht von Safari";
      return record;
    case Asked::command:
      if (outcome.ok) return std::nullopt;
      record.text = "Befehl fehlgeschlagen: " + outcome.error;
      return record;
    case Asked::snapshot:
      if (outcome.ok) {
        record.level = LogLevel::info;
        record.text = "Snapshot gespeichert: " + std::to_string(request.tabCount) + " Tabs";
      } else {
        record.text = "Speichern fehlgeschlagen: " + outcome.error;
      }
      return record;
  }
  return std::nullopt;
}

// After a session whose last save succeeded, the document on disk holds that
// many tabs, and its first-seen map has exactly one key per distinct
// normalised address of a tab with an address.
void checkStoredSnapshot(std::size_t tabCount) {
  const stdfs::path file = harness().storage / velmora::VelmoraStorage::kSnapshotFileName;
  auto bytes = velmora::realFiles().readFile(file, SIZE_MAX);
  check(bytes.ok(), "a stored snapshot can be read back");
  auto snapshot = velmora::decodeSnapshot(*bytes);
  check(snapshot.ok(), "a stored snapshot decodes", *bytes);
  check(snapshot->tabs.size() == tabCount, "the stored snapshot holds the last tabs sent", *bytes);
  check(snapshot->firstSeen.has_value(), "a stored snapshot has its first-seen map", *bytes);

  velmora::FirstSeenMap pages;
  for (const velmora::SafariTab& tab : snapshot->tabs) {
    if (!tab.url.empty()) pages.set(tab.normalizedURL(), "");
  }
  check(pages.size() == snapshot->firstSeen->size(), "one first-seen entry per open page", *bytes);
  for (const auto& [page, ignored] : pages) {
    check(snapshot->firstSeen->find(page) != nullptr, "every open page has a first-seen entry",
          *bytes);
  }
}

void checkCommandFiles(std::size_t queued) {
  const stdfs::path dir = harness().storage / "commands";
  std::size_t files = 0;
  std::error_code error;
  for (const auto& entry : stdfs::directory_iterator(dir, error)) {
    ++files;
    auto bytes = velmora::realFiles().readFile(entry.path(), SIZE_MAX);
    check(bytes.ok(), "a command file can be read back");
    boost::system::error_code parseError;
    const boost::json::value document = boost::json::parse(*bytes, parseError);
    check(!parseError && velmora::decodeCommand(document).ok(),
          "a command file decodes", *bytes);
  }
  check(files == queued, "one command file per queued command");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Harness& h = harness();
  h.scratch = scratchDirectory();
  h.storage = h.scratch / velmora::kStorageDirectoryName;
  std::atexit(removeScratchDirectory);

  h.input = memoryFile("session-input");
  h.output = memoryFile("session-output");
  // Anything written to this process's standard output is a stray byte the
  // browser would read as a reply.
  h.stdoutProbe = memoryFile("stdout-probe");
  std::fflush(stdout);
  if (::dup2(h.stdoutProbe, STDOUT_FILENO) < 0) fail("dup2", std::strerror(errno));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Harness& h = harness();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  resetStorage(size);
  resetFile(h.input, input);
  resetFile(h.output, {});

  // A world whose launches are recorded, never made.
  velmora::DirectoryEnv env(h.storage);
  velmora::RecordingLog log;
  velmora::SafariWebExtensionHandler handler(env, log.sink());
  const int status = velmora::serveMessages(h.input, h.output, handler);

  const ExpectedSession expected = expectedSession(input);
  check(status == expected.status, "the exit status follows from where the input ended", input);
  std::fflush(stdout);
  check(fileContents(h.stdoutProbe).empty(), "nothing is written to standard output");

  const std::string output = fileContents(h.output);
  const std::vector<std::string_view> replies = replyFrames(output);
  check(replies.size() == expected.messages.size(), "one reply per complete frame", input);

  std::optional<Request> lastSave;
  bool lastSaveStored = false;
  std::size_t queued = 0;
  std::vector<velmora::LogRecord> expectedRecords;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    const Request request = requestOf(expected.messages[i]);
    const Outcome outcome = checkReply(request, replies[i]);
    if (auto record = expectedLogRecord(request, outcome)) expectedRecords.push_back(*record);
    if (request.asked == Asked::snapshot) {
      lastSave = request;
      lastSaveStored = outcome.ok;
    }
    if (request.asked == Asked::command && request.command != "openApp" && outcome.ok) ++queued;
  }
  if (lastSave && lastSaveStored) checkStoredSnapshot(lastSave->tabCount);
  checkCommandFiles(queued);

  // Input that ends inside a frame is logged last, with the reason.
  if (expected.status == 1) {
    check(!log.records.empty() && log.records.back().level == velmora::LogLevel::error &&
              log.records.back().text.starts_with("Nachricht nicht empfangen: "),
          "input that ends inside a frame is logged", input);
    log.records.pop_back();
  }
  check(log.records.size() == expectedRecords.size(), "one log line per logged outcome", input);
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    check(log.records[i] == expectedRecords[i], "each outcome is logged as it should be",
          log.records[i].text);
  }
  return 0;
}
