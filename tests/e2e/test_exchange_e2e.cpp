// The daemon binary against the controller simulator and the console peer: polling, publication,
// requests, set-point write-back, faults on the line, offline and online, serial loss, vexad
// restart.
#include <gtest/gtest.h>

#include <map>

#include "e2eRig.h"

using namespace std::chrono_literals;
using e2e::json;
using e2e::Rig;
using e2e::RigOptions;

namespace {

// The n-th "rx ..." line of the simulator that contains `needle`, waited for.
int waitSim(Rig& rig, const std::string& needle, std::chrono::milliseconds t = 15s,
            size_t from = 0) {
    return rig.simProc->out().waitForLine(needle, t, from);
}

int waitLog(Rig& rig, const std::string& needle, std::chrono::milliseconds t = 15s,
            size_t from = 0) {
    return rig.daemon->err().waitForLine(needle, t, from);
}

}  // namespace

TEST(ExchangeE2E, SilentControllerIsPolledEveryTwoSecondsAndTimesOut) {
    Rig rig("e2e_silent", RigOptions{{"--silent"}});
    int first = waitSim(rig, "rx poll");
    ASSERT_GE(first, 0);
    ASSERT_GE(waitLog(rig, "TX(write thread) timed out."), 0);
    ASSERT_GE(waitSim(rig, "rx poll", 15s, first + 1), 0);
    // Nothing is published while the controller is silent, and the device stays offline.
    EXPECT_EQ(rig.countMessages([](const json& m) { return e2e::isSample(m); }), 0u);
    EXPECT_EQ(rig.countMessages([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0u);
    EXPECT_TRUE(rig.daemon->running());
}

TEST(ExchangeE2E, PublishesCapabilityAndOnlineAtFirstReplyAndSamplesFromTheSecond) {
    Rig rig("e2e_publish");
    int online = rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); });
    ASSERT_GE(online, 0);
    int cap = rig.waitForMessage(e2e::isCapability);
    ASSERT_GE(cap, 0);
    EXPECT_LT(cap, online) << "the capability is published by updater, before the status";
    auto capMsg = rig.messages()[static_cast<size_t>(cap)];
    EXPECT_EQ(capMsg["objects"][0]["label"], "DORN25 Software Rev");
    EXPECT_EQ(capMsg["objects"][0]["deviceSerial"], 4711);
    EXPECT_EQ(rig.countMessages([](const json& m) { return e2e::isSample(m); }), 0u)
        << "no sample before the second reply";

    // The second reply publishes all 19 inputs, in port order.
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isSample(m, 19); }), 0);
    std::vector<int> ports;
    for (const auto& m : rig.messages())
        if (e2e::isSample(m))
            ports.push_back(m["objects"][0]["portNum"].get<int>());
    ASSERT_GE(ports.size(), 19u);
    for (int i = 0; i < 19; ++i)
        EXPECT_EQ(ports[static_cast<size_t>(i)], i + 1);
    ASSERT_GE(rig.daemon->out().waitForLine("Capability Value: "), 0);
    EXPECT_EQ(rig.countMessages([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 1u);
}

TEST(ExchangeE2E, AnswersRequestsForDevicePortsAndCapabilities) {
    Rig rig("e2e_requests");
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);

    size_t from = rig.messages().size();
    rig.console("device");
    int dev = rig.waitForMessage([](const json& m) { return e2e::isReplyWith(m, 0); }, 10s, from);
    ASSERT_GE(dev, 0);
    json d = rig.messages()[static_cast<size_t>(dev)]["objects"][0];
    EXPECT_EQ(d["deviceSerial"], 4711);
    EXPECT_EQ(d["deviceType"], 5);
    EXPECT_EQ(d["analogInCount"], 19);
    EXPECT_EQ(d["analogOutCount"], 8);
    EXPECT_EQ(d["deviceStatus"], 2);

    from = rig.messages().size();
    rig.console("ports ain");
    int ain = rig.waitForMessage([](const json& m) { return e2e::isReplyWith(m, 4); }, 10s, from);
    ASSERT_GE(ain, 0);
    EXPECT_EQ(rig.messages()[static_cast<size_t>(ain)]["objects"].size(), 19u);

    from = rig.messages().size();
    rig.console("ports aout 3");
    int aout = rig.waitForMessage([](const json& m) { return e2e::isReplyWith(m, 11); }, 10s, from);
    ASSERT_GE(aout, 0);
    json port = rig.messages()[static_cast<size_t>(aout)]["objects"];
    ASSERT_EQ(port.size(), 1u);
    EXPECT_EQ(port[0]["portLabel"], "Fan Pull-in");

    from = rig.messages().size();
    rig.console("caps");
    EXPECT_GE(rig.waitForMessage(e2e::isCapability, 10s, from), 0);
}

TEST(ExchangeE2E, SetPointIsWrittenUntilTheControllerConfirmsIt) {
    Rig rig("e2e_set");
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);
    rig.console("set 3 27");
    ASSERT_GE(waitSim(rig, "rx set p=3 v=27"), 0);
    ASSERT_GE(rig.daemon->out().waitForLine("changeVal reset"), 0);
    ASSERT_GE(waitLog(rig, "Set-point 3 = 27 confirmed"), 0);

    // Polling resumes and the set-point reads back as the controller's value.
    size_t simLines = rig.simProc->out().size();
    ASSERT_GE(waitSim(rig, "rx poll", 10s, simLines), 0);
    size_t from = rig.messages().size();
    rig.console("ports aout 3");
    int aout = rig.waitForMessage([](const json& m) { return e2e::isReplyWith(m, 11); }, 10s, from);
    ASSERT_GE(aout, 0);
    EXPECT_EQ(rig.messages()[static_cast<size_t>(aout)]["objects"][0]["sampledValue"], 27.0);
}

TEST(ExchangeE2E, RefusedSetStaysPendingAndIsRepeated) {
    Rig rig("e2e_refused", RigOptions{{"--refuse-sets"}});
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);
    rig.console("set 1 30");
    int first = waitSim(rig, "rx set p=1 v=30");
    ASSERT_GE(first, 0);
    int second = waitSim(rig, "rx set p=1 v=30", 15s, static_cast<size_t>(first) + 1);
    ASSERT_GE(second, 0);
    ASSERT_GE(waitSim(rig, "rx set p=1 v=30", 15s, static_cast<size_t>(second) + 1), 0);
    EXPECT_GE(waitLog(rig, "COULD NOT SET VALUE!!!", 5s), 0);
    EXPECT_LT(rig.daemon->out().waitForLine("changeVal reset", 0ms), 0);

    // Once the controller accepts sets again the pending one is confirmed.
    rig.sim("refuse off");
    ASSERT_GE(rig.daemon->out().waitForLine("changeVal reset"), 0);
}

TEST(ExchangeE2E, RecoversFromBadChecksumsAndStrayBytes) {
    Rig rig("e2e_noise", RigOptions{{"--bad-checksum-every", "3", "--stray-byte-every", "4"}});
    ASSERT_GE(waitLog(rig, "Received frame invalid: Checksum fail", 30s), 0);
    // Replies keep being decoded between the faults.
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isSample(m, 19); }, 30s), 0);
    EXPECT_TRUE(rig.daemon->running());
}

TEST(ExchangeE2E, ReportsOfflineAfterSilenceAndOnlineWhenTheControllerIsBack) {
    Rig rig("e2e_offline");
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);
    rig.sim("silent on");
    int offline = rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 1); }, 25s);
    ASSERT_GE(offline, 0);
    ASSERT_GE(waitLog(rig, "device offline"), 0);
    rig.sim("silent off");
    int online = rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }, 15s,
                                    static_cast<size_t>(offline));
    ASSERT_GE(online, 0);
    ASSERT_GE(waitLog(rig, "device online"), 0);
    EXPECT_EQ(rig.countMessages([](const json& m) { return e2e::isDeviceEvent(m, 1); }), 1u);
}

TEST(ExchangeE2E, ReopensTheSerialPortWhenItComesBack) {
    Rig rig("e2e_reopen");
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isSample(m, 19); }), 0);
    rig.sim("hangup");
    ASSERT_GE(waitLog(rig, "lost"), 0);
    ASSERT_GE(waitLog(rig, "open again", 20s), 0);
    size_t from = rig.messages().size();
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isSample(m, 19); }, 15s, from), 0);
}

TEST(ExchangeE2E, ReconnectsToVexadAfterItRestarts) {
    Rig rig("e2e_vexad_restart");
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isSample(m); }), 0);
    rig.stopConsole();
    rig.startConsole();
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isSample(m); }, 40s), 0);
}

// ---- Set-points: one byte per set-point for reading, writing and confirming ----

namespace {

const std::vector<std::string> kQuick = {"--timing", "pause=100,wait=800"};

// The value of every analogue output, by port id, from one request.
std::map<int, double> setPoints(Rig& rig) {
    size_t from = rig.messages().size();
    rig.console("ports aout");
    int reply =
        rig.waitForMessage([](const json& m) { return e2e::isReplyWith(m, 11); }, 10s, from);
    std::map<int, double> values;
    EXPECT_GE(reply, 0) << "no answer to a request for the set-points";
    if (reply >= 0) {
        const json answer = rig.messages()[static_cast<size_t>(reply)];
        for (const json& o : answer["objects"])
            values[o["portId"].get<int>()] = o["sampledValue"].get<double>();
    }
    return values;
}

}  // namespace

TEST(SetPointE2E, AConfirmedSetShowsOnThePortItWasMadeToAndOneCapabilityIsKept) {
    Rig rig("e2e_setpoint_bytes", RigOptions{{}, kQuick});
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);
    rig.console("set 6 9");
    ASSERT_GE(waitSim(rig, "rx set p=6 v=9"), 0);
    ASSERT_GE(waitLog(rig, "Set-point 6 = 9 confirmed by the controller"), 0);
    ASSERT_GE(waitSim(rig, "rx poll", 10s, rig.simProc->out().size()), 0);

    // The controller's set-points as the simulator starts them, with port 6 now 9.
    const std::map<int, double> expected = {{1, 24}, {2, 26}, {3, 22}, {4, 35},
                                            {5, 7},  {6, 9},  {7, 30}, {8, 10}};
    EXPECT_EQ(setPoints(rig), expected);

    // The revision has been published at least five times by now: a request finds one object.
    size_t from = rig.messages().size();
    rig.console("caps");
    int caps = rig.waitForMessage(e2e::isCapability, 10s, from);
    ASSERT_GE(caps, 0);
    EXPECT_EQ(rig.messages()[static_cast<size_t>(caps)]["objects"].size(), 1u);
}

TEST(SetPointE2E, ASetNeverTakenIsGivenUpAndTheSetQueuedBehindItGoesOut) {
    Rig rig("e2e_given_up", RigOptions{{"--refuse-sets"}, kQuick});
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);
    rig.console("set 1 30");
    ASSERT_GE(waitSim(rig, "rx set p=1 v=30"), 0);
    rig.console("set 2 31");  // the newest goes first; port 1 waits behind it
    int givenUp = waitLog(rig, "Set-point 2 = 31 not confirmed after 10 replies: given up", 30s);
    ASSERT_GE(givenUp, 0);
    const size_t sim = rig.simProc->out().size();
    ASSERT_GE(waitSim(rig, "rx set p=1 v=30", 15s, sim), 0);
    rig.sim("refuse off");
    EXPECT_GE(waitLog(rig, "Set-point 1 = 30 confirmed by the controller"), 0);
}

// A controller that answers late, showing its data as it was when the frame arrived: a set
// changed back while the frame carrying the first value is in flight must still be written.
TEST(SetPointE2E, ASetChangedBackWhileItsFrameIsInFlightIsWrittenBeforeItIsConfirmed) {
    Rig rig("e2e_in_flight",
            RigOptions{{"--apply-late", "--delay-ms", "500"}, {"--timing", "pause=100,wait=2000"}});
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);
    rig.console("set 3 20");
    ASSERT_GE(waitSim(rig, "rx set p=3 v=20"), 0);
    rig.console("set 3 22");  // back to the value the controller shows
    int confirmed = waitLog(rig, "Set-point 3 = 22 confirmed by the controller", 20s);
    ASSERT_GE(confirmed, 0);
    EXPECT_GE(rig.simProc->out().waitForLine("rx set p=3 v=22", 0ms), 0)
        << "confirmed without ever being written";
    ASSERT_GE(waitSim(rig, "rx poll", 10s, rig.simProc->out().size()), 0);
    EXPECT_EQ(setPoints(rig)[3], 22.0) << "the controller ends holding another value";
}

// ---- Cadence: one wait per event ----

namespace {

// Intervals between the simulator's lines that contain `needle`, from line `from` on.
std::vector<double> intervalsMs(Rig& rig, const std::string& needle, size_t from) {
    const auto lines = rig.simProc->out().lines();
    const auto times = rig.simProc->out().times();
    std::vector<double> out;
    std::chrono::steady_clock::time_point last{};
    for (size_t i = from; i < lines.size() && i < times.size(); ++i) {
        if (lines[i].find(needle) == std::string::npos)
            continue;
        if (last != std::chrono::steady_clock::time_point{})
            out.push_back(std::chrono::duration<double, std::milli>(times[i] - last).count());
        last = times[i];
    }
    return out;
}

}  // namespace

// While replies flow, a cycle is the pause plus the reply's travel; in silence it is the wait.
// A lost answer would show as cycles of the wait's length while replies flow.
TEST(CadenceE2E, OneCyclePerPauseWhileRepliesFlowAndOnePerWaitInSilence) {
    Rig rig("e2e_cadence", RigOptions{{}, {"--timing", "pause=300,wait=900"}});
    ASSERT_GE(rig.waitForMessage([](const json& m) { return e2e::isDeviceEvent(m, 2); }), 0);
    size_t from = rig.simProc->out().size();
    const size_t logFrom = rig.daemon->err().size();
    for (int i = 0; i < 7; ++i)
        ASSERT_GE(waitSim(rig, "rx poll", 10s, rig.simProc->out().size()), 0);
    for (double ms : intervalsMs(rig, "rx poll", from)) {
        EXPECT_GE(ms, 250.0);
        EXPECT_LE(ms, 700.0) << "an answered cycle took a wait's length";
    }
    EXPECT_LT(waitLog(rig, "TX(write thread) timed out.", 0ms, logFrom), 0);

    rig.sim("silent on");
    ASSERT_GE(waitSim(rig, "ok silent on"), 0);
    from = rig.simProc->out().size();
    for (int i = 0; i < 5; ++i)
        ASSERT_GE(waitSim(rig, "rx poll", 10s, rig.simProc->out().size()), 0);
    const std::vector<double> silent = intervalsMs(rig, "rx poll", from);
    for (size_t i = 1; i < silent.size(); ++i) {  // the first may still hold a pause
        EXPECT_GE(silent[i], 850.0);
        EXPECT_LE(silent[i], 1400.0);
    }
    EXPECT_GE(waitLog(rig, "TX(write thread) timed out."), 0);
}

// A port that cannot be opened is tried again after 1, 2, 4 ... times the first delay, up to
// the ceiling.
TEST(CadenceE2E, ReopenBackOffDoublesUpToItsCeiling) {
    Rig rig("e2e_backoff", RigOptions{{}, {}, true, false});
    rig.simProc->writeStdin("quit\n");
    rig.simProc->wait(5s);
    rig.simProc.reset();  // no controller, no pty: every open fails
    rig.startDaemon({"--timing", "start=0,reopen-min=100,reopen-max=400"});
    ASSERT_TRUE(testsupport::waitFor([&] { return rig.logTimes("Could not open").size() >= 6; }));
    const auto t = rig.logTimes("Could not open");
    std::vector<double> gaps;
    for (size_t i = 1; i < t.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(t[i] - t[i - 1]).count());
    // After start-up's own open: 100, 200, 400, 400 ...
    const double want[] = {100, 200, 400, 400};
    ASSERT_GE(gaps.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_GE(gaps[i], want[i] * 0.9) << "retry " << i;
        EXPECT_LE(gaps[i], want[i] * 1.3 + 100) << "retry " << i;
    }
}
