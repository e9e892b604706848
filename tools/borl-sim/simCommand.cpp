#include "simCommand.h"

#include <sstream>
#include <vector>

#include "commandLine.h"
#include "simFrame.h"

namespace borlsim {

using toolcommon::parseProbability;
using toolcommon::parseUnsigned;

namespace {

using Words = std::vector<std::string>;

// `ok`, or false with `error` set to `why`.
bool check(bool ok, const std::string& why, std::string& error) {
    if (!ok)
        error = why;
    return ok;
}

// The arguments' parsers by the kind of command; false with `error` set.
bool onOff(const Words& w, Command& cmd, std::string& error) {
    cmd.on = w[1] == "on";
    return check(cmd.on || w[1] == "off", w[0] + " takes on or off", error);
}

bool count(const Words& w, Command& cmd, std::string& error) {
    return check(parseUnsigned(w[1], 1000000UL, cmd.n), w[0] + " takes a count, 0 for off", error);
}

bool delay(const Words& w, Command& cmd, std::string& error) {
    return check(parseUnsigned(w[1], kMaxDelayMs, cmd.n),
                 "delay takes milliseconds, 0.." + std::to_string(kMaxDelayMs), error);
}

bool probability(const Words& w, Command& cmd, std::string& error) {
    return check(parseProbability(w[1], cmd.probability), "noise takes a probability, 0..1", error);
}

bool poke(const Words& w, Command& cmd, std::string& error) {
    unsigned long index = 0, value = 0;
    const bool ok = parseUnsigned(w[1], kBlockSize - 1, index) && parseUnsigned(w[2], 255, value);
    cmd.index = index;
    cmd.value = static_cast<uint8_t>(value);
    return check(ok,
                 "poke takes an index 0.." + std::to_string(kBlockSize - 1) + " and a value 0..255",
                 error);
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
        const std::string arity = name + " takes " + std::to_string(form.args) + " argument" +
                                  (form.args == 1 ? "" : "s");
        if (!check(words.size() - 1 == form.args, arity, error) || !form.parse(words, cmd, error))
            return false;
        cmd.op = form.op;
        return true;
    }
    error = "unknown command " + name;
    return false;
}

}  // namespace borlsim
