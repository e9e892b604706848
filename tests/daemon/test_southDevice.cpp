// The device: its point table, the mapping of controller data blocks onto it with the sample
// events and capability messages that follow, and the online status event. One test puts the
// published values on the wire through the real client to a listening peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cObjectCodec.h"
#include "logCapture.h"
#include "southDevice.h"
#include "testClient.h"
#include "testSupport.h"

namespace {

constexpr uint32_t kSerial = 300123;

// A controller data block (in the zero-filled 128-byte buffer the receive loop hands over)
// whose every byte is recognisable.
struct Block {
    uint8_t bytes[128] = {};
    Block() {
        for (int i = 0; i < 60; ++i)
            bytes[i] = static_cast<uint8_t>(0xA0 + i);
        bytes[0] = 24;  // set-points 1..8 at indexes 0..7
        bytes[1] = 22;
        bytes[2] = 20;
        bytes[3] = 35;
        bytes[4] = 3;
        bytes[5] = 40;
        bytes[6] = 9;
        bytes[7] = 77;
        bytes[8] = 88;     // read by nothing
        bytes[19] = 7;     // software revision
        bytes[24] = 0x01;  // AC-1 hours 0x0102
        bytes[25] = 0x02;
        bytes[40] = 0xFF;  // mains fail hours 0xFFFE
        bytes[41] = 0xFE;
        bytes[46] = 0xF6;  // internal temperature: no sign
        bytes[54] = 55;    // RH
        bytes[55] = 56;
    }
};

// What each input should publish for Block: its row's value (the spot checks below pin the
// encodings).
float expectedInput(const Block& b, uint32_t id) {
    return points::value(points::input(static_cast<int>(id - 1)), b.bytes);
}

// The capability globals are process-wide: every device of this binary starts from a fresh
// publication count.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        count = 0;
        addCap_status = true;
    }
};

std::vector<std::string> capturedStdout(const std::function<void()>& body) {
    ::testing::internal::CaptureStdout();
    body();
    std::string text = ::testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

}  // namespace

TEST_F(DeviceTest, ConstructionBuildsThePointTableAndSendsNothing) {
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "Borl cooling");
    EXPECT_EQ(client.count(), 0u);

    EXPECT_EQ(dev.getType(), cObject::OBJ_DEVICE);
    EXPECT_EQ(dev.getDeviceSerial(), kSerial);
    EXPECT_STREQ(dev.getDeviceLabel(), "Borl cooling");
    EXPECT_EQ(dev.getVersion(), 1u);
    EXPECT_EQ(dev.getDeviceStatus(), cObject::OBJ_STATUS_ALARM_SET);
    EXPECT_EQ(dev.getDeviceType(), static_cast<uint32_t>(cObject::TYPE_SNMP));
    EXPECT_EQ(dev.getAnalogInCount(), static_cast<uint32_t>(points::kInputs));
    EXPECT_EQ(dev.getAnalogOutCount(), static_cast<uint32_t>(points::kSetpoints));
    EXPECT_EQ(dev.client, &client);
    EXPECT_TRUE(dev.setValues.empty());
    EXPECT_TRUE(dev.capabilities.empty());
    EXPECT_TRUE(dev.diPorts.empty());
    EXPECT_TRUE(dev.doPorts.empty());

    ASSERT_EQ(dev.aoPorts.size(), static_cast<size_t>(points::kSetpoints));
    int i = 0;
    for (AnalogueOutput* p : dev.aoPorts) {
        const points::Point& row = points::setpoint(i++);
        SCOPED_TRACE(row.label);
        EXPECT_EQ(p->getPortId(), row.id);
        EXPECT_EQ(p->portNumber, static_cast<int>(row.id));
        EXPECT_STREQ(p->getPortLabel(), row.label);
        EXPECT_STREQ(p->getDisplayUnit(), row.unit);
        EXPECT_EQ(p->getDeviceSerial(), kSerial);
        EXPECT_FLOAT_EQ(p->getGain(), 1.0f);
        EXPECT_FLOAT_EQ(p->getOffset(), 0.0f);
    }
    ASSERT_EQ(dev.aiPorts.size(), static_cast<size_t>(points::kInputs));
    i = 0;
    for (AnalogueInput* p : dev.aiPorts) {
        const points::Point& row = points::input(i++);
        SCOPED_TRACE(row.label);
        EXPECT_EQ(p->getPortId(), row.id);
        EXPECT_STREQ(p->getPortLabel(), row.label);
        EXPECT_STREQ(p->getDisplayUnit(), row.unit);
        EXPECT_EQ(p->getDeviceSerial(), kSerial);
        EXPECT_EQ(p->getSampleRate(), 1u);
        EXPECT_FLOAT_EQ(p->getGain(), 1.0f);
        EXPECT_FLOAT_EQ(p->getOffset(), 0.0f);
    }

    // The named members are the first list elements, in table order.
    const std::vector<AnalogueOutput*> outs = {
        dev.airconPullIn1,  dev.airconDropout2,      dev.fanPullIn,    dev.hiTempDropout,
        dev.airconRotation, dev.airconPowerupDelay1, dev.failSetpoint, dev.airconTestDelay};
    EXPECT_TRUE(std::equal(outs.begin(), outs.end(), dev.aoPorts.begin()));
    const std::vector<AnalogueInput*> ins = {
        dev.ac1Hours,         dev.ac2Hours,       dev.fanHours,
        dev.rhHours,          dev.rhFreeAirHours, dev.activeModeHours,
        dev.freeAirModeHours, dev.hiTempHours,    dev.mainsFailHours,
        dev.internalTemp,     dev.externalTemp,   dev.aveInternalTemp,
        dev.aveExternalTemp,  dev.ac1Temp,        dev.ac2Temp,
        dev.averageAc1Temp,   dev.averageAc2Temp, dev.rh,
        dev.averageRh};
    EXPECT_TRUE(std::equal(ins.begin(), ins.end(), dev.aiPorts.begin()));
}

TEST_F(DeviceTest, FirstBlockStoresSetPointsAndPublishesOnlyTheCapability) {
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "dev");
    Block b;
    auto out = capturedStdout([&] { dev.updater(&client, b.bytes); });
    EXPECT_EQ(out, std::vector<std::string>{"Capability Value: 7"});

    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].type, cObjectList::MSG_REQUEST);
    ASSERT_EQ(msgs[0].size(), 1u);
    const cObjectCapability* cap = msgs[0].as<cObjectCapability>(0);
    ASSERT_NE(cap, nullptr);
    EXPECT_EQ(cap->getCapId(), 1u);
    EXPECT_EQ(cap->getDeviceSerial(), kSerial);
    EXPECT_STREQ(cap->getLabel(), "DORN25 Software Rev");
    EXPECT_STREQ(cap->getValue(), "7");
    ASSERT_EQ(dev.capabilities.size(), 1u);

    // Set-points: port p from index p - 1, where it is also written and confirmed.
    EXPECT_FLOAT_EQ(dev.airconPullIn1->getSampledValue(), 24.0f);
    EXPECT_FLOAT_EQ(dev.airconDropout2->getSampledValue(), 22.0f);
    EXPECT_FLOAT_EQ(dev.fanPullIn->getSampledValue(), 20.0f);
    EXPECT_FLOAT_EQ(dev.hiTempDropout->getSampledValue(), 35.0f);
    EXPECT_FLOAT_EQ(dev.airconRotation->getSampledValue(), 3.0f);
    EXPECT_FLOAT_EQ(dev.airconPowerupDelay1->getSampledValue(), 40.0f);
    EXPECT_FLOAT_EQ(dev.failSetpoint->getSampledValue(), 9.0f);
    EXPECT_FLOAT_EQ(dev.airconTestDelay->getSampledValue(), 77.0f);
    // Inputs publish nothing on their first reading, so their values are still unset.
    for (AnalogueInput* p : dev.aiPorts)
        EXPECT_FLOAT_EQ(p->getSampledValue(), 0.0f);
}

TEST_F(DeviceTest, SecondBlockPublishesCapabilityThenEverySampleInPortOrder) {
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "dev");
    Block b;
    capturedStdout([&] { dev.updater(&client, b.bytes); });
    client.clear();
    capturedStdout([&] { dev.updater(&client, b.bytes); });

    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 1u + points::kInputs);
    ASSERT_NE(msgs[0].as<cObjectCapability>(0), nullptr);
    for (uint32_t id = 1; id <= static_cast<uint32_t>(points::kInputs); ++id) {
        const auto& m = msgs[id];
        SCOPED_TRACE("input " + std::to_string(id));
        EXPECT_EQ(m.type, cObjectList::MSG_EVENT);
        ASSERT_EQ(m.size(), 1u);
        const cObjectAnalogSample* s = m.as<cObjectAnalogSample>(0);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->getPortNum(), id);
        EXPECT_EQ(s->getDeviceSerial(), kSerial);
        EXPECT_EQ(s->getSeqNum(), 1u);
        EXPECT_FLOAT_EQ(s->getSample(), expectedInput(b, id));
    }
    // Hour counters are high byte first, bytes unsigned.
    EXPECT_FLOAT_EQ(dev.ac1Hours->getSampledValue(), 258.0f);
    EXPECT_FLOAT_EQ(dev.mainsFailHours->getSampledValue(), 65534.0f);
    EXPECT_FLOAT_EQ(dev.internalTemp->getSampledValue(), 246.0f);
    EXPECT_FLOAT_EQ(dev.rh->getSampledValue(), 55.0f);
    EXPECT_FLOAT_EQ(dev.averageRh->getSampledValue(), 56.0f);
}

TEST_F(DeviceTest, CapabilityIsPublishedOnTheFirstFiveBlocksOnly) {
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "dev");
    Block b;
    std::vector<size_t> capabilityMessages;
    auto out = capturedStdout([&] {
        for (int call = 1; call <= 8; ++call) {
            b.bytes[19] = static_cast<uint8_t>(call == 2 ? 255 : call);
            client.clear();
            dev.updater(&client, b.bytes);
            size_t caps = 0;
            for (const auto& m : client.messages())
                if (m.as<cObjectCapability>(0) != nullptr)
                    ++caps;
            capabilityMessages.push_back(caps);
        }
    });
    EXPECT_EQ(capabilityMessages, (std::vector<size_t>{1, 1, 1, 1, 1, 0, 0, 0}));
    EXPECT_EQ(out, (std::vector<std::string>{"Capability Value: 1", "Capability Value: 255",
                                             "Capability Value: 3", "Capability Value: 4",
                                             "Capability Value: 5"}));
    // One capability object, updated in place: it holds the latest value.
    ASSERT_EQ(dev.capabilities.size(), 1u);
    EXPECT_STREQ(dev.capabilities.front()->getValue(), "5");
    EXPECT_EQ(dev.capabilities.front()->getCapId(), 1u);
    EXPECT_EQ(count, 5);
    EXPECT_FALSE(addCap_status);
}

TEST_F(DeviceTest, UpdaterTracesEveryMappedByte) {
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "dev");
    testsupport::LogCapture log("southDevice");
    Block b;
    capturedStdout([&] { dev.updater(&client, b.bytes); });
    auto lines = log.messages();
    ASSERT_EQ(lines.size(), static_cast<size_t>(points::kSetpoints + points::kInputs));
    EXPECT_EQ(lines[0], "data[0] = 24");
    EXPECT_EQ(lines[4], "data[4] = 3");
    EXPECT_EQ(lines[7], "data[7] = 77");
    EXPECT_EQ(lines[8], "AC-1 Hours = 0x0102");
    EXPECT_EQ(lines[12], "RH Free-Air Inhibit Hours = 0x" +
                             std::string(1, "0123456789ABCDEF"[b.bytes[32] >> 4]) +
                             std::string(1, "0123456789ABCDEF"[b.bytes[32] & 15]) +
                             std::string(1, "0123456789ABCDEF"[b.bytes[33] >> 4]) +
                             std::string(1, "0123456789ABCDEF"[b.bytes[33] & 15]));
    EXPECT_EQ(lines[16], "Mains Fail Hours = 0xFFFE");
    EXPECT_EQ(lines[17], "data[46] = 246");
    EXPECT_EQ(lines[26], "data[55] = 56");
    for (const auto& r : log.lines())
        EXPECT_EQ(r.priority, log4cpp::Priority::DEBUG);
}

TEST_F(DeviceTest, ReportedSetPointsLandOnTheTablesPorts) {
    // The serial link writes port p at index p - 1 and confirms it there: the table publishes
    // every set-point from that same byte.
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "dev");
    Block b;
    b.bytes[4] = 11;
    b.bytes[5] = 12;
    b.bytes[6] = 13;
    b.bytes[7] = 14;
    capturedStdout([&] { dev.updater(&client, b.bytes); });
    EXPECT_FLOAT_EQ(dev.airconRotation->getSampledValue(), 11.0f);
    EXPECT_FLOAT_EQ(dev.airconPowerupDelay1->getSampledValue(), 12.0f);
    EXPECT_FLOAT_EQ(dev.failSetpoint->getSampledValue(), 13.0f);
    EXPECT_FLOAT_EQ(dev.airconTestDelay->getSampledValue(), 14.0f);
}

TEST_F(DeviceTest, OnlineStatusIsReportedOncePerChange) {
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "dev");
    dev.setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
    dev.setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
    dev.setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].type, cObjectList::MSG_EVENT);
    ASSERT_EQ(msgs[0].size(), 1u);
    const cObjectDevice* d = msgs[0].as<cObjectDevice>(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getDeviceSerial(), kSerial);
    EXPECT_EQ(d->getDeviceStatus(), cObject::OBJ_STATUS_ALARM_CLEAR);
    EXPECT_EQ(d->getAnalogInCount(), static_cast<uint32_t>(points::kInputs));

    // Offline after silence, online again: one event each way.
    client.clear();
    dev.setOnlineStatus(cObject::OBJ_STATUS_ALARM_SET);
    dev.setOnlineStatus(cObject::OBJ_STATUS_ALARM_SET);
    dev.setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
    msgs = client.messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].as<cObjectDevice>(0)->getDeviceStatus(), cObject::OBJ_STATUS_ALARM_SET);
    EXPECT_EQ(msgs[1].as<cObjectDevice>(0)->getDeviceStatus(), cObject::OBJ_STATUS_ALARM_CLEAR);
    EXPECT_EQ(dev.getDeviceStatus(), cObject::OBJ_STATUS_ALARM_CLEAR);
}

TEST_F(DeviceTest, SendCapabilitiesNeedsAnObject) {
    testsupport::TestClient client;
    SouthDevice dev(&client, kSerial, 1, "dev");
    EXPECT_FALSE(dev.sendCapabilities(nullptr));
    EXPECT_EQ(client.count(), 0u);
    cObjectCapability cap;
    cap.setCapId(1);
    EXPECT_TRUE(dev.sendCapabilities(&cap));
    EXPECT_EQ(client.count(), 1u);
}

TEST_F(DeviceTest, UpdaterWithoutAnyClientDropsTheBlock) {
    SouthDevice dev(nullptr, kSerial, 1, "dev");
    Block b;
    auto out = capturedStdout([&] { dev.updater(nullptr, b.bytes); });
    EXPECT_TRUE(out.empty());
    EXPECT_FLOAT_EQ(dev.airconPullIn1->getSampledValue(), 0.0f);
    EXPECT_EQ(count, 0);
}

// ---- On the wire ----

namespace {

// A one-connection TCP peer on 127.0.0.1 that keeps the lines it receives.
class LinePeer {
public:
    LinePeer() {
        mListen = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        EXPECT_EQ(::bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(mListen, 1), 0);
        socklen_t len = sizeof addr;
        ::getsockname(mListen, reinterpret_cast<sockaddr*>(&addr), &len);
        mPort = ntohs(addr.sin_port);
    }
    ~LinePeer() {
        delete mLines;
        if (mListen >= 0)
            ::close(mListen);
    }
    int port() const { return mPort; }
    // Accepts the client's connection; its lines are then collected in the background.
    bool accept() {
        int fd = ::accept(mListen, nullptr, nullptr);
        if (fd < 0)
            return false;
        mLines = new testsupport::LineCollector(fd);
        return true;
    }
    testsupport::LineCollector& lines() { return *mLines; }

private:
    int mListen = -1;
    int mPort = 0;
    testsupport::LineCollector* mLines = nullptr;
};

}  // namespace

TEST_F(DeviceTest, PublishedValuesReachThePeerThroughTheRealClient) {
    LinePeer peer;
    // The client goes first on the way out: its threads stop before the device they call.
    std::unique_ptr<SouthDevice> device;
    cObjectClient client;
    device.reset(new SouthDevice(&client, kSerial, 1, "dev"));
    SouthDevice& dev = *device;
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.accept());

    Block b;
    capturedStdout([&] {
        dev.updater(&client, b.bytes);
        dev.setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
        dev.updater(&client, b.bytes);
    });

    // Capability, device event, capability, a sample of each input.
    std::vector<std::unique_ptr<cObjectList>> received;
    auto decodeAll = [&] {
        auto lines = peer.lines().lines();
        received.clear();
        for (const std::string& line : lines) {
            auto msg = std::make_unique<cObjectList>();
            std::string reason;
            if (!vexaobj::decodeMessage(line, *msg, reason)) {
                ADD_FAILURE() << "undecodable line: " << line << " (" << reason << ")";
                continue;
            }
            received.push_back(std::move(msg));
        }
    };
    const size_t all = 3u + points::kInputs;
    ASSERT_TRUE(testsupport::waitFor([&] { return peer.lines().size() >= all; }))
        << peer.lines().text();
    decodeAll();
    ASSERT_EQ(received.size(), all);

    auto* cap = dynamic_cast<cObjectCapability*>(received[0]->first());
    ASSERT_NE(cap, nullptr);
    EXPECT_STREQ(cap->getValue(), "7");
    auto* devEvent = dynamic_cast<cObjectDevice*>(received[1]->first());
    ASSERT_NE(devEvent, nullptr);
    EXPECT_EQ(received[1]->getMsgType(), cObjectList::MSG_EVENT);
    EXPECT_EQ(devEvent->getDeviceStatus(), cObject::OBJ_STATUS_ALARM_CLEAR);
    ASSERT_NE(dynamic_cast<cObjectCapability*>(received[2]->first()), nullptr);
    for (uint32_t id = 1; id <= static_cast<uint32_t>(points::kInputs); ++id) {
        const auto& msg = received[2 + id];
        SCOPED_TRACE("input " + std::to_string(id));
        EXPECT_EQ(msg->getMsgType(), cObjectList::MSG_EVENT);
        ASSERT_EQ(msg->numObjects(), 1);
        auto* s = dynamic_cast<cObjectAnalogSample*>(msg->first());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->getPortNum(), id);
        EXPECT_EQ(s->getDeviceSerial(), kSerial);
        EXPECT_EQ(s->getSeqNum(), 1u);
        EXPECT_FLOAT_EQ(s->getSample(), expectedInput(b, id));
    }
    for (auto& m : received)
        m->deleteObjects();
    client.stop();
}
