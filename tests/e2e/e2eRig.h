// The three processes of an end-to-end run: the controller simulator on a pty, the console peer
// playing vexad, and the daemon built with a configuration root relative to its working
// directory, which is a scratch directory of the test.
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "testSupport.h"

namespace e2e {

using nlohmann::json;
using testsupport::Process;
using testsupport::ScratchDir;

struct RigOptions {
    RigOptions() = default;
    RigOptions(std::vector<std::string> sim, std::vector<std::string> daemon = {},
               bool console = true, bool startTheDaemon = true)
        : simArgs(std::move(sim)),
          daemonArgs(std::move(daemon)),
          startConsole(console),
          startDaemon(startTheDaemon) {}

    std::vector<std::string> simArgs;     // extra borl-sim options
    std::vector<std::string> daemonArgs;  // extra daemon options (--timing ...)
    bool startConsole = true;
    bool startDaemon = true;
};

class Rig {
public:
    explicit Rig(const std::string& name, const RigOptions& options = RigOptions());
    ~Rig();

    // Writes the configuration root (etc/vexa/...) for the daemon.
    void writeConfig();
    void startSim(const std::vector<std::string>& args);
    void startConsole();
    void startDaemon(const std::vector<std::string>& args = {});
    void stopConsole();

    // Sends one line to the console's standard input (a command or a raw JSON line).
    void console(const std::string& line) { consoleProc->writeStdin(line + "\n"); }
    void sim(const std::string& line) { simProc->writeStdin(line + "\n"); }

    // Messages the console received, decoded, from index `from` on.
    std::vector<json> messages(size_t from = 0);
    // Waits until a received message satisfies `pred`; returns its index or -1.
    int waitForMessage(const std::function<bool(const json&)>& pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15),
                       size_t from = 0);
    // Counts received messages satisfying `pred`.
    size_t countMessages(const std::function<bool(const json&)>& pred, size_t from = 0);

    // Steady-clock times of the daemon's log lines (standard error) that contain `needle`.
    std::vector<std::chrono::steady_clock::time_point> logTimes(const std::string& needle);

    ScratchDir dir;
    std::string link;  // symlink the simulator keeps pointing at its pty
    int vexadPort;
    std::unique_ptr<Process> simProc;
    std::unique_ptr<Process> consoleProc;
    std::unique_ptr<Process> daemon;
};

// Predicates over decoded messages.
bool isSample(const json& m, int portNum = -1);
bool isDeviceEvent(const json& m, int status);
bool isCapability(const json& m);
bool isReplyWith(const json& m, int objType);

}  // namespace e2e
