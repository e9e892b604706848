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

}  // namespace

int main(int argc, char** argv) {
    enum { kJson = 256, kSvg };
    static const option kOptions[] = {
        {"json", no_argument, nullptr, kJson},
        {"svg", required_argument, nullptr, kSvg},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    bool json = false;
    std::string svgOut;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", kOptions, nullptr)) != -1) {
        switch (c) {
            case kJson:
                json = true;
                break;
            case kSvg:
                if (*optarg == '\0')
                    badUsage("--svg takes a file name, not \"\"");
                svgOut = optarg;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case 'V':
                std::printf("borl-decode %s\n", BORL1D_VERSION);
                return 0;
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
    const std::string name = optind < argc ? argv[optind] : "-";

    // The daemon's frame checks log "Frame valid" at INFO: not here.
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::FATAL);

    std::ifstream file;
    std::istream* in = &std::cin;
    if (name != "-") {
        file.open(name, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "borl-decode: %s: cannot read: %s\n", name.c_str(),
                         std::strerror(errno));
            return kExitNoInput;
        }
        in = &file;
    }
    const std::string shown = name == "-" ? "(standard input)" : name;
    std::stringstream buffered;
    buffered << in->rdbuf();
    const std::string text = buffered.str();

    exchangefile::File capture;
    size_t line = 0;
    std::string why;
    const bool exchange =
        text.compare(0, std::strlen(exchangefile::kMagic), exchangefile::kMagic) == 0;
    std::istringstream source(text);
    if (exchange || !borldecode::fromDebugLog(source, capture)) {
        if (!exchangefile::read(text, capture, line, why)) {
            std::fprintf(stderr, "borl-decode: %s:%zu: %s\n", shown.c_str(), line, why.c_str());
            return kExitData;
        }
    }

    borldecode::Decoder d;
    d.summary.fromLog = !exchange && line == 0;
    for (const exchangefile::Record& r : capture.records)
        d.feed(r);
    d.finish();

    // Frames and events in time order (the entries and events are each in order already).
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

    if (!svgOut.empty()) {
        std::ofstream o(svgOut, std::ios::binary | std::ios::trunc);
        o << borldecode::svg(d, "borl-decode " + shown);
        o.close();
        if (!o) {
            std::fprintf(stderr, "borl-decode: %s: cannot write\n", svgOut.c_str());
            return kExitCantCreate;
        }
    }
    std::fflush(stdout);
    return 0;
}
