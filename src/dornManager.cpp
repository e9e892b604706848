// The daemon manager's start-up: configuration keys, the serial-port and device scans, the link
// to vexad, the device object, the transmit handshake and the serial port.
#include "dornManager.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "SerialConfig.h"
#include "cConfig.h"
#include "cObjectClient.h"
#include "southDevice.h"

// The transmit thread and its handshake with the receive loop. Statically initialised so that
// they are usable objects from the start; initDorn sets them up for the daemon (the condition
// variable then waits on the monotonic clock).
pthread_t myThread;
pthread_mutex_t mTxMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t mTxCond = PTHREAD_COND_INITIALIZER;

void initTxHandshake() {
    pthread_mutex_init(&mTxMutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);  // handshake deadlines ignore clock steps
    pthread_cond_init(&mTxCond, &attr);
    pthread_condattr_destroy(&attr);
}

dornManager::dornManager()
    : cQlog("dornManager"),
      devOwner("Borl100"),
      vexaHost("localhost"),
      southPort(50000),
      serConf(DefaultSerialConf),
      devDir(DefaultDeviceDir),
      serBusPort("/dev/ttyS2"),
      devDispName("BORL1_Retro_Controller"),
      serConfDir(ConfDir),
      devSerial(0),
      cConfFile_status(false),
      devA(nullptr),
      mObjectClient(nullptr),
      mSerconf(nullptr),
      serFd(-1) {
    if (!cConfig::load(ConfFile)) {
        error("Could not load config file: \"%s\" \n", ConfFile);
        cConfFile_status = false;
        return;
    }
    cQlog::init(ConfFile);

    devOwner = cConfig::getString("borl1d.device.name", "Borl100");
    serConf = cConfig::getString("borl1d.serialconf.file", DefaultSerialConf);
    southPort = cConfig::getInt("vexad.south.port", 50000);
    vexaHost = cConfig::getString("vexad.host", "localhost");
    devDir = cConfig::getString("borl1d.device.dir", DefaultDeviceDir);
    serBusPort = cConfig::getString("borl1d.device.port", "/dev/ttyS2");
    devDispName = cConfig::getString("borl1d.device.displayname", "BORL1_Retro_Controller");
    // A second controller's instance names its own assignment directory, so that its bus does
    // not come from the first controller's assignment files.
    serConfDir = cConfig::getString("borl1d.serialconf.dir", ConfDir);

    cConfFile_status = readSerialConf();
    debug("Done reading readSerialConf()");
}

dornManager::~dornManager() {
    // The daemon keeps its manager to the end; tests that make several close what it opened.
    if (link.wakeFd >= 0)
        close(link.wakeFd);
}

bool dornManager::initDorn() {
    mSerconf = new qserial::SerialConfig(serConf, devOwner);

    if (!loadXml()) {
        error("Could not parse Xml file");
        return false;
    }

    // vexad may come up later: the client keeps connecting on its own.
    mObjectClient = new cObjectClient();
    mObjectClient->start(vexaHost, southPort);

    devA = new SouthDevice(mObjectClient, static_cast<uint32_t>(devSerial), 1, devDispName);

    initTxHandshake();

    // A port that does not open is not fatal: the exchange logs its errors and re-opens it.
    serFd = mSerconf->connect(std::string(serBusPort));
    return true;
}

bool dornManager::checkConfig() {
    bool ok = cConfFile_status;
    if (ok) {
        mSerconf = new qserial::SerialConfig(serConf, devOwner);
        ok = loadXml();
        if (!ok)
            error("Could not parse Xml file");
    }
    std::printf("configuration file: %s\n", ConfFile);
    std::printf("serial port: %s\n", serBusPort);
    std::printf("device serial: %u\n", static_cast<unsigned>(devSerial));
    std::printf("vexad: %s:%d\n", vexaHost, southPort);
    std::printf("%s\n", ok ? "configuration usable" : "configuration NOT usable");
    return ok;
}
