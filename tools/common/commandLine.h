// The command line of a tool, read the way the daemon reads its own (getopt_long): -h/--help
// prints the usage on standard output and exits 0, -V/--version prints "<tool> <version>" and
// exits 0, and a bad option or value is named on standard error, followed by a hint to --help,
// with exit status 64 (EX_USAGE). Options come before anything is opened, so ending the process
// on a bad one leaves nothing behind.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace toolcommon {

constexpr int kExitUsage = 64;  // EX_USAGE of sysexits.h

// One option a tool takes besides --help and --version. `key` is the tool's own code for it (a
// value of 256 or more, clear of the short option letters).
struct OptionDefinition {
    const char* name;  // long name without "--"
    bool takesValue;
    int key;
};

class CommandLine {
public:
    // `usage` is printed as it stands by --help; `version` is the build's version.
    CommandLine(std::string tool, std::string version, std::string usage);

    // Reads argv and calls `take` for each of the tool's options in order, with its value (null
    // for an option without one). --help and --version end the process with 0; an unknown
    // option, a missing or unwanted value and any argument that is not an option end it with 64,
    // unless `operands` is given: the arguments that are not options then go there, in order.
    void parse(int argc, char** argv, const std::vector<OptionDefinition>& options,
               const std::function<void(const OptionDefinition&, const char* value)>& take,
               std::vector<std::string>* operands = nullptr) const;

    // The value of `option` as a number 0..max, or the end of the process with
    //   "<tool>: --<option> takes <what> 0..<max>, not "<text>"".
    unsigned long number(const OptionDefinition& option, const char* text, unsigned long max,
                         const char* what = "a number") const;
    // The value of `option` as a probability 0..1, or the end of the process.
    double probability(const OptionDefinition& option, const char* text) const;
    // Ends the process with "<tool>: --<option> takes <takes>, not "<text>"".
    [[noreturn]] void refuse(const OptionDefinition& option, const std::string& takes,
                             const char* text) const;

    // "<tool>: <message>", the hint to --help, exit status 64.
    [[noreturn]] void fail(const std::string& message) const;

private:
    std::string mTool;
    std::string mVersion;
    std::string mUsage;
};

// Strict number parsers, shared by the command line and the tools' own input commands: the whole
// text must be the number, in range, without sign or blanks.
bool parseUnsigned(const std::string& text, unsigned long max, unsigned long& out);
bool parseProbability(const std::string& text, double& out);

}  // namespace toolcommon
