// Commands the simulator takes on standard input, one per line, so that a test can switch line
// faults on and off while it runs. Parsing is pure: a line in, a command or an error out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace borlsim {

struct Command {
    enum class Op { None, Silent, Refuse, Deaf, BadSum, Stray, Noise, Delay, Poke, Hangup, Quit };
    Op op = Op::None;        // None: an empty or comment line, nothing to do
    bool on = false;         // silent, refuse, deaf
    unsigned long n = 0;     // badsum, stray: every Nth reply (0 off); delay: milliseconds
    double probability = 0;  // noise: per reply byte, 0..1
    size_t index = 0;        // poke: data block index 0..59
    uint8_t value = 0;       // poke: byte value
};

// Parses one line ("silent on", "badsum 3", "poke 46 30", ...). Surrounding blanks are ignored;
// a line starting with "#" is a comment. False with `error` set for anything malformed.
bool parseCommand(const std::string& line, Command& cmd, std::string& error);

// Longest delay a reply may be held back, in milliseconds.
constexpr unsigned long kMaxDelayMs = 600000;

}  // namespace borlsim
