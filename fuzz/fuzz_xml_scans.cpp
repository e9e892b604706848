// The two start-up scans on file content: the input becomes the serial-port assignment file
// and the device description file of a scratch configuration root, and both scans read it; the
// serial-port configuration service reads the same assignment file for the line settings.
//
// Checks: the serial device is either left as configured or one of the four buses; the device
// scan, which has one ".xml" file to look at, always succeeds; every port the service keeps is
// a "/dev/ttySN" with settings from its tables.
#include <cstdint>
#include <cstring>

#include <string>

#include "SerialConfig.h"
#include "dornManager.h"
#include "fuzzSupport.h"
#include "inProcess.h"

namespace {

const char* const kConfigured = "configured-port";

const std::string& root() {
    static const std::string r = testsupport::privateConfRoot() + "/etc/vexa";
    return r;
}

bool knownBus(const char* port) {
    static const char* const buses[] = {kConfigured, "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3",
                                        "/dev/ttyS4"};
    for (const char* b : buses) {
        if (strcmp(port, b) == 0)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dornManager* m = fuzzsupport::manager();
    fuzzsupport::writeBytes(root() + "/serialconf.xml", data, size);
    fuzzsupport::writeBytes(root() + "/borl1d/devices/device.xml", data, size);

    m->serBusPort = kConfigured;
    m->clearStartupProblems();  // kept per start-up; one fuzz run is millions of start-ups
    m->readSerialConf();
    FUZZ_CHECK(knownBus(m->serBusPort), m->serBusPort);

    FUZZ_CHECK(m->loadXml(), "device scan");

    qserial::SerialConfig service((root() + "/serialconf.xml").c_str(), "Borl100");
    for (const qserial::SerialPort& p : service.ports()) {
        FUZZ_CHECK(p.device.rfind("/dev/ttyS", 0) == 0 && p.device.size() > 9, p.device);
        FUZZ_CHECK(p.baudRate >= qserial::BR_115200 && p.baudRate <= qserial::BR_9600, p.device);
        FUZZ_CHECK(p.dataBits >= qserial::DB_8 && p.dataBits <= qserial::DB_5, p.device);
        FUZZ_CHECK(p.stopBits == qserial::SB_1 || p.stopBits == qserial::SB_2, p.device);
        FUZZ_CHECK(p.mode == qserial::PM_RS232 || p.mode == qserial::PM_RS485, p.device);
        FUZZ_CHECK(service.find(p.device) != nullptr, p.device);
    }
    return 0;
}
