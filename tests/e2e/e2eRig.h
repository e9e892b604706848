// The three processes of an end-to-end run: the controller simulator on a pty, the console peer
// playing vexad, and the daemon on a configuration root in a scratch directory of the test.
//
// The daemon runs on short timings (testsupport::kQuickTiming) unless a test says otherwise: a
// test that depends on a timing names it in its own --timing, which comes after the rig's and
// wins; a test of the production cadence turns the rig's timings off.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "points.h"
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
    bool quickTiming = true;  // false: the daemon's own (production) timings
};

class Rig {
public:
    explicit Rig(const std::string& name, const RigOptions& options = RigOptions());
    ~Rig();

    // The daemon's configuration root, <scratch>/etc/vexa.
    std::string root() const { return dir / "etc/vexa"; }
    // Writes the configuration root for the daemon.
    void writeConfig();
    void startSim(const std::vector<std::string>& args);
    void startConsole(const std::vector<std::string>& args = {});  // extra vexa-console options
    // Starts the daemon on the rig's root with the rig's timings, then `args`; a `wrapper`
    // (a command that executes the rest, as `unshare --time ...` does) goes in front.
    void startDaemon(const std::vector<std::string>& args = {},
                     const std::vector<std::string>& wrapper = {});
    // The daemon's command line as startDaemon runs it.
    std::vector<std::string> daemonCommand(const std::vector<std::string>& args = {}) const;
    void stopConsole();

    // Sends one line to the console's standard input (a command or a raw JSON line).
    void console(const std::string& line) { consoleProc->writeStdin(line + "\n"); }
    void sim(const std::string& line) { simProc->writeStdin(line + "\n"); }

    // Waits for a line of the simulator's standard output, of the daemon's log (its standard
    // error) or of the daemon's standard output that contains `needle`, from line `from` on;
    // returns its index or -1.
    int waitSim(const std::string& needle, std::chrono::milliseconds timeout = kWait,
                size_t from = 0);
    int waitLog(const std::string& needle, std::chrono::milliseconds timeout = kWait,
                size_t from = 0);
    int waitOut(const std::string& needle, std::chrono::milliseconds timeout = kWait,
                size_t from = 0);
    // Lines of the simulator's standard output and of the daemon's log so far.
    size_t simLines() { return simProc->out().size(); }
    size_t logLines() { return daemon->err().size(); }

    // Messages the console received, decoded (each line once, as it arrives), from index `from`
    // on; a line that is not JSON is a null value.
    std::vector<json> messages(size_t from = 0);
    json message(size_t index);
    size_t messageCount();
    // Waits until a received message satisfies `pred`; returns its index or -1. Wakes up for
    // every line the console prints, never polls.
    int waitForMessage(const std::function<bool(const json&)>& pred,
                       std::chrono::milliseconds timeout = kWait, size_t from = 0);
    // Waits until `n` received messages from `from` on satisfy `pred`.
    bool waitForMessages(const std::function<bool(const json&)>& pred, size_t n,
                         std::chrono::milliseconds timeout = kWait, size_t from = 0);
    // Counts received messages satisfying `pred`.
    size_t countMessages(const std::function<bool(const json&)>& pred, size_t from = 0);

    static constexpr std::chrono::milliseconds kWait{15000};  // default deadline of the waits

    ScratchDir dir;
    std::string link;  // symlink the simulator keeps pointing at its pty
    int vexadPort;
    std::unique_ptr<Process> simProc;
    std::unique_ptr<Process> consoleProc;
    std::unique_ptr<Process> daemon;

private:
    bool mQuickTiming;
    // Decodes the console's lines not decoded yet; call with mDecodedMutex held.
    void decodeNew();

    std::mutex mDecodedMutex;
    std::vector<json> mDecoded;  // the console's lines so far, decoded once each
};

// Predicates over decoded messages.
bool isSample(const json& m, int portNum = -1);
bool isDeviceEvent(const json& m, int status);
bool isCapability(const json& m);
bool isReplyWith(const json& m, int objType);
// The sample of the last input: a reply's samples have all been published.
inline bool isLastSample(const json& m) {
    return isSample(m, points::kInputs);
}
inline bool isOnline(const json& m) {
    return isDeviceEvent(m, 2);
}
inline bool isOffline(const json& m) {
    return isDeviceEvent(m, 1);
}

}  // namespace e2e
