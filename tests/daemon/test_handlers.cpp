// vexad's messages to the device: requests answered with the matching objects, sets recorded
// or applied, everything else logged. Messages arrive through the listener interface, as the
// client delivers them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "logCapture.h"
#include "southDevice.h"
#include "testClient.h"

namespace {

constexpr uint32_t kSerial = 5005;
constexpr uint32_t kForeign = 5006;
constexpr uint32_t kAny = 0xFFFFFFFFu;

// One incoming message; owns its objects as the client does.
class Incoming {
public:
    explicit Incoming(uint8_t type) { mList.setMsgType(type); }
    ~Incoming() { mList.deleteObjects(); }
    template <class T>
    T* add(T* object) {
        mList.add(object);
        return object;
    }
    cObjectList* list() { return &mList; }

private:
    cObjectList mList;
};

template <class Port>
Port* port(uint32_t serial, uint32_t id) {
    Port* p = new Port();
    p->setDeviceSerial(serial);
    p->setPortId(id);
    return p;
}

cObjectDevice* device(uint32_t serial) {
    cObjectDevice* d = new cObjectDevice();
    d->setDeviceSerial(serial);
    return d;
}

cObjectCapability* capability(uint32_t serial, uint32_t id) {
    cObjectCapability* c = new cObjectCapability();
    c->setDeviceSerial(serial);
    c->setCapId(id);
    return c;
}

cObjectAOutput* aoSet(uint32_t serial, uint32_t id, float value) {
    cObjectAOutput* p = port<cObjectAOutput>(serial, id);
    p->setSampledValue(value);
    return p;
}

cObjectAInput* aiSet(uint32_t serial, uint32_t id, uint32_t rate) {
    cObjectAInput* p = port<cObjectAInput>(serial, id);
    p->setSampleRate(rate);
    return p;
}

// Port ids 1..n, and the last ids of the point table's two kinds.
std::vector<uint32_t> idsUpTo(int n) {
    std::vector<uint32_t> ids;
    for (int id = 1; id <= n; ++id)
        ids.push_back(static_cast<uint32_t>(id));
    return ids;
}
constexpr uint32_t kLastOutput = points::kSetpoints;
constexpr uint32_t kLastInput = points::kInputs;

std::vector<uint32_t> portIds(const testsupport::TestClient::Message& m) {
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < m.size(); ++i) {
        const auto* p = dynamic_cast<const cObjectPort*>(m.objects[i].get());
        ids.push_back(p ? p->getPortId() : 0);
    }
    return ids;
}

// The capability globals are process-wide; each device here starts from none published.
class HandlerTest : public ::testing::Test {
protected:
    HandlerTest() {
        count = 0;
        addCap_status = true;
        dev = new SouthDevice(&client, kSerial, 1, "dev");
    }
    ~HandlerTest() override { delete dev; }

    // Delivered as the client delivers it: through the listener interface.
    void deliver(Incoming& msg) {
        cObjectListener* listener = dev;
        listener->handleObjectAction(msg.list());
    }
    void feedBlocks(int n) {
        uint8_t block[128] = {};
        block[19] = 42;
        ::testing::internal::CaptureStdout();
        for (int i = 0; i < n; ++i)
            dev->updater(&client, block);
        ::testing::internal::GetCapturedStdout();
        client.clear();
    }

    testsupport::TestClient client;
    SouthDevice* dev;
};

}  // namespace

// ---- Requests ----

TEST_F(HandlerTest, WildcardAnalogueInputRequestReturnsEveryInputInOrder) {
    Incoming req(cObjectList::MSG_REQUEST);
    req.add(port<cObjectAInput>(kAny, kAny));
    deliver(req);
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].type, cObjectList::MSG_REQUEST);
    EXPECT_EQ(portIds(msgs[0]), idsUpTo(points::kInputs));
    EXPECT_STREQ(msgs[0].as<cObjectAInput>(kLastInput - 1)->getPortLabel(),
                 points::input(kLastInput - 1).label);
}

TEST_F(HandlerTest, PortRequestsMatchExactIdsOnly) {
    struct Case {
        const char* legend;
        cObjectPort* (*make)();
        std::vector<uint32_t> reply;  // empty: no message at all
    };
    const Case cases[] = {
        {"output 3",
         [] { return static_cast<cObjectPort*>(port<cObjectAOutput>(kSerial, 3)); },
         {3}},
        {"last output by wildcard device",
         [] { return static_cast<cObjectPort*>(port<cObjectAOutput>(kAny, kLastOutput)); },
         {kLastOutput}},
        {"every output",
         [] { return static_cast<cObjectPort*>(port<cObjectAOutput>(kSerial, kAny)); },
         idsUpTo(points::kSetpoints)},
        {"last input",
         [] { return static_cast<cObjectPort*>(port<cObjectAInput>(kSerial, kLastInput)); },
         {kLastInput}},
        {"output 0",
         [] { return static_cast<cObjectPort*>(port<cObjectAOutput>(kSerial, 0)); },
         {}},
        {"output 99",
         [] { return static_cast<cObjectPort*>(port<cObjectAOutput>(kSerial, 99)); },
         {}},
        {"input past the last",
         [] { return static_cast<cObjectPort*>(port<cObjectAInput>(kSerial, kLastInput + 1)); },
         {}},
        {"input 0", [] { return static_cast<cObjectPort*>(port<cObjectAInput>(kSerial, 0)); }, {}},
        {"foreign output",
         [] { return static_cast<cObjectPort*>(port<cObjectAOutput>(kForeign, 3)); },
         {}},
        {"foreign inputs",
         [] { return static_cast<cObjectPort*>(port<cObjectAInput>(kForeign, kAny)); },
         {}},
        {"digital inputs",
         [] { return static_cast<cObjectPort*>(port<cObjectDInput>(kAny, kAny)); },
         {}},
        {"digital outputs",
         [] { return static_cast<cObjectPort*>(port<cObjectDOutput>(kAny, kAny)); },
         {}},
        {"bare port", [] { return port<cObjectPort>(kAny, kAny); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        client.clear();
        Incoming req(cObjectList::MSG_REQUEST);
        req.add(c.make());
        deliver(req);
        auto msgs = client.messages();
        if (c.reply.empty()) {
            EXPECT_EQ(msgs.size(), 0u);
        } else {
            ASSERT_EQ(msgs.size(), 1u);
            EXPECT_EQ(msgs[0].type, cObjectList::MSG_REQUEST);
            EXPECT_EQ(portIds(msgs[0]), c.reply);
        }
    }
}

TEST_F(HandlerTest, DeviceRequestAnswersWithTheDeviceAlone) {
    for (uint32_t serial : {kSerial, kAny}) {
        client.clear();
        Incoming req(cObjectList::MSG_REQUEST);
        req.add(device(serial));
        deliver(req);
        auto msgs = client.messages();
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].type, cObjectList::MSG_REQUEST);
        ASSERT_EQ(msgs[0].size(), 1u);
        const cObjectDevice* d = msgs[0].as<cObjectDevice>(0);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->getDeviceSerial(), kSerial);
        EXPECT_EQ(d->getDeviceStatus(), cObject::OBJ_STATUS_ALARM_SET);
        EXPECT_EQ(d->getDeviceType(), static_cast<uint32_t>(cObject::TYPE_SNMP));
        EXPECT_EQ(d->getAnalogInCount(), kLastInput);
        EXPECT_EQ(d->getAnalogOutCount(), kLastOutput);
    }
    client.clear();
    Incoming foreign(cObjectList::MSG_REQUEST);
    foreign.add(device(kForeign));
    deliver(foreign);
    EXPECT_EQ(client.count(), 0u);
}

TEST_F(HandlerTest, EachAnsweredObjectGetsItsOwnReplyInOrder) {
    Incoming req(cObjectList::MSG_REQUEST);
    req.add(device(kSerial));
    req.add(port<cObjectAOutput>(kSerial, 99));  // unanswered: no message in between
    req.add(port<cObjectAInput>(kSerial, 2));
    req.add(port<cObjectAOutput>(kSerial, 1));
    deliver(req);
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_NE(msgs[0].as<cObjectDevice>(0), nullptr);
    ASSERT_NE(msgs[1].as<cObjectAInput>(0), nullptr);
    EXPECT_EQ(portIds(msgs[1]), std::vector<uint32_t>{2});
    ASSERT_NE(msgs[2].as<cObjectAOutput>(0), nullptr);
    EXPECT_EQ(portIds(msgs[2]), std::vector<uint32_t>{1});
}

TEST_F(HandlerTest, CapabilitiesAreAnsweredOnceTheyExist) {
    Incoming before(cObjectList::MSG_REQUEST);
    before.add(capability(kAny, kAny));
    deliver(before);
    EXPECT_EQ(client.count(), 0u);

    feedBlocks(2);
    struct Case {
        uint32_t serial, id;
        size_t objects;  // 0: no reply
    };
    for (const Case& c :
         {Case{kAny, kAny, 1}, Case{kSerial, 1, 1}, Case{kSerial, 2, 0}, Case{kForeign, kAny, 0}}) {
        SCOPED_TRACE("serial " + std::to_string(c.serial) + " id " + std::to_string(c.id));
        client.clear();
        Incoming req(cObjectList::MSG_REQUEST);
        req.add(capability(c.serial, c.id));
        deliver(req);
        auto msgs = client.messages();
        if (c.objects == 0) {
            EXPECT_EQ(msgs.size(), 0u);
            continue;
        }
        ASSERT_EQ(msgs.size(), 1u);
        ASSERT_EQ(msgs[0].size(), c.objects);
        EXPECT_STREQ(msgs[0].as<cObjectCapability>(0)->getValue(), "42");
        EXPECT_STREQ(msgs[0].as<cObjectCapability>(0)->getLabel(), "DORN25 Software Rev");
    }
}

TEST_F(HandlerTest, RepliesCarryTheCurrentValues) {
    uint8_t block[128] = {};
    block[0] = 21;
    block[46] = 30;
    ::testing::internal::CaptureStdout();
    dev->updater(&client, block);
    block[46] = 31;
    dev->updater(&client, block);  // published: 31
    block[46] = 32;
    dev->updater(&client, block);  // published: 32
    ::testing::internal::GetCapturedStdout();
    dev->setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
    client.clear();

    Incoming req(cObjectList::MSG_REQUEST);
    req.add(port<cObjectAInput>(kSerial, 10));
    req.add(port<cObjectAOutput>(kSerial, 1));
    req.add(device(kSerial));
    deliver(req);
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_FLOAT_EQ(msgs[0].as<cObjectAInput>(0)->getSampledValue(), 32.0f);
    EXPECT_FLOAT_EQ(msgs[1].as<cObjectAOutput>(0)->getSampledValue(), 21.0f);
    EXPECT_EQ(msgs[2].as<cObjectDevice>(0)->getDeviceStatus(), cObject::OBJ_STATUS_ALARM_CLEAR);
}

TEST_F(HandlerTest, MislabelledObjectIsSkipped) {
    // An object claiming a port type without being one is not viewed as that class.
    Incoming req(cObjectList::MSG_REQUEST);
    req.add(new cObject(cObject::OBJ_PORT_AIN));
    req.add(new cObject(cObject::OBJ_DEVICE));
    deliver(req);
    Incoming set(cObjectList::MSG_SET);
    set.add(new cObject(cObject::OBJ_PORT_AOUT));
    deliver(set);
    EXPECT_EQ(client.count(), 0u);
    EXPECT_TRUE(dev->setValues.empty());
}

// ---- Sets ----

TEST_F(HandlerTest, AnalogueOutputSetIsRecordedNotApplied) {
    Incoming set(cObjectList::MSG_SET);
    set.add(aoSet(kSerial, 2, 27.0f));
    deliver(set);
    EXPECT_EQ(dev->setValues, (std::map<int, float>{{2, 27.0f}}));
    EXPECT_EQ(dev->portNum, 2);
    EXPECT_FLOAT_EQ(dev->airconDropout2->getSampledValue(), 0.0f);
    EXPECT_EQ(client.count(), 0u);

    // A second set of the same port before the serial link takes it replaces the value.
    Incoming again(cObjectList::MSG_SET);
    again.add(aoSet(kAny, 2, 26.5f));
    deliver(again);
    EXPECT_EQ(dev->setValues, (std::map<int, float>{{2, 26.5f}}));

    // Another port: a second entry, portNum names the latest. Values are kept as received.
    Incoming other(cObjectList::MSG_SET);
    other.add(aoSet(kSerial, 7, -4.0f));
    deliver(other);
    EXPECT_EQ(dev->setValues, (std::map<int, float>{{2, 26.5f}, {7, -4.0f}}));
    EXPECT_EQ(dev->portNum, 7);
    EXPECT_EQ(client.count(), 0u);
}

TEST_F(HandlerTest, AnalogueOutputSetIgnoresOtherDevicesAndUnknownPorts) {
    Incoming set(cObjectList::MSG_SET);
    set.add(aoSet(kForeign, 2, 27.0f));
    set.add(aoSet(kSerial, 0, 1.0f));
    set.add(aoSet(kSerial, kLastOutput + 1, 1.0f));
    deliver(set);
    EXPECT_TRUE(dev->setValues.empty());
    EXPECT_EQ(dev->portNum, 0);
}

TEST_F(HandlerTest, WildcardOutputSetRecordsEveryPort) {
    Incoming set(cObjectList::MSG_SET);
    set.add(aoSet(kSerial, kAny, 20.0f));
    deliver(set);
    EXPECT_EQ(dev->setValues.size(), kLastOutput);
    EXPECT_EQ(dev->portNum, static_cast<int>(kLastOutput));
}

TEST_F(HandlerTest, AnalogueInputSetChangesTheRateWhateverTheSerial) {
    Incoming set(cObjectList::MSG_SET);
    set.add(aiSet(kForeign, 3, 60));
    deliver(set);
    EXPECT_EQ(dev->fanHours->getSampleRate(), 60u);
    EXPECT_EQ(dev->ac1Hours->getSampleRate(), 1u);
    EXPECT_EQ(dev->rhHours->getSampleRate(), 1u);
    EXPECT_EQ(client.count(), 0u);

    Incoming all(cObjectList::MSG_SET);
    all.add(aiSet(kSerial, kAny, 0));
    deliver(all);
    for (AnalogueInput* p : dev->aiPorts)
        EXPECT_EQ(p->getSampleRate(), 0u);
    EXPECT_TRUE(dev->setValues.empty());
}

TEST_F(HandlerTest, DeviceAndOtherObjectsInASetChangeNothing) {
    testsupport::LogCapture log("southDevice");
    Incoming set(cObjectList::MSG_SET);
    cObjectDevice* d = set.add(device(kSerial));
    d->setDeviceStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
    set.add(capability(kSerial, 1));
    set.add(port<cObjectDOutput>(kSerial, 1));
    deliver(set);
    EXPECT_EQ(dev->getDeviceStatus(), cObject::OBJ_STATUS_ALARM_SET);
    EXPECT_TRUE(dev->setValues.empty());
    EXPECT_EQ(client.count(), 0u);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                  "Application received objects to handle: 0 with: 3 objects",
                                  "Object type: 0", "Not handling this...", "Object type: 12",
                                  "OBJ_CAPABILITY", "Object type: 3", "MSG_SET:OBJ_PORT_DOUT"}));
}

// ---- Dispatch and its log lines ----

struct DispatchCase {
    const char* legend;
    uint8_t msgType;
    std::vector<uint32_t> objectTypes;
    std::vector<std::string> lines;
};

// Test names show the legend, not the bytes of the case.
void PrintTo(const DispatchCase& c, std::ostream* os) {
    *os << c.legend;
}

class Dispatch : public HandlerTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(Dispatch, LogsTheExpectedLines) {
    const DispatchCase& c = GetParam();
    Incoming msg(c.msgType);
    for (uint32_t t : c.objectTypes) {
        // Objects with a handler are addressed elsewhere so that none answers.
        switch (t) {
            case cObject::OBJ_PORT_AIN:
                msg.add(port<cObjectAInput>(kSerial, 99));
                break;
            case cObject::OBJ_PORT_AOUT:
                msg.add(port<cObjectAOutput>(kForeign, 1));
                break;
            default:
                msg.add(new cObject(t));
                break;
        }
    }
    testsupport::LogCapture log("southDevice");
    deliver(msg);
    EXPECT_EQ(log.messages(), c.lines);
    for (const auto& r : log.lines())
        EXPECT_EQ(r.priority, log4cpp::Priority::DEBUG);
    EXPECT_EQ(client.count(), 0u);
}

const std::string kHead0 = "Application received objects to handle: ";

INSTANTIATE_TEST_SUITE_P(
    Messages, Dispatch,
    ::testing::Values(
        DispatchCase{"empty request", 1, {}, {kHead0 + "1 with: 0 objects", "REQUEST"}},
        DispatchCase{"error", 2, {9}, {kHead0 + "2 with: 1 objects", "Handling error message."}},
        DispatchCase{"event", 3, {}, {kHead0 + "3 with: 0 objects", "Handling event message."}},
        DispatchCase{"delete", 4, {}, {kHead0 + "4 with: 0 objects", "Handling delete message."}},
        DispatchCase{"reply", 5, {}, {kHead0 + "5 with: 0 objects", "Handling reply message."}},
        DispatchCase{"type 6", 6, {0}, {kHead0 + "6 with: 1 objects"}},
        DispatchCase{"type 255", 255, {}, {kHead0 + "255 with: 0 objects"}},
        DispatchCase{"request without handlers",
                     1,
                     {1, 5, 6, 7, 8, 9, 10, 13, 14, 99},
                     {kHead0 + "1 with: 10 objects",
                      "REQUEST",
                      "Object type: 1",
                      "OBJ_PORT",
                      "Object type: 5",
                      "Not handling this...",
                      "Object type: 6",
                      "OBJ_MSG_INFO",
                      "Object type: 7",
                      "OBJ_SITE_CFG",
                      "Object type: 8",
                      "OBJ_TREND_EVENT",
                      "Object type: 9",
                      "OBJ_ANALOG_SAMPLE",
                      "Object type: 10",
                      "OBJ_ACCESS",
                      "Object type: 13",
                      "OBJ_ADHOC_EVENT",
                      "Object type: 14",
                      "OBJ_NUM_OBJECT_TYPES",
                      "Object type: 99",
                      "Not handling this..."}},
        DispatchCase{"request with handlers, nothing matching",
                     1,
                     {4, 11},
                     {kHead0 + "1 with: 2 objects", "REQUEST", "Object type: 4", "OBJ_PORT_AIN",
                      "Object type: 11", "OBJ_PORT_AOUT"}},
        DispatchCase{"set without handlers",
                     0,
                     {1, 2, 5, 6, 7, 8, 9, 10, 12, 13, 14, 99},
                     {kHead0 + "0 with: 12 objects",
                      "Object type: 1",
                      "OBJ_PORT",
                      "Object type: 2",
                      "MSG_SET:OBJ_PORT_DIN",
                      "Object type: 5",
                      "Not handling this...",
                      "Object type: 6",
                      "OBJ_MSG_INFO",
                      "Object type: 7",
                      "Not handling this...",
                      "Object type: 8",
                      "Not handling this...",
                      "Object type: 9",
                      "Not handling this...",
                      "Object type: 10",
                      "Not handling this...",
                      "Object type: 12",
                      "OBJ_CAPABILITY",
                      "Object type: 13",
                      "OBJ_ADHOC_EVENT",
                      "Object type: 14",
                      "OBJ_NUM_OBJECT_TYPES",
                      "Object type: 99",
                      "Not handling this..."}}),
    [](const ::testing::TestParamInfo<DispatchCase>& param) {
        std::string name;
        for (const char* p = param.param.legend; *p; ++p)
            name += isalnum(*p) ? *p : '_';
        return name;
    });

TEST_F(HandlerTest, HandlerLinesNameThePortAndValue) {
    testsupport::LogCapture log("southDevice");
    Incoming set(cObjectList::MSG_SET);
    set.add(aoSet(kSerial, 4, 31.5f));
    set.add(aiSet(kSerial, 1, 5));
    deliver(set);
    Incoming req(cObjectList::MSG_REQUEST);
    req.add(device(kAny));
    deliver(req);
    EXPECT_EQ(log.count("Setting analogue output port 4 state to 31.500000"), 1u);
    EXPECT_EQ(log.count("Setting something on AnalogueInput"), 1u);
    EXPECT_EQ(log.count("Got MSG_REQ:OBJ_DEVICE"), 1u);
    EXPECT_EQ(log.count("Request all device information."), 1u);
}

// ---- Both threads at once ----

TEST_F(HandlerTest, RequestsAndSetsRunSafelyBesideTheReceiveLoop) {
    // The client's reader thread handles messages while the receive loop maps blocks; run
    // under ThreadSanitizer this shows the shared state is guarded.
    std::atomic<bool> stop{false};
    ::testing::internal::CaptureStdout();
    std::thread receiveLoop([&] {
        uint8_t block[128] = {};
        for (int i = 0; i < 300; ++i) {
            block[46] = static_cast<uint8_t>(i);
            block[19] = static_cast<uint8_t>(i);
            dev->updater(&client, block);
            dev->setOnlineStatus(i % 50 == 49 ? cObject::OBJ_STATUS_ALARM_SET
                                              : cObject::OBJ_STATUS_ALARM_CLEAR);
            std::lock_guard<std::mutex> lock(dev->mMutex);  // the set pick-up
            dev->setValues.erase(dev->portNum);
        }
        stop = true;
    });
    int rounds = 0;
    while (!stop || rounds < 10) {
        Incoming req(cObjectList::MSG_REQUEST);
        req.add(device(kAny));
        req.add(port<cObjectAInput>(kAny, kAny));
        req.add(capability(kAny, kAny));
        deliver(req);
        Incoming set(cObjectList::MSG_SET);
        set.add(aoSet(kSerial, static_cast<uint32_t>(1 + rounds % kLastOutput), 20.0f));
        set.add(aiSet(kSerial, kAny, static_cast<uint32_t>(rounds % 3)));
        deliver(set);
        ++rounds;
    }
    receiveLoop.join();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(dev->capabilities.size(), 1u);
    EXPECT_GT(client.count(), 0u);
}
