// The manager's side of the exchange capture (docs/capture.md): its configuration keys, the
// start record's fields, and SIGUSR1's start or end of a capture on a running daemon. The
// capture itself: its generations and thread in src/exchangeCapture.cpp, its queue in
// include/captureQueue.h, its writer and ring of files in src/captureWriter.cpp.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "SerialConfig.h"
#include "cConfig.h"
#include "dornManager.h"
#include "exchangeCapture.h"

#ifndef BORL1D_VERSION
#error "BORL1D_VERSION must name the build's version"
#endif

namespace {

// The directory SIGUSR1's captures go to: the service's log directory (systemd's
// LOGS_DIRECTORY under the shipped unit, writable in its sandbox), else /var/log/borl1d.
std::string defaultCaptureDir() {
    const char* logs = std::getenv("LOGS_DIRECTORY");
    if (logs != nullptr && *logs != '\0') {
        std::string dir(logs);
        const size_t colon = dir.find(':');  // several directories: the first
        return colon == std::string::npos ? dir : dir.substr(0, colon);
    }
    return "/var/log/borl1d";
}

// "16777216", "16M", "512k", "1G": bytes, suffixes binary. False for anything else.
bool parseSize(const char* text, uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end == text || errno != 0 || *text == '-')
        return false;
    static const char kSuffixes[] = "kKmMgG";  // 2^10, 2^20, 2^30
    const char* suffix = *end != '\0' ? std::strchr(kSuffixes, *end) : nullptr;
    const int shift = suffix ? 10 * (1 + static_cast<int>(suffix - kSuffixes) / 2) : 0;
    if (suffix)
        ++end;
    if (*end != '\0' || n > (UINT64_MAX >> 31))
        return false;
    out = n << shift;
    return true;
}

}  // namespace

void dornManager::readCaptureKeys() {
    captureFile = cConfig::getString("borl1d.capture.file", "");
    captureDir = cConfig::getString("borl1d.capture.dir", defaultCaptureDir().c_str());
    const char* size = cConfig::getString("borl1d.capture.maxsize", nullptr);
    captureMaxSize = capture::kDefaultMaxSize;
    uint64_t bytes = 0;
    if (size != nullptr && (!parseSize(size, bytes) || bytes < capture::kMinMaxSize)) {
        startupProblem(false, WARN,
                       "Configuration key borl1d.capture.maxsize in %s: \"%.32s\" is not a size "
                       "of at least %llu bytes (a number, with k, M or G); %llu is used",
                       ConfFile, size, static_cast<unsigned long long>(capture::kMinMaxSize),
                       static_cast<unsigned long long>(capture::kDefaultMaxSize));
    } else if (size != nullptr) {
        captureMaxSize = bytes;
    }
    const char* files = cConfig::getString("borl1d.capture.files", nullptr);
    captureFiles = capture::kDefaultFiles;
    char* end = nullptr;
    const unsigned long n = files != nullptr ? std::strtoul(files, &end, 10) : 0;
    if (files != nullptr &&
        (end == files || *end != '\0' || *files == '-' || n < 1 || n > capture::kMaxFiles)) {
        startupProblem(false, WARN,
                       "Configuration key borl1d.capture.files in %s: \"%.32s\" is not a number "
                       "of files 1..%u; %u is used",
                       ConfFile, files, capture::kMaxFiles, capture::kDefaultFiles);
    } else if (files != nullptr) {
        captureFiles = static_cast<unsigned>(n);
    }
}

bool dornManager::beginCapture(const std::string& file, bool running) {
    capture::Settings s;
    s.file = file;
    s.maxSize = captureMaxSize;
    s.files = captureFiles;
    const qserial::SerialPort* port = mSerconf ? mSerconf->find(serBusPort) : nullptr;
    const std::string line =
        qserial::SerialConfig::settingsText(port ? *port : qserial::SerialPort{});
    s.startFields =
        exchangefile::startFields({{"version", BORL1D_VERSION},
                                   {"port", serBusPort},
                                   {"line", line},
                                   {"serial", std::to_string(static_cast<uint32_t>(devSerial))}});
    if (serFd >= 0)
        s.openPort = serBusPort;
    return link.startCapture(s, running);
}

// SIGUSR1 ends the capture that runs, paused by a full disk or not. Otherwise it starts the
// configured one again, into its ring, or else one to a new timestamped file in captureDir.
void dornManager::toggleCapture() {
    if (capture::stop()) {
        info("SIGUSR1: capture of the serial exchange ending\n");
        return;
    }
    if (!captureFile.empty()) {
        info("SIGUSR1: capture of the serial exchange starting: %s\n", captureFile.c_str());
        beginCapture(captureFile, true);
        return;
    }
    char stamp[32];
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    // Never over an earlier capture: two in the same second get "-2", "-3" ...
    const std::string base = captureDir + "/borl1d-capture-" + stamp;
    std::string file = base + ".exchange";
    for (int n = 2; n < 100 && access(file.c_str(), F_OK) == 0; ++n)
        file = base + "-" + std::to_string(n) + ".exchange";
    info("SIGUSR1: capture of the serial exchange starting: %s\n", file.c_str());
    beginCapture(file, true);
}
