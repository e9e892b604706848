#include "e2eRig.h"

#include <signal.h>

#include <gtest/gtest.h>

namespace e2e {

Rig::Rig(const std::string& name, const RigOptions& options)
    : dir(name), link(dir / "ttyCTRL"), vexadPort(testsupport::freeTcpPort()) {
    writeConfig();
    startSim(options.simArgs);
    if (options.startConsole)
        startConsole();
    if (options.startDaemon)
        startDaemon(options.daemonArgs);
}

Rig::~Rig() {
    if (daemon)
        daemon->kill(SIGTERM);
    if (consoleProc)
        consoleProc->closeStdin();
    if (simProc)
        simProc->writeStdin("quit\n");
    if (daemon)
        daemon->wait(std::chrono::seconds(5));
    if (consoleProc)
        consoleProc->wait(std::chrono::seconds(5));
    if (simProc)
        simProc->wait(std::chrono::seconds(5));
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info && info->result() && info->result()->Failed() && daemon) {
        std::cerr << "---- daemon stderr (log) ----\n" << daemon->err().text();
        std::cerr << "---- daemon stdout ----\n" << daemon->out().text();
        if (simProc)
            std::cerr << "---- simulator ----\n" << simProc->out().text();
    }
}

void Rig::writeConfig() {
    // The serial-port assignment names the controller at the fifth port of the bus: the scan
    // then succeeds without replacing the configured device, which is the simulator's pty.
    testsupport::writeFile(dir / "etc/vexa/serialconf.xml",
                           "<?xml version=\"1.0\"?>\n"
                           "<config>\n"
                           "  <serialconfig>\n"
                           "    <port><owner>modem</owner></port>\n"
                           "    <port/>\n"
                           "    <port/>\n"
                           "    <port/>\n"
                           "    <port><owner>Borl100</owner></port>\n"
                           "  </serialconfig>\n"
                           "</config>\n");
    testsupport::writeFile(dir / "etc/vexa/borl1d/devices/borl100.xml",
                           "<?xml version=\"1.0\"?>\n<Borl100><serial>4711</serial></Borl100>\n");
    testsupport::writeFile(dir / "etc/vexa/borl1d.conf",
                           "vexad.host = 127.0.0.1\n"
                           "vexad.south.port = " +
                               std::to_string(vexadPort) +
                               "\n"
                               "borl1d.device.port = " +
                               link +
                               "\n"
                               "borl1d.device.dir = etc/vexa/borl1d/devices/\n"
                               "borl1d.serialconf.file = etc/vexa/serialconf.xml\n"
                               "log4cpp.rootCategory = DEBUG, err\n"
                               "log4cpp.appender.err = FileAppender\n"
                               "log4cpp.appender.err.fileName = /dev/stderr\n"
                               "log4cpp.appender.err.layout = PatternLayout\n"
                               "log4cpp.appender.err.layout.ConversionPattern = %d %c %p: %m%n\n");
}

void Rig::startSim(const std::vector<std::string>& args) {
    std::vector<std::string> argv{testsupport::builtBinary("borl-sim"), "--link", link, "--seed",
                                  "7"};
    argv.insert(argv.end(), args.begin(), args.end());
    simProc = std::make_unique<Process>(argv, dir.path());
    ASSERT_GE(simProc->out().waitForLine("pty: "), 0) << simProc->err().text();
}

void Rig::startConsole() {
    consoleProc = std::make_unique<Process>(
        std::vector<std::string>{testsupport::builtBinary("vexa-console"), "--port",
                                 std::to_string(vexadPort), "--json"},
        dir.path());
    ASSERT_GE(consoleProc->err().waitForLine("listening"), 0) << consoleProc->err().text();
}

void Rig::stopConsole() {
    consoleProc->kill(SIGTERM);
    consoleProc->wait(std::chrono::seconds(5));
    consoleProc.reset();
}

void Rig::startDaemon(const std::vector<std::string>& args) {
    std::vector<std::string> argv{testsupport::builtBinary("borl1d-testroot")};
    argv.insert(argv.end(), args.begin(), args.end());
    daemon = std::make_unique<Process>(argv, dir.path());
}

std::vector<std::chrono::steady_clock::time_point> Rig::logTimes(const std::string& needle) {
    std::vector<std::chrono::steady_clock::time_point> out;
    const auto lines = daemon->err().lines();
    const auto times = daemon->err().times();
    for (size_t i = 0; i < lines.size() && i < times.size(); ++i) {
        if (lines[i].find(needle) != std::string::npos)
            out.push_back(times[i]);
    }
    return out;
}

std::vector<json> Rig::messages(size_t from) {
    std::vector<json> out;
    if (!consoleProc)
        return out;
    auto lines = consoleProc->out().lines();
    for (size_t i = from; i < lines.size(); ++i) {
        json j = json::parse(lines[i], nullptr, false);
        out.push_back(j.is_discarded() ? json() : j);
    }
    return out;
}

int Rig::waitForMessage(const std::function<bool(const json&)>& pred,
                        std::chrono::milliseconds timeout, size_t from) {
    int found = -1;
    testsupport::waitFor(
        [&] {
            auto msgs = messages(from);
            for (size_t i = 0; i < msgs.size(); ++i) {
                if (pred(msgs[i])) {
                    found = static_cast<int>(from + i);
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

size_t Rig::countMessages(const std::function<bool(const json&)>& pred, size_t from) {
    size_t n = 0;
    for (const auto& m : messages(from))
        n += pred(m) ? 1 : 0;
    return n;
}

namespace {
const json* firstObject(const json& m) {
    if (!m.is_object() || !m.contains("objects") || !m["objects"].is_array() ||
        m["objects"].empty())
        return nullptr;
    return &m["objects"][0];
}
}  // namespace

bool isSample(const json& m, int portNum) {
    const json* o = firstObject(m);
    return o && m["msgType"] == 3 && (*o)["objType"] == 9 &&
           (portNum < 0 || (*o)["portNum"] == portNum);
}

bool isDeviceEvent(const json& m, int status) {
    const json* o = firstObject(m);
    return o && m["msgType"] == 3 && (*o)["objType"] == 0 && (*o)["deviceStatus"] == status;
}

bool isCapability(const json& m) {
    const json* o = firstObject(m);
    return o && m["msgType"] == 1 && (*o)["objType"] == 12;
}

bool isReplyWith(const json& m, int objType) {
    const json* o = firstObject(m);
    return o && m["msgType"] == 1 && (*o)["objType"] == objType;
}

}  // namespace e2e
