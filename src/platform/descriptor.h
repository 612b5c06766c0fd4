#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

// The steps every reader and writer of a descriptor takes.
namespace velmora {

// Writes every byte, however many calls that takes, retrying an interrupted
// call; 0, or the errno of the call that failed.
int writeAll(int fd, std::string_view bytes);

// One read(2), retried when interrupted: the count, or -1 with errno set.
ssize_t readSome(int fd, char* buffer, std::size_t size);

}  // namespace velmora
