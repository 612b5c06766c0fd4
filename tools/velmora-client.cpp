// velmora-client: talks native messaging to a host the way a browser does, for
// trying a host by hand and for scripted demonstrations.
//
//   velmora-client [--one-shot] --host PATH [MESSAGE...]
//   velmora-client --stdio MESSAGE...
//   velmora-client --help
//
// Each MESSAGE (or, without any, each non-blank line of standard input) is sent
// byte for byte as one frame, so malformed messages can be sent too. With
// --host the client starts PATH with pipes for its standard input and output
// (its standard error stays ours, where its log lines appear); --one-shot
// starts it anew for every message, as a browser does for a one-off message.
// With --stdio the frames go to standard output and the replies are read from
// standard input, and the readable transcript goes to standard error.
//
// Exit status: 0 when every message was answered and every host ended with
// status 0; 1 otherwise; 2 for a usage error.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/native_messaging.h"
#include "platform/os_error.h"
#include "base/status.h"

extern char** environ;

namespace velmora {
namespace {

// Containers whose compact text fits in this many columns stay on one line.
constexpr std::size_t kLineWidth = 100;

constexpr char kUsage[] =
    "usage: velmora-client [--one-shot] --host PATH [MESSAGE...]\n"
    "       velmora-client --stdio MESSAGE...\n"
    "       velmora-client --help\n"
    "Sends each MESSAGE (or each non-blank line of standard input) as one native\n"
    "messaging frame and prints every request and reply.\n";

struct Options {
  std::optional<std::string> host;
  bool oneShot = false;
  bool stdio = false;
  std::vector<std::string> messages;
};

// Indented JSON in which small containers stay on one line.
void prettyPrint(std::ostream& out, const boost::json::value& value, std::size_t indent) {
  const std::string compact = boost::json::serialize(value);
  const bool container = value.is_object() || value.is_array();
  if (!container || indent + compact.size() <= kLineWidth) {
    out << compact;
    return;
  }
  const std::string inner(indent + 2, ' ');
  bool first = true;
  if (value.is_object()) {
    const auto& object = value.get_object();
    out << "{\n";
    for (const auto& member : object) {
      out << (first ? "" : ",\n") << inner << boost::json::serialize(member.key()) << ": ";
      prettyPrint(out, member.value(), indent + 2);
      first = false;
    }
    out << '\n' << std::string(indent, ' ') << '}';
  } else {
    out << "[\n";
    for (const auto& element : value.get_array()) {
      out << (first ? "" : ",\n") << inner;
      prettyPrint(out, element, indent + 2);
      first = false;
    }
    out << '\n' << std::string(indent, ' ') << ']';
  }
}

// Shows bytes as JSON when they are JSON, else as they are with a note.
void show(std::ostream& out, std::string_view arrow, std::string_view bytes) {
  out << arrow << ' ';
  boost::system::error_code ec;
  const boost::json::value value = boost::json::parse(bytes, ec);
  if (ec) {
    out << bytes << "    (not valid JSON: " << ec.message() << ")";
  } else {
    prettyPrint(out, value, 2);
  }
  out << std::endl;
}

// A started host and our ends of its standard input and output.
struct HostProcess {
  pid_t pid = -1;
  int toHost = -1;
  int fromHost = -1;
};

Result<HostProcess> startHost(const std::string& path) {
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return osError("cannot create a pipe for", path, errno);
  if (::pipe2(output, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(input[0]);
    ::close(input[1]);
    return osError("cannot create a pipe for", path, error);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  // We ignore SIGPIPE; the host must not inherit that.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  HostProcess host;
  char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
  const int error = ::posix_spawn(&host.pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(input[0]);
  ::close(output[1]);
  if (error != 0) {
    ::close(input[1]);
    ::close(output[0]);
    return osError("cannot start", path, error);
  }
  host.toHost = input[1];
  host.fromHost = output[0];
  return host;
}

// Ends the host's input, as a browser does when it is done, and waits for it.
bool finishHost(HostProcess& host, std::ostream& out) {
  if (host.toHost >= 0) ::close(host.toHost);
  if (host.fromHost >= 0) ::close(host.fromHost);
  host.toHost = host.fromHost = -1;
  int status = 0;
  while (::waitpid(host.pid, &status, 0) < 0) {
    if (errno != EINTR) {
      out << "cannot wait for the host: " << std::strerror(errno) << std::endl;
      return false;
    }
  }
  if (WIFEXITED(status)) {
    out << "host exited with status " << WEXITSTATUS(status) << std::endl;
    return WEXITSTATUS(status) == 0;
  }
  if (WIFSIGNALED(status)) out << "host killed by signal " << WTERMSIG(status) << std::endl;
  return false;
}

// Sends one message and shows it with its reply; false when no reply came.
bool exchange(int toHost, int fromHost, const std::string& message, std::ostream& out) {
  show(out, "→", message);
  if (Status sent = writeFrame(toHost, message); !sent) {
    out << "cannot send: " << sent.error().description << std::endl;
    return false;
  }
  Result<std::optional<IncomingFrame>> reply = readFrame(fromHost);
  if (!reply) {
    out << "no reply: " << reply.error().description << std::endl;
    return false;
  }
  if (!reply->has_value()) {
    out << "no reply: the host closed its output" << std::endl;
    return false;
  }
  if ((*reply)->oversized) {
    out << "← (a reply longer than " << kMaxMessageBytes << " bytes, not shown)" << std::endl;
  } else {
    show(out, "←", (*reply)->bytes);
  }
  return true;
}

// The messages to send: the arguments, else the non-blank lines of standard
// input, each taken as it arrives so that the host can be used by hand.
std::function<std::optional<std::string>()> messageSource(const Options& options) {
  if (!options.messages.empty()) {
    return [&messages = options.messages, next = std::size_t{0}]() mutable {
      return next < messages.size() ? std::optional<std::string>(messages[next++]) : std::nullopt;
    };
  }
  return []() -> std::optional<std::string> {
    for (std::string line; std::getline(std::cin, line);) {
      if (line.find_first_not_of(" \t\r") != std::string::npos) return line;
    }
    return std::nullopt;
  };
}

int runWithHost(const Options& options) {
  std::ostream& out = std::cout;
  bool allWell = true;
  std::optional<HostProcess> host;
  const auto nextMessage = messageSource(options);
  while (const std::optional<std::string> message = nextMessage()) {
    if (!host) {
      Result<HostProcess> started = startHost(*options.host);
      if (!started) {
        std::cerr << "velmora-client: " << started.error().description << '\n';
        return 1;
      }
      host = *started;
    }
    const bool answered = exchange(host->toHost, host->fromHost, *message, out);
    allWell = answered && allWell;
    if (options.oneShot || !answered) {
      allWell = finishHost(*host, out) && allWell;
      host.reset();
    }
    if (!answered) return 1;
  }
  if (host) allWell = finishHost(*host, out) && allWell;
  return allWell ? 0 : 1;
}

int runOverStdio(const Options& options) {
  for (const std::string& message : options.messages) {
    if (!exchange(STDOUT_FILENO, STDIN_FILENO, message, std::cerr)) return 1;
  }
  return 0;
}

std::optional<Options> parseArguments(int argc, char** argv) {
  Options options;
  bool messagesOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (messagesOnly || argument.empty() || argument[0] != '-') {
      options.messages.emplace_back(argument);
    } else if (argument == "--") {
      messagesOnly = true;
    } else if (argument == "--host" && i + 1 < argc) {
      options.host = argv[++i];
    } else if (argument == "--one-shot") {
      options.oneShot = true;
    } else if (argument == "--stdio") {
      options.stdio = true;
    } else {
      return std::nullopt;
    }
  }
  if (options.stdio == options.host.has_value()) return std::nullopt;
  if (options.stdio && (options.oneShot || options.messages.empty())) return std::nullopt;
  return options;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::cout << velmora::kUsage;
    return 0;
  }
  std::optional<velmora::Options> options = velmora::parseArguments(argc, argv);
  if (!options) {
    std::cerr << velmora::kUsage;
    return 2;
  }
  // A host that dies must show up as an error, not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    return options->stdio ? velmora::runOverStdio(*options) : velmora::runWithHost(*options);
  } catch (const std::exception& e) {
    std::cerr << "velmora-client: " << e.what() << '\n';
    return 1;
  }
}
