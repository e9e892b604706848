// Process entry: the command line, start-up, then the serial exchange for the rest of the
// process's life. Without arguments the daemon reads its fixed configuration file.
#include <getopt.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dornManager.h"

#ifndef BORL1D_VERSION
#error "BORL1D_VERSION must name the build's version"
#endif

namespace {

// The manager lives until the process ends; held here so that it stays reachable to the end
// (leak checkers then see nothing lost when a failed start-up returns from main).
dornManager* manager = nullptr;

constexpr int kExitUsage = 64;  // EX_USAGE: the command line was wrong

void usage(FILE* to) {
    std::fprintf(
        to,
        "Usage: borl1d [OPTION]...\n"
        "Polls the air-conditioning controller on its serial port and publishes its values to\n"
        "vexad. Without options it reads %s.\n"
        "\n"
        "  -c, --config FILE     read the configuration from FILE\n"
        "      --conf-dir DIR    configuration root instead of %s: the serial-port\n"
        "                        assignment files and the default paths lie below it\n"
        "  -t, --check-config    read the configuration and the start-up files, report what\n"
        "                        was found and exit (0: usable, 1: usable with problems to\n"
        "                        fix, 255: not usable); opens neither the serial port nor\n"
        "                        the connection to vexad\n"
        "      --capture FILE    capture the serial exchange to FILE (docs/capture.md);\n"
        "                        SIGUSR1 starts or ends a capture on a running daemon\n"
        "      --time-scale N    lab option: the exchange's start delay, pause, wait, offline\n"
        "                        time and re-open back-off N times shorter (a replay at\n"
        "                        speed N)\n"
        "  -d, --debug           log everything, down to DEBUG, to standard error as well\n"
        "  -h, --help            show this help and exit\n"
        "  -V, --version         show the version and exit\n"
        "\n"
        "Exit status: 0 after SIGTERM or SIGINT, 255 when start-up fails, 64 on a bad command\n"
        "line. SIGHUP re-opens the log files; SIGUSR1 starts or ends a capture. See borl1d(8)\n"
        "and borl1d.conf(5).\n",
        ConfFile, ConfDir);
}

[[noreturn]] void badUsage(const char* what) {
    std::fprintf(stderr, "borl1d: %s\nTry 'borl1d --help' for more information.\n", what);
    std::exit(kExitUsage);
}

// --timing NAME=MS[,NAME=MS...]: the exchange's timings by their items in the table of keys, for
// tests that cannot wait out the production cadence. Not in --help: a site sets the timing keys.
void parseTiming(const char* option, config::Overrides& given) {
    const std::string text(option);
    for (size_t pos = 0; pos <= text.size();) {
        const size_t comma = std::min(text.find(',', pos), text.size());
        const std::string item = text.substr(pos, comma - pos);
        const size_t eq = item.find('=');
        const config::Key* key = config::timingItem(item.substr(0, eq));
        char* end = nullptr;
        errno = 0;
        const unsigned long ms = std::strtoul(item.c_str() + eq + 1, &end, 10);
        if (eq == std::string::npos || key == nullptr || end == item.c_str() + eq + 1 ||
            *end != '\0' || errno != 0 || ms > config::kMaxTimingMs)
            badUsage(("--timing: bad item \"" + item + "\"").c_str());
        given.timing.emplace_back(key, static_cast<unsigned>(ms));
        pos = comma + 1;
    }
}

// --time-scale N: the lab's fast clock for a replay (borl-replay --speed N): the exchange's
// timings N times shorter (ExchangeTiming::scaled), as far as the serial line allows
// (dornManager::settleTiming).
unsigned parseTimeScale(const char* option) {
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(option, &end, 10);
    if (end == option || *end != '\0' || errno != 0 || n < 1 || n > 1000 || *option == '-')
        badUsage((std::string("--time-scale takes a whole number 1..1000, not \"") + option + "\"")
                     .c_str());
    return static_cast<unsigned>(n);
}

// What the command line asks for.
struct CommandLine {
    const char* configFile = nullptr;
    const char* confDir = nullptr;
    bool check = false;
    bool debug = false;
    config::Overrides given;  // --capture, --timing, --time-scale
};

// The long options; those without a short letter are numbered from 256.
enum { kConfDir = 256, kTiming, kCapture, kTimeScale };
const option kOptions[] = {
    {"config", required_argument, nullptr, 'c'},
    {"conf-dir", required_argument, nullptr, kConfDir},
    {"check-config", no_argument, nullptr, 't'},
    {"debug", no_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"timing", required_argument, nullptr, kTiming},
    {"capture", required_argument, nullptr, kCapture},
    {"time-scale", required_argument, nullptr, kTimeScale},
    {nullptr, 0, nullptr, 0},
};

// Reads the command line; --help and --version are answered here, a bad line ends the process.
CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    opterr = 0;  // our own messages, with the option named as it was given
    int c;
    while ((c = getopt_long(argc, argv, ":c:tdhV", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'c':
                line.configFile = optarg;
                break;
            case kConfDir:
                line.confDir = optarg;
                break;
            case 't':
                line.check = true;
                break;
            case 'd':
                line.debug = true;
                break;
            case 'h':
                usage(stdout);
                std::exit(0);
            case 'V':
                std::printf("borl1d %s\n", BORL1D_VERSION);
                std::exit(0);
            case kTiming:
                parseTiming(optarg, line.given);
                break;
            case kCapture:
                if (*optarg == '\0')
                    badUsage("--capture takes a file name, not \"\"");
                line.given.captureFile = optarg;
                break;
            case kTimeScale:
                line.given.timeScale = parseTimeScale(optarg);
                break;
            case ':':
                badUsage((std::string("option ") + argv[optind - 1] + " needs a value").c_str());
            default:
                if (optopt != 0)
                    badUsage((std::string("unknown option -") + static_cast<char>(optopt)).c_str());
                badUsage((std::string("unknown option ") + argv[optind - 1]).c_str());
        }
    }
    if (optind < argc)
        badUsage((std::string("unexpected argument \"") + argv[optind] + "\"").c_str());
    return line;
}

// The stop, log-rotation and capture signals arrive as readable data in the receive loop.
// Blocked before any thread starts, so that every thread inherits the mask and none of them
// takes a signal the loop should see. Returns the signalfd.
int signalsAsData() {
    // A reader of standard output that went away must not end the daemon; every socket write
    // already asks for no signal.
    signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line = parseCommandLine(argc, argv);
    setConfPaths(line.confDir, line.configFile);
    if (line.debug)
        cQlog::debugToStderr();
    const int signalFd = signalsAsData();
    const int signalErr = errno;

    manager = new dornManager(line.check, line.given);
    manager->link().signalFd = signalFd;
    if (line.check)
        return manager->checkConfig();
    // Without the signals as data SIGTERM would stay blocked and unseen: a daemon that cannot be
    // stopped does not start.
    if (signalFd < 0) {
        cQlog::getLog("Main").error(
            "Cannot receive signals (signalfd: %s): raise the process's limit of open files "
            "(LimitNOFILE) or free memory\n",
            strerror(signalErr));
    } else if (manager->cConfFile_status && manager->initDorn() && manager->start() == 0) {
        return 0;  // an ordered stop
    }

    cQlog::getLog("Main").error("TERMINATE!!!\n");
    return -1;
}
