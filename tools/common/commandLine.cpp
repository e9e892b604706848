#include "commandLine.h"

#include <getopt.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace toolcommon {

namespace {

constexpr int kHelp = 'h';
constexpr int kVersion = 'V';

const OptionDefinition* findByKey(const std::vector<OptionDefinition>& options, int key) {
    for (const OptionDefinition& o : options) {
        if (o.key == key)
            return &o;
    }
    return nullptr;
}

// The message for an option getopt_long did not take, as typed but for a "=value". It takes any
// unique prefix of a long name, so a prefix of several names is named as ambiguous, with the
// names it could be.
std::string unknownOption(const char* arg, const std::vector<option>& longOpts) {
    std::string typed = arg;
    typed = typed.substr(0, typed.find('='));
    std::string candidates;
    int n = 0;
    if (typed.rfind("--", 0) == 0) {
        for (const option& o : longOpts) {
            if (o.name && std::string(o.name).rfind(typed.substr(2), 0) == 0)
                candidates += std::string(n++ ? ", --" : "--") + o.name;
        }
    }
    if (n > 1)
        return "option " + typed + " is ambiguous: " + candidates;
    return "unknown option " + typed;
}

}  // namespace

CommandLine::CommandLine(std::string tool, std::string version, std::string usage)
    : mTool(std::move(tool)), mVersion(std::move(version)), mUsage(std::move(usage)) {}

void CommandLine::parse(int argc, char** argv, const std::vector<OptionDefinition>& options,
                        const std::function<void(const OptionDefinition&, const char*)>& take,
                        std::vector<std::string>* operands) const {
    std::vector<OptionDefinition> all = options;
    all.push_back({"help", false, kHelp});
    all.push_back({"version", false, kVersion});
    std::vector<option> longOpts;
    for (const OptionDefinition& o : all)
        longOpts.push_back(
            {o.name, o.takesValue ? required_argument : no_argument, nullptr, o.key});
    longOpts.push_back({nullptr, 0, nullptr, 0});

    // Leading ':' and opterr 0: getopt_long reports faults to us instead of printing its own
    // messages, ':' for a missing value and '?' for everything else.
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", longOpts.data(), nullptr)) != -1) {
        if (c == kHelp || c == kVersion) {
            const std::string text = c == kHelp ? mUsage : mTool + " " + mVersion + "\n";
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            std::exit(0);
        }
        // Only the tool's own long options take values, so a missing one is theirs.
        if (c == ':')
            fail(std::string("--") + findByKey(all, optopt)->name + " needs a value");
        if (c == '?') {
            // optopt is 0 for an unknown or ambiguous long option, the option's key for a long
            // option given a value it does not take, and the letter of an unknown short option.
            if (optopt == 0)
                fail(unknownOption(argv[optind - 1], longOpts));
            if (const OptionDefinition* o = findByKey(all, optopt))
                fail(std::string("--") + o->name + " takes no value");
            fail(std::string("unknown option -") + static_cast<char>(optopt));
        }
        const OptionDefinition* o = findByKey(all, c);  // one of the tool's, by its key
        take(*o, o->takesValue ? optarg : nullptr);
    }
    if (operands != nullptr) {
        operands->assign(argv + optind, argv + argc);
        return;
    }
    if (optind < argc)
        fail(std::string("unexpected argument \"") + argv[optind] + "\"");
}

unsigned long CommandLine::number(const OptionDefinition& option, const char* text,
                                  unsigned long max, const char* what) const {
    unsigned long v = 0;
    if (parseUnsigned(text, max, v))
        return v;
    refuse(option, what + std::string(" 0..") + std::to_string(max), text);
}

double CommandLine::probability(const OptionDefinition& option, const char* text) const {
    double v = 0;
    if (parseProbability(text, v))
        return v;
    refuse(option, "a probability 0..1", text);
}

void CommandLine::refuse(const OptionDefinition& option, const std::string& takes,
                         const char* text) const {
    fail(std::string("--") + option.name + " takes " + takes + ", not \"" + text + "\"");
}

void CommandLine::fail(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", mTool.c_str(),
                 message.c_str(), mTool.c_str());
    std::fflush(stderr);
    std::exit(kExitUsage);
}

bool parseUnsigned(const std::string& text, unsigned long max, unsigned long& out) {
    // from_chars takes digits only: no sign, no blanks.
    unsigned long long v = 0;
    const char* end = text.data() + text.size();
    const auto [stop, fault] = std::from_chars(text.data(), end, v);
    if (text.size() > 20 || fault != std::errc() || stop != end || v > max)
        return false;
    out = static_cast<unsigned long>(v);
    return true;
}

bool parseProbability(const std::string& text, double& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0.0 || v > 1.0)
        return false;
    out = v;
    return true;
}

}  // namespace toolcommon
