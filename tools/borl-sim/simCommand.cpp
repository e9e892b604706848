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

using Words = std::vector<std::string>;

// The arguments' parsers by the kind of command; false with `error` set.
bool onOff(const Words& w, Command& cmd, std::string& error) {
    if (parseOnOff(w[1], cmd.on))
        return true;
    error = w[0] + " takes on or off";
    return false;
}

bool count(const Words& w, Command& cmd, std::string& error) {
    if (parseUnsigned(w[1], 1000000UL, cmd.n))
        return true;
    error = w[0] + " takes a count, 0 for off";
    return false;
}

bool delay(const Words& w, Command& cmd, std::string& error) {
    if (parseUnsigned(w[1], kMaxDelayMs, cmd.n))
        return true;
    error = "delay takes milliseconds, 0.." + std::to_string(kMaxDelayMs);
    return false;
}

bool probability(const Words& w, Command& cmd, std::string& error) {
    if (parseProbability(w[1], cmd.probability))
        return true;
    error = "noise takes a probability, 0..1";
    return false;
}

bool poke(const Words& w, Command& cmd, std::string& error) {
    unsigned long index = 0, value = 0;
    if (!parseUnsigned(w[1], kBlockSize - 1, index) || !parseUnsigned(w[2], 255, value)) {
        error = "poke takes an index 0.." + std::to_string(kBlockSize - 1) + " and a value 0..255";
        return false;
    }
    cmd.index = index;
    cmd.value = static_cast<uint8_t>(value);
    return true;
}

bool none(const Words&, Command&, std::string&) {
    return true;
}

// Every command: its name, what it does, how many arguments it takes and how they are read.
struct CommandForm {
    const char* name;
    Command::Op op;
    size_t args;
    bool (*parse)(const Words&, Command&, std::string&);
};

const CommandForm kForms[] = {
    {"silent", Command::Op::Silent, 1, onOff},     {"refuse", Command::Op::Refuse, 1, onOff},
    {"deaf", Command::Op::Deaf, 1, onOff},         {"badsum", Command::Op::BadSum, 1, count},
    {"stray", Command::Op::Stray, 1, count},       {"delay", Command::Op::Delay, 1, delay},
    {"noise", Command::Op::Noise, 1, probability}, {"poke", Command::Op::Poke, 2, poke},
    {"hangup", Command::Op::Hangup, 0, none},      {"quit", Command::Op::Quit, 0, none},
};

}  // namespace

bool parseCommand(const std::string& line, Command& cmd, std::string& error) {
    cmd = Command{};
    std::istringstream in(line);
    Words words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty() || words[0][0] == '#')
        return true;

    const std::string& name = words[0];
    for (const CommandForm& form : kForms) {
        if (name != form.name)
            continue;
        if (words.size() - 1 != form.args) {
            error = name + " takes " + std::to_string(form.args) + " argument" +
                    (form.args == 1 ? "" : "s");
            return false;
        }
        if (!form.parse(words, cmd, error))
            return false;
        cmd.op = form.op;
        return true;
    }
    error = "unknown command " + name;
    return false;
}

}  // namespace borlsim
