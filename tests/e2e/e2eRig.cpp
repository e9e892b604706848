#include "e2eRig.h"

#include <signal.h>

#include <iostream>

#include <gtest/gtest.h>

#include "site.h"

namespace e2e {

Rig::Rig(const std::string& name, const RigOptions& options)
    : dir(name),
      link(dir / "ttyCTRL"),
      vexadPort(testsupport::freeTcpPort()),
      mQuickTiming(options.quickTiming) {
    writeConfig();
    startSim(options.simArgs);
    if (options.startConsole)
        startConsole();
    if (options.startDaemon)
        startDaemon(options.daemonArgs);
}

Rig::~Rig() {
    // The daemon first, while vexad is still there to take what it flushes on the way out.
    if (daemon) {
        daemon->kill(SIGTERM);
        daemon->wait(std::chrono::seconds(5));
    }
    if (consoleProc)
        consoleProc->closeStdin();
    if (simProc)
        simProc->writeStdin("quit\n");
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
    testsupport::Site site;
    site.port = link;
    site.vexadPort = vexadPort;
    site.logToStderr = true;
    testsupport::writeSite(root(), site);
}

void Rig::startSim(const std::vector<std::string>& args) {
    std::vector<std::string> argv{testsupport::builtBinary("borl-sim"), "--link", link, "--seed",
                                  "7"};
    argv.insert(argv.end(), args.begin(), args.end());
    simProc = std::make_unique<Process>(argv, dir.path());
    ASSERT_GE(simProc->out().waitForLine("pty: "), 0) << simProc->err().text();
}

void Rig::startConsole(const std::vector<std::string>& args) {
    {
        std::lock_guard<std::mutex> lock(mDecodedMutex);
        mDecoded.clear();  // a new console: its messages count from 0
    }
    std::vector<std::string> argv{testsupport::builtBinary("vexa-console"), "--port",
                                  std::to_string(vexadPort), "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    consoleProc = std::make_unique<Process>(argv, dir.path());
    ASSERT_GE(consoleProc->err().waitForLine("listening"), 0) << consoleProc->err().text();
}

void Rig::stopConsole() {
    consoleProc->kill(SIGTERM);
    consoleProc->wait(std::chrono::seconds(5));
    consoleProc.reset();
}

std::vector<std::string> Rig::daemonCommand(const std::vector<std::string>& args) const {
    std::vector<std::string> all;
    if (mQuickTiming)
        all = {"--timing", testsupport::kQuickTiming};
    all.insert(all.end(), args.begin(), args.end());
    return testsupport::daemonCommand(root(), all);
}

void Rig::startDaemon(const std::vector<std::string>& args,
                      const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = wrapper;
    for (const std::string& word : daemonCommand(args))
        argv.push_back(word);
    daemon = std::make_unique<Process>(argv, dir.path());
}

int Rig::waitSim(const std::string& needle, std::chrono::milliseconds timeout, size_t from) {
    return simProc->out().waitForLine(needle, timeout, from);
}

int Rig::waitLog(const std::string& needle, std::chrono::milliseconds timeout, size_t from) {
    return daemon->err().waitForLine(needle, timeout, from);
}

int Rig::waitOut(const std::string& needle, std::chrono::milliseconds timeout, size_t from) {
    return daemon->out().waitForLine(needle, timeout, from);
}

void Rig::decodeNew() {
    if (!consoleProc)
        return;
    for (const std::string& line : consoleProc->out().linesFrom(mDecoded.size())) {
        json j = json::parse(line, nullptr, false);
        mDecoded.push_back(j.is_discarded() ? json() : std::move(j));
    }
}

std::vector<json> Rig::messages(size_t from) {
    std::lock_guard<std::mutex> lock(mDecodedMutex);
    decodeNew();
    if (from >= mDecoded.size())
        return {};
    return std::vector<json>(mDecoded.begin() + static_cast<std::ptrdiff_t>(from), mDecoded.end());
}

json Rig::message(size_t index) {
    std::lock_guard<std::mutex> lock(mDecodedMutex);
    decodeNew();
    return index < mDecoded.size() ? mDecoded[index] : json();
}

size_t Rig::messageCount() {
    std::lock_guard<std::mutex> lock(mDecodedMutex);
    decodeNew();
    return mDecoded.size();
}

bool Rig::waitForMessages(const std::function<bool(const json&)>& pred, size_t n,
                          std::chrono::milliseconds timeout, size_t from) {
    if (!consoleProc)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t checked = from;
    size_t found = 0;
    for (;;) {
        size_t have;
        {
            std::lock_guard<std::mutex> lock(mDecodedMutex);
            decodeNew();
            for (; checked < mDecoded.size() && found < n; ++checked)
                found += pred(mDecoded[checked]) ? 1 : 0;
            if (found >= n)
                return true;
            have = mDecoded.size();
        }
        if (!consoleProc->out().waitForMore(have, deadline))
            return false;
    }
}

int Rig::waitForMessage(const std::function<bool(const json&)>& pred,
                        std::chrono::milliseconds timeout, size_t from) {
    if (!waitForMessages(pred, 1, timeout, from))
        return -1;
    std::lock_guard<std::mutex> lock(mDecodedMutex);
    for (size_t i = from; i < mDecoded.size(); ++i) {
        if (pred(mDecoded[i]))
            return static_cast<int>(i);
    }
    return -1;
}

size_t Rig::countMessages(const std::function<bool(const json&)>& pred, size_t from) {
    std::lock_guard<std::mutex> lock(mDecodedMutex);
    decodeNew();
    size_t n = 0;
    for (size_t i = from; i < mDecoded.size(); ++i)
        n += pred(mDecoded[i]) ? 1 : 0;
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
