#include "site.h"

#include <unistd.h>

#include "testSupport.h"

namespace testsupport {

const char* const kSerialconfFifthPort =
    "<?xml version=\"1.0\"?>\n"
    "<config>\n"
    "  <serialconfig>\n"
    "    <port><owner>modem</owner></port>\n"
    "    <port/>\n"
    "    <port/>\n"
    "    <port/>\n"
    "    <port><owner>Borl100</owner></port>\n"
    "  </serialconfig>\n"
    "</config>\n";

const char* const kQuickTiming =
    "start=0,pause=50,wait=300,offline=600,reopen-min=100,reopen-max=400,vexad-retry=100";

std::string siteConf(const Site& site) {
    std::string text = "vexad.host = 127.0.0.1\n";
    text +=
        "vexad.south.port = " + std::to_string(site.vexadPort ? site.vexadPort : freeTcpPort()) +
        "\n";
    text += "borl1d.device.port = " + site.port + "\n";
    if (site.logToStderr) {
        text +=
            "log4cpp.rootCategory = DEBUG, err\n"
            "log4cpp.appender.err = FileAppender\n"
            "log4cpp.appender.err.fileName = /dev/stderr\n"
            "log4cpp.appender.err.layout = PatternLayout\n"
            "log4cpp.appender.err.layout.ConversionPattern = %d %c %p: %m%n\n";
    }
    return text + site.extra;
}

void writeSite(const std::string& root, const Site& site) {
    writeFile(root + "/borl1d.conf", siteConf(site));
    writeFile(root + "/serialconf.xml", kSerialconfFifthPort);
    writeFile(root + "/borl1d/devices/borl100.xml", "<?xml version=\"1.0\"?>\n<Borl100><serial>" +
                                                        std::to_string(site.serial) +
                                                        "</serial></Borl100>\n");
}

std::string xmlEntityFlood(const std::string& root, const std::string& element) {
    std::string refs;
    for (int i = 0; i < 10000; ++i)
        refs += "&e;";
    return "<?xml version=\"1.0\"?>\n<!DOCTYPE " + root + " [<!ENTITY e \"" +
           std::string(30000, 'B') + "\">]>\n<" + root + "><" + element + ">" + refs + "</" +
           element + "></" + root + ">\n";
}

std::vector<std::string> daemonCommand(const std::string& root,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> argv{builtBinary("borl1d"), "--conf-dir", root};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

int checkStatusFor(const std::string& port) {
    return access(port.c_str(), F_OK) == 0 ? 0 : 1;
}

}  // namespace testsupport
