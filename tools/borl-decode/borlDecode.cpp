// borl-decode: prints what the frames of an exchange file (docs/capture.md), or of a daemon log
// with DEBUG frame dumps, say, decoded with the daemon's own frame checks and point table.
#include <getopt.h>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "exchangeDecode.h"

namespace {

constexpr int kExitUsage = 64;    // EX_USAGE
constexpr int kExitData = 65;     // EX_DATAERR: the file is not a well-formed exchange file
constexpr int kExitNoInput = 66;  // EX_NOINPUT
constexpr int kExitCantCreate = 73;

const char kUsage[] =
    "Usage: borl-decode [--json] [--svg OUT.svg] [FILE|-]\n"
    "Prints one entry per frame of an exchange file (a capture of borl1d, docs/capture.md) or\n"
    "of a daemon log with DEBUG frame dumps, then a summary. Standard input without FILE or\n"
    "with \"-\".\n"
    "\n"
    "      --json        one JSON object per line per frame, then {\"summary\": {...}}\n"
    "      --svg OUT     also draw the capture into OUT (an SVG file)\n"
    "  -h, --help        show this help and exit\n"
    "  -V, --version     show the version and exit\n"
    "\n"
    "Exit status: 0 when decoded, 64 on a bad command line, 65 when the file is not a\n"
    "well-formed exchange file (file, line and what is wrong on standard error), 66 when it\n"
    "cannot be read, 73 when OUT cannot be written.\n";

[[noreturn]] void badUsage(const std::string& what) {
    std::fprintf(stderr, "borl-decode: %s\nTry 'borl-decode --help' for more information.\n",
                 what.c_str());
    std::exit(kExitUsage);
}

struct Options {
    bool json = false;
    std::string svgOut;
    std::string name;  // the file, "-" for standard input
};

// Reads the command line; --help and --version end the process with 0, a bad one with 64.
Options parseOptions(int argc, char** argv) {
    enum { kJson = 256, kSvg };
    static const option kOptions[] = {
        {"json", no_argument, nullptr, kJson},
        {"svg", required_argument, nullptr, kSvg},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", kOptions, nullptr)) != -1) {
        switch (c) {
            case kJson:
                o.json = true;
                break;
            case kSvg:
                if (*optarg == '\0')
                    badUsage("--svg takes a file name, not \"\"");
                o.svgOut = optarg;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                std::exit(0);
            case 'V':
                std::printf("borl-decode %s\n", BORL1D_VERSION);
                std::exit(0);
            case ':':
                badUsage(std::string("option ") + argv[optind - 1] + " needs a value");
            default:
                if (optopt != 0)
                    badUsage(std::string("unknown option -") + static_cast<char>(optopt));
                badUsage(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (argc - optind > 1)
        badUsage(std::string("unexpected argument \"") + argv[optind + 1] + "\"");
    o.name = optind < argc ? argv[optind] : "-";
    return o;
}

// The whole of the file `name`, or of standard input for "-"; false when it cannot be opened.
bool readAll(const std::string& name, std::string& text) {
    std::ifstream file;
    if (name != "-")
        file.open(name, std::ios::binary);
    if (name != "-" && !file) {
        std::fprintf(stderr, "borl-decode: %s: cannot read: %s\n", name.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::stringstream buffered;
    buffered << (name == "-" ? std::cin.rdbuf() : file.rdbuf());
    text = buffered.str();
    return true;
}

// Feeds `d` the records of an exchange file, or of the DEBUG frame dumps of a daemon log; false
// with the file's line and what is wrong when the text is neither.
bool decode(const std::string& text, const std::string& shown, borldecode::Decoder& d) {
    exchangefile::File capture;
    size_t line = 0;
    std::string why;
    const bool exchange =
        text.compare(0, std::strlen(exchangefile::kMagic), exchangefile::kMagic) == 0;
    std::istringstream source(text);
    if ((exchange || !borldecode::fromDebugLog(source, capture)) &&
        !exchangefile::read(text, capture, line, why)) {
        std::fprintf(stderr, "borl-decode: %s:%zu: %s\n", shown.c_str(), line, why.c_str());
        return false;
    }
    d.summary.fromLog = !exchange && line == 0;
    for (const exchangefile::Record& r : capture.records)
        d.feed(r);
    d.finish();
    return true;
}

// Frames and events in time order (the entries and events are each in order already), then the
// summary; JSON has no event lines.
void print(const borldecode::Decoder& d, bool json) {
    size_t ev = 0;
    for (const borldecode::Entry& e : d.entries) {
        for (; !json && ev < d.events.size() && d.events[ev].t <= e.t; ++ev)
            std::printf("%s\n", borldecode::textEvent(d.events[ev]).c_str());
        std::printf("%s\n", (json ? borldecode::jsonEntry(e) : borldecode::textEntry(e)).c_str());
    }
    for (; !json && ev < d.events.size(); ++ev)
        std::printf("%s\n", borldecode::textEvent(d.events[ev]).c_str());
    std::printf(
        "%s%s",
        (json ? borldecode::jsonSummary(d.summary) : borldecode::textSummary(d.summary)).c_str(),
        json ? "\n" : "");
}

bool writeSvg(const borldecode::Decoder& d, const std::string& out, const std::string& shown) {
    std::ofstream o(out, std::ios::binary | std::ios::trunc);
    o << borldecode::svg(d, "borl-decode " + shown);
    o.close();
    if (!o)
        std::fprintf(stderr, "borl-decode: %s: cannot write\n", out.c_str());
    return static_cast<bool>(o);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    // The daemon's frame checks log "Frame valid" at INFO: not here.
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::FATAL);
    std::string text;
    if (!readAll(o.name, text))
        return kExitNoInput;
    const std::string shown = o.name == "-" ? "(standard input)" : o.name;
    borldecode::Decoder d;
    if (!decode(text, shown, d))
        return kExitData;
    print(d, o.json);
    if (!o.svgOut.empty() && !writeSvg(d, o.svgOut, shown))
        return kExitCantCreate;
    std::fflush(stdout);
    return 0;
}
