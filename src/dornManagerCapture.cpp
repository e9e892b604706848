// The manager's side of the exchange capture (docs/capture.md): the start record's fields, and
// SIGUSR1's start or end of a capture on a running daemon (its keys: dornManagerConfig.cpp). The
// capture itself: its generations and thread in src/exchangeCapture.cpp, its queue in
// include/captureQueue.h, its writer and ring of files in src/captureWriter.cpp.
#include <unistd.h>

#include <ctime>
#include <string>

#include "SerialConfig.h"
#include "dornManager.h"
#include "exchangeCapture.h"

#ifndef BORL1D_VERSION
#error "BORL1D_VERSION must name the build's version"
#endif

bool dornManager::beginCapture(const std::string& file, bool running) {
    capture::Settings s;
    s.file = file;
    s.maxSize = captureMaxSize;
    s.files = static_cast<unsigned>(captureFiles);
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
    return mLink.startCapture(s, running);
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
