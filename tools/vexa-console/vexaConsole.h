// The console peer's text side: the readable form of a received message and the short
// commands people type. Pure functions, no I/O.
#pragma once

#include <string>

class cObjectList;

namespace vexaconsole {

// One readable line: the message type name, then per object its type name and fields, e.g.
//   event | sample deviceSerial=1234 portNum=3 seqNum=1 sample=25.0
// Every field of each object's type is shown, in the order and the form the wire writes it,
// from the decoded objects alone; the wildcard 4294967295 shows as -1.
std::string describeMessage(const cObjectList& message);

// What one line of standard input asks for.
struct Command {
    enum Kind { Empty, Send, Help, Quit, Error } kind = Empty;
    std::string line;  // Send: the JSON line to send (without "\n"); Error: what is wrong
};

// Parses one line of standard input. A line starting with "{" is sent exactly as typed, so
// malformed and hostile lines can be sent on purpose; everything else is a short command.
Command parseCommand(const std::string& input);

// The command summary printed by `help` and after an unknown command.
const char* helpText();

}  // namespace vexaconsole
