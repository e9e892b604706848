#include "simCommand.h"

#include <sstream>
#include <vector>

#include "commandLine.h"
#include "simFrame.h"

namespace borlsim {

using toolcommon::parseProbability;
using toolcommon::parseUnsigned;

namespace {

bool parseOnOff(const std::string& text, bool& out) {
    if (text == "on") {
        out = true;
        return true;
    }
    if (text == "off") {
        out = false;
        return true;
    }
    return false;
}

}  // namespace

bool parseCommand(const std::string& line, Command& cmd, std::string& error) {
    cmd = Command{};
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty() || words[0][0] == '#')
        return true;

    const std::string& name = words[0];
    const size_t args = words.size() - 1;
    auto wantArgs = [&](size_t n) {
        if (args == n)
            return true;
        error = name + " takes " + std::to_string(n) + " argument" + (n == 1 ? "" : "s");
        return false;
    };

    if (name == "silent" || name == "refuse" || name == "deaf") {
        if (!wantArgs(1))
            return false;
        if (!parseOnOff(words[1], cmd.on)) {
            error = name + " takes on or off";
            return false;
        }
        cmd.op = name == "silent"   ? Command::Op::Silent
                 : name == "refuse" ? Command::Op::Refuse
                                    : Command::Op::Deaf;
        return true;
    }
    if (name == "badsum" || name == "stray" || name == "delay") {
        if (!wantArgs(1))
            return false;
        const bool isDelay = name == "delay";
        if (!parseUnsigned(words[1], isDelay ? kMaxDelayMs : 1000000UL, cmd.n)) {
            error = isDelay ? "delay takes milliseconds, 0.." + std::to_string(kMaxDelayMs)
                            : name + " takes a count, 0 for off";
            return false;
        }
        cmd.op = isDelay ? Command::Op::Delay
                         : (name == "badsum" ? Command::Op::BadSum : Command::Op::Stray);
        return true;
    }
    if (name == "noise") {
        if (!wantArgs(1))
            return false;
        if (!parseProbability(words[1], cmd.probability)) {
            error = "noise takes a probability, 0..1";
            return false;
        }
        cmd.op = Command::Op::Noise;
        return true;
    }
    if (name == "poke") {
        if (!wantArgs(2))
            return false;
        unsigned long index = 0, value = 0;
        if (!parseUnsigned(words[1], kBlockSize - 1, index) ||
            !parseUnsigned(words[2], 255, value)) {
            error =
                "poke takes an index 0.." + std::to_string(kBlockSize - 1) + " and a value 0..255";
            return false;
        }
        cmd.index = index;
        cmd.value = static_cast<uint8_t>(value);
        cmd.op = Command::Op::Poke;
        return true;
    }
    if (name == "hangup" || name == "quit") {
        if (!wantArgs(0))
            return false;
        cmd.op = name == "hangup" ? Command::Op::Hangup : Command::Op::Quit;
        return true;
    }
    error = "unknown command " + name;
    return false;
}

}  // namespace borlsim
