// The daemon binary against the controller simulator and the console peer: polling, publication,
// requests, set-point write-back, faults on the line, offline and online, serial loss, vexad
// restart.
#include <gtest/gtest.h>

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
