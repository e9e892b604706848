// The port objects: construction, the thinning of analogue readings into sample events, the
// sequence numbers of those events, and the digital input's change event.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "southIO.h"
#include "testClient.h"

// Net heap allocations while `gCountAllocations` is set: shows that a sample event frees what
// it made. Replacing the global operators is local to this test binary.
namespace {
std::atomic<bool> gCountAllocations{false};
std::atomic<long> gLiveAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    if (gCountAllocations)
        ++gLiveAllocations;
    return p;
}
void operator delete(void* p) noexcept {
    if (p != nullptr && gCountAllocations)
        --gLiveAllocations;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

constexpr uint32_t kSerial = 4711;

AnalogueInput makeInput(uint32_t rate) {
    return AnalogueInput(kSerial, 3, "Fan Hours", "H", 1.0, 0.0, static_cast<int>(rate));
}

// Which of `calls` sample() calls published, as a string of '1' and '0'.
std::string publicationPattern(AnalogueInput& port, int calls) {
    testsupport::TestClient client;
    std::string pattern;
    for (int i = 0; i < calls; ++i) {
        size_t before = client.count();
        port.sample(static_cast<float>(100 + i), client);
        pattern += client.count() > before ? '1' : '0';
    }
    return pattern;
}

}  // namespace

TEST(AnalogueInput, ConstructionStoresEveryArgument) {
    AnalogueInput in(kSerial, 9, "Mains Fail Hours", "H", 2.5, -1.25, 7);
    EXPECT_EQ(in.getType(), cObject::OBJ_PORT_AIN);
    EXPECT_EQ(in.getDeviceSerial(), kSerial);
    EXPECT_EQ(in.getPortId(), 9u);
    EXPECT_STREQ(in.getPortLabel(), "Mains Fail Hours");
    EXPECT_STREQ(in.getDisplayUnit(), "H");
    EXPECT_FLOAT_EQ(in.getGain(), 2.5f);
    EXPECT_FLOAT_EQ(in.getOffset(), -1.25f);
    EXPECT_EQ(in.getSampleRate(), 7u);
    EXPECT_EQ(in.seq, 0u);
    EXPECT_EQ(in.samplingRate, 1u);
    EXPECT_EQ(in.rateCounter, 0u);
    EXPECT_STREQ(in.categoryName(), "AnalogueInput");

    // The label is copied: the caller's buffer may change afterwards.
    char label[] = "Temp";
    AnalogueInput copy(kSerial, 1, label, "", 1.0, 0.0, 1);
    label[0] = 'X';
    EXPECT_STREQ(copy.getPortLabel(), "Temp");
}

struct RateCase {
    const char* legend;
    uint32_t sampleRate;
    uint32_t step;
    const char* pattern;  // '1': that call published a sample event
};

class RateCounter : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateCounter, PublishesOnTheExpectedCalls) {
    const RateCase& c = GetParam();
    AnalogueInput in = makeInput(c.sampleRate);
    in.setSamplingRate(c.step);
    const std::string want = c.pattern;
    EXPECT_EQ(publicationPattern(in, static_cast<int>(want.size())), want);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RateCounter,
    ::testing::Values(RateCase{"rate 0 publishes every reading", 0, 1, "11111111"},
                      RateCase{"rate 1 skips only the first", 1, 1, "01111111"},
                      RateCase{"rate 3 every third after the first three", 3, 1, "0001001001001"},
                      RateCase{"step 2 against rate 3", 3, 2, "00101010"},
                      RateCase{"step 0 never reaches rate 1", 1, 0, "00000"}),
    [](const ::testing::TestParamInfo<RateCase>& param) {
        return "rate" + std::to_string(param.param.sampleRate) + "_step" +
               std::to_string(param.param.step);
    });

TEST(AnalogueInput, DroppedReadingsNeverBecomeTheSampledValue) {
    AnalogueInput in = makeInput(3);
    testsupport::TestClient client;
    const float readings[] = {10, 11, 12, 13, 14, 15, 16};  // published: 13 (4th call), 16
    std::vector<float> seen;
    for (float r : readings) {
        in.sample(r, client);
        seen.push_back(in.getSampledValue());
    }
    EXPECT_EQ(seen, (std::vector<float>{0, 0, 0, 13, 13, 13, 16}));
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_FLOAT_EQ(msgs[0].as<cObjectAnalogSample>(0)->getSample(), 13.0f);
    EXPECT_FLOAT_EQ(msgs[1].as<cObjectAnalogSample>(0)->getSample(), 16.0f);
}

TEST(AnalogueInput, NewSampleRateAppliesAtTheNextCall) {
    AnalogueInput in = makeInput(10);
    EXPECT_EQ(publicationPattern(in, 4), "0000");  // counter now 4
    in.setSampleRate(2);                           // as vexad's set does
    EXPECT_EQ(publicationPattern(in, 4), "1010");
}

TEST(AnalogueInput, SampleEventCarriesOneSampleWithThePortsIdentity) {
    AnalogueInput in = makeInput(0);
    testsupport::TestClient client;
    in.sample(21.5f, client);
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].type, cObjectList::MSG_EVENT);
    ASSERT_EQ(msgs[0].size(), 1u);
    const cObjectAnalogSample* s = msgs[0].as<cObjectAnalogSample>(0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getType(), cObject::OBJ_ANALOG_SAMPLE);
    EXPECT_FLOAT_EQ(s->getSample(), 21.5f);
    EXPECT_EQ(s->getPortNum(), 3u);
    EXPECT_EQ(s->getDeviceSerial(), kSerial);
    EXPECT_EQ(s->getSeqNum(), 1u);
}

TEST(AnalogueInput, SequenceRunsOneToThirtyOneAndWraps) {
    AnalogueInput in = makeInput(0);
    testsupport::TestClient client;
    for (int i = 0; i < 66; ++i)
        in.sample(1.0f, client);
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 66u);
    for (size_t i = 0; i < msgs.size(); ++i) {
        uint32_t want = static_cast<uint32_t>(i % 31) + 1;
        ASSERT_EQ(msgs[i].as<cObjectAnalogSample>(0)->getSeqNum(), want) << "event " << i;
    }
    EXPECT_EQ(in.seq, 66u % 31u);  // 62 events end a second round; 4 more
}

TEST(AnalogueInput, SampleEventFreesWhatItAllocatedAndNotThePort) {
    AnalogueInput in = makeInput(0);
    testsupport::TestClient client(testsupport::TestClient::Keep::Counts);
    gLiveAllocations = 0;
    gCountAllocations = true;
    for (int i = 0; i < 10; ++i)
        in.sample(static_cast<float>(i), client);
    gCountAllocations = false;
    EXPECT_EQ(gLiveAllocations.load(), 0);
    EXPECT_EQ(client.count(), 10u);
    EXPECT_EQ(client.objects(), 10u);  // one sample per event
    // The port is still whole.
    EXPECT_EQ(in.getPortId(), 3u);
    EXPECT_FLOAT_EQ(in.getSampledValue(), 9.0f);
}

TEST(AnalogueOutput, StoresTheReportedValueAndSendsNothing) {
    AnalogueOutput out(kSerial, 6, "Aircon-1 power up delay", "Min", 1.0, 0.5, 99);
    EXPECT_EQ(out.getType(), cObject::OBJ_PORT_AOUT);
    EXPECT_EQ(out.portNumber, 6);
    EXPECT_EQ(out.getPortId(), 6u);
    EXPECT_EQ(out.getDeviceSerial(), kSerial);
    EXPECT_STREQ(out.getPortLabel(), "Aircon-1 power up delay");
    EXPECT_STREQ(out.getDisplayUnit(), "Min");
    EXPECT_FLOAT_EQ(out.getOffset(), 0.5f);
    EXPECT_STREQ(out.categoryName(), "AnalogueOutput");

    testsupport::TestClient client;
    for (float v : {0.0f, 25.0f, 255.0f, -3.0f}) {
        out.sample(v, client);
        EXPECT_FLOAT_EQ(out.getSampledValue(), v);
    }
    EXPECT_EQ(client.count(), 0u);
}

TEST(DigitalPorts, ConstructionAndCategories) {
    DigitalInput in(kSerial, 2, "Door");
    EXPECT_EQ(in.getType(), cObject::OBJ_PORT_DIN);
    EXPECT_EQ(in.getDeviceSerial(), kSerial);
    EXPECT_EQ(in.getPortId(), 2u);
    EXPECT_STREQ(in.getPortLabel(), "Door");
    EXPECT_STREQ(in.categoryName(), "southIO");

    DigitalOutput out(kSerial, 4, "Siren");
    EXPECT_EQ(out.getType(), cObject::OBJ_PORT_DOUT);
    EXPECT_EQ(out.getPortId(), 4u);
    EXPECT_STREQ(out.getPortLabel(), "Siren");
    EXPECT_STREQ(out.categoryName(), "DigitalOutput");
}

TEST(DigitalInput, ReportsChangesOnly) {
    DigitalInput in(kSerial, 2, "Door");
    testsupport::TestClient client;
    in.setInput(cObject::OBJ_IO_STATE_UNKNOWN, client);  // already unknown
    EXPECT_EQ(client.count(), 0u);

    in.setInput(cObject::OBJ_IO_STATE_SET, client);
    in.setInput(cObject::OBJ_IO_STATE_SET, client);
    in.setInput(cObject::OBJ_IO_STATE_CLEAR, client);
    auto msgs = client.messages();
    ASSERT_EQ(msgs.size(), 2u);
    for (const auto& m : msgs) {
        EXPECT_EQ(m.type, cObjectList::MSG_EVENT);
        ASSERT_EQ(m.size(), 1u);
        ASSERT_NE(m.as<cObjectDInput>(0), nullptr);
        EXPECT_EQ(m.as<cObjectDInput>(0)->getPortId(), 2u);
    }
    EXPECT_EQ(msgs[0].as<cObjectDInput>(0)->getInputState(), cObject::OBJ_IO_STATE_SET);
    EXPECT_EQ(msgs[1].as<cObjectDInput>(0)->getInputState(), cObject::OBJ_IO_STATE_CLEAR);
    // The event carried the port itself, which lives on.
    EXPECT_EQ(in.getInputState(), cObject::OBJ_IO_STATE_CLEAR);
}
