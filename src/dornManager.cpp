// The daemon manager's start-up: the configuration file (its keys: dornManagerConfig.cpp), the
// serial-port and device scans, the link to vexad, the device object, the exchange's timing and
// the serial port, and the banner that says what start-up found.
#include "dornManager.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "SerialConfig.h"
#include "boundedFile.h"
#include "cConfig.h"
#include "cObjectClient.h"
#include "peerOwner.h"
#include "southDevice.h"

#ifndef BORL1D_VERSION
#error "BORL1D_VERSION must name the build's version"
#endif

namespace {

// The connection to vexad: the check of vexad's user, and the first re-connection delay of the
// exchange's timing (--timing vexad-retry in the tests, a second otherwise).
cObjectClient::Options vexadOptions(int64_t vexadUid, const proto::ExchangeTiming& timing) {
    cObjectClient::Options options;
    options.vexadUid = vexadUid;
    options.backoffMinMs = static_cast<int>(timing.vexadRetryMs);
    return options;
}

}  // namespace

dornManager::dornManager(bool checkOnly, config::Overrides given)
    : cQlog("dornManager"), mGiven(std::move(given)) {
    std::string why;
    confLoaded = cConfig::load(ConfFile, &why);
    if (!confLoaded) {
        error("Could not load config file: \"%s\" \n", ConfFile);
        startupProblem(true, ERROR,
                       "Configuration file %s not read (%s): it must be a readable regular file "
                       "of at most %zu bytes; name another one with --config",
                       ConfFile, why.c_str(), qutils::kMaxStartupFileSize);
    } else if (!checkOnly) {
        // A check leaves logging as it is (standard error): log4cpp would open the log files.
        cQlog::init(ConfFile);
    }
    const bool keysOk = readKeys();  // the defaults alone when the file was not read
    if (mGiven.captureFile != nullptr)
        captureFile = mGiven.captureFile;
    if (!checkOnly && (!confLoaded || !keysOk)) {
        cConfFile_status = false;
        return;
    }
    cConfFile_status = readSerialConf() && confLoaded && keysOk;
    debug("Done reading readSerialConf()");
}

std::string dornManager::describeVexadUser() const {
    if (vexadUid < 0 && !vexadUser.empty())
        return "\"" + vexadUser + "\", which names no user: start-up ends";
    if (vexadUid < 0) {
        return "not set: a listener of any user but root on vexad's port is warned about, not "
               "refused";
    }
    return vexaobj::describeUser(static_cast<uid_t>(vexadUid)) +
           ": a listener of any other user on vexad's port is refused (root's is accepted)";
}

std::string dornManager::describeBus() const {
    return std::string(serBusPort) + " from " +
           (serBusFrom.empty() ? std::string("borl1d.device.port") : serBusFrom);
}

std::string dornManager::describeLine() const {
    const qserial::SerialPort* port = mSerconf ? mSerconf->find(serBusPort) : nullptr;
    if (port)
        return qserial::SerialConfig::settingsText(*port) + " from " + mSerconf->path();
    const std::string why =
        mSerconf && !mSerconf->problem().empty()
            ? mSerconf->problem()
            : std::string("no port ") + serBusPort + " of " + devOwner + " in " + serConf;
    return qserial::SerialConfig::settingsText({}) + " (defaults; " + why + ")";
}

std::string dornManager::describeSerial() const {
    return std::to_string(static_cast<uint32_t>(devSerial)) +
           (devSerialFile.empty() ? std::string(" (no <serial> read in ") + devDir + ")"
                                  : " from " + devSerialFile);
}

bool dornManager::initDorn() {
    mSerconf = new qserial::SerialConfig(serConf, devOwner);
    if (!settleTiming())
        return false;
    if (!loadXml()) {
        error("Could not parse Xml file");
        return false;
    }

    // One owner per port: a second poller on the line garbles every frame. Known before vexad
    // hears of this instance.
    if (const pid_t holder = qserial::SerialConfig::holderOf(serBusPort); holder > 0) {
        startupProblem(true, ERROR,
                       "Serial port %s is held by another process (pid %d): stop it (another "
                       "borl1d?) or give this instance its own port",
                       serBusPort, static_cast<int>(holder));
        return false;
    }
    // Without these descriptors the two exchange threads could not wake each other or stop.
    if (!mLink.ready()) {
        startupProblem(true, ERROR,
                       "Cannot create the exchange's event and timer descriptors: raise the "
                       "process's limit of open files (LimitNOFILE) or free memory");
        return false;
    }

    // vexad may come up later: the client keeps connecting on its own.
    mObjectClient = new cObjectClient(vexadOptions(vexadUid, mLink.timing()));
    // An address that cannot be right is not looked up: the controller is still polled.
    if (vexadAddressOk)
        mObjectClient->start(vexaHost, southPort);

    devA = new SouthDevice(mObjectClient, static_cast<uint32_t>(devSerial), 1, devDispName);

    // A port that does not open is not fatal: the exchange logs its errors and re-opens it. A
    // port that another process took meanwhile is.
    const int fd = mSerconf->connect(std::string(serBusPort));
    const bool blocking = fd >= 0 && !mLink.adoptPort(fd);
    if (blocking || (fd < 0 && errno == EBUSY)) {
        if (blocking) {
            startupProblem(true, ERROR,
                           "Serial port %s cannot be made non-blocking (%s): a write could then "
                           "hold the exchange for as long as the line stalls",
                           serBusPort, strerror(errno));
        } else {
            startupProblem(true, ERROR,
                           "Serial port %s is held by another process: stop it (another "
                           "borl1d?) or give this instance its own port",
                           serBusPort);
        }
        mObjectClient->stop();  // nothing of this instance may reach vexad any more
        return false;
    }
    info("borl1d %s: configuration %s; serial bus %s; line %s; device serial %s; vexad %s:%d",
         BORL1D_VERSION, ConfFile, describeBus().c_str(), describeLine().c_str(),
         describeSerial().c_str(), vexaHost, southPort);
    return true;
}

int dornManager::start() {
    const bool ran = mLink.run();
    capture::shutdown();  // a running capture's file complete before the process ends
    if (!ran)
        return -1;
    mLink.logStatistics();  // the whole run's counts, comparable with a capture's decoding
    // An ordered stop: the port closed, and what is still queued for vexad gets a moment to
    // go out.
    if (serFd >= 0) {
        std::lock_guard<std::mutex> lock(fdMutex);
        qserial::SerialConfig::closePort(serFd);
        serFd = -1;
    }
    if (mObjectClient != nullptr) {
        mObjectClient->flush(std::chrono::milliseconds(1000));
        mObjectClient->stop();
    }
    info("Stopped\n");
    return 0;
}
