#pragma once

#include <string>

#include "platform/env.h"

// What the rest of the program asks of the system it was built for, beyond
// the Env. Each system's folder (platform/posix/, platform/windows/) answers
// it; nothing above platform/ knows which one it got.
namespace velmora {

// The real world: the Env of this system, made once. Stateless, so it serves
// every thread; main hands it to the handler, tests wrap it.
Env& systemEnv();

// Readies standard input and output to carry frames byte for byte (binary
// mode where the system has text modes) and a large frame in few turns (a
// larger input pipe where the system lets the reader size it), and makes a
// browser that went away end the process through a failed write rather than
// a signal.
void prepareStandardStreams();

// Whether standard input is a terminal (a console), as when a person started
// the program by hand.
bool inputIsTerminal();

// Whether input arrives on the descriptor within the time; one that cannot
// be watched counts as quiet.
bool inputWithin(int fd, int milliseconds);

// Hands the memory that the allocator keeps free back to the system.
void releaseFreeMemory();

// The system's text for an errno value.
std::string errnoText(int errnum);

}  // namespace velmora
