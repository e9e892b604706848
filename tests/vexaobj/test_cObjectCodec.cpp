// The wire codec: every object type written and read back, every rule that rejects a line,
// the wildcard, floats, the direct writer against the JSON tree, and the cutting of a byte
// stream into lines.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cObject.h"
#include "cObjectCodec.h"
#include "cObjectList.h"
#include "messages.h"
#include "treeEncoder.h"

using testsupport::Decoded;
using testsupport::Message;
using vexaobj::encodeMessage;

namespace {

std::string encodeOne(uint8_t msgType, cObject* obj) {
    Message m(msgType, {obj});
    return encodeMessage(m);
}

// Decodes and writes back; the empty string when the line was rejected.
std::string reencode(const std::string& line) {
    Decoded d(line);
    return d.ok ? encodeMessage(d.list) : "";
}

struct RoundTrip {
    const char* legend;
    std::function<cObject*()> make;
    const char* wire;  // the exact line the encoder writes
};

// Every field has a value of its own, so a field written under the wrong name, dropped, or
// read into another field changes the line.
const RoundTrip kRoundTrips[] = {
    {"device",
     [] {
         auto* d = new cObjectDevice;
         d->setDeviceSerial(1234);
         d->setDeviceLabel("BORL1_Retro_Controller");
         d->setVersion(1);
         d->setDeviceType(cObject::TYPE_SNMP);
         d->setDeviceStatus(cObject::OBJ_STATUS_ALARM_SET);
         d->setAnalogInCount(19);
         d->setAnalogOutCount(8);
         d->setDigitalInCount(3);
         d->setDigitalOutCount(4);
         return d;
     },
     R"({"msgType":1,"objects":[{"objType":0,"deviceSerial":1234,)"
     R"("deviceLabel":"BORL1_Retro_Controller","version":1,"deviceType":5,"deviceStatus":1,)"
     R"("analogInCount":19,"analogOutCount":8,"digitalInCount":3,"digitalOutCount":4}]})"},
    {"bare port",
     [] {
         auto* p = new cObjectPort;
         p->setDeviceSerial(7);
         p->setPortId(2);
         p->setPortLabel("P2");
         return p;
     },
     R"({"msgType":1,"objects":[{"objType":1,"deviceSerial":7,"portId":2,"portLabel":"P2"}]})"},
    {"digital input",
     [] {
         auto* p = new cObjectDInput;
         p->setDeviceSerial(7);
         p->setPortId(3);
         p->setPortLabel("Door");
         p->setInputState(cObject::OBJ_IO_STATE_CLEAR);
         return p;
     },
     R"({"msgType":1,"objects":[{"objType":2,"deviceSerial":7,"portId":3,"portLabel":"Door",)"
     R"("inputState":2}]})"},
    {"digital output",
     [] {
         auto* p = new cObjectDOutput;
         p->setDeviceSerial(7);
         p->setPortId(4);
         p->setPortLabel("Relay");
         p->setOutputState(cObject::OBJ_IO_STATE_SET);
         return p;
     },
     R"({"msgType":1,"objects":[{"objType":3,"deviceSerial":7,"portId":4,"portLabel":"Relay",)"
     R"("outputState":1}]})"},
    {"analogue input",
     [] {
         auto* p = new cObjectAInput;
         p->setDeviceSerial(7);
         p->setPortId(10);
         p->setPortLabel("Internal Temperature");
         p->setDisplayUnit("deg C");
         p->setGain(0.5f);
         p->setOffset(-40.0f);
         p->setSampleRate(3);
         p->setSampledValue(246.0f);
         return p;
     },
     R"({"msgType":1,"objects":[{"objType":4,"deviceSerial":7,"portId":10,)"
     R"("portLabel":"Internal Temperature","displayUnit":"deg C","gain":0.5,"offset":-40.0,)"
     R"("sampleRate":3,"sampledValue":246.0}]})"},
    {"analogue output",
     [] {
         auto* p = new cObjectAOutput;
         p->setDeviceSerial(7);
         p->setPortId(2);
         p->setPortLabel("Aircon-2 Drop-out");
         p->setDisplayUnit("deg C");
         p->setGain(1.25f);
         p->setOffset(0.1f);
         p->setSampledValue(27.1f);
         return p;
     },
     R"({"msgType":1,"objects":[{"objType":11,"deviceSerial":7,"portId":2,)"
     R"("portLabel":"Aircon-2 Drop-out","displayUnit":"deg C","gain":1.25,"offset":0.1,)"
     R"("sampledValue":27.1}]})"},
    {"analogue sample",
     [] {
         auto* s = new cObjectAnalogSample;
         s->setDeviceSerial(7);
         s->setPortNum(1);
         s->setSeqNum(31);
         s->setSample(258.0f);
         return s;
     },
     R"({"msgType":1,"objects":[{"objType":9,"deviceSerial":7,"portNum":1,"seqNum":31,)"
     R"("sample":258.0}]})"},
    {"capability",
     [] {
         auto* c = new cObjectCapability;
         c->setDeviceSerial(7);
         c->setCapId(1);
         c->setLabel("DORN25 Software Rev");
         c->setValue("255");
         return c;
     },
     R"({"msgType":1,"objects":[{"objType":12,"deviceSerial":7,"capId":1,)"
     R"("label":"DORN25 Software Rev","value":"255"}]})"},
    {"type without a class", [] { return new cObject(cObject::OBJ_SITE_CFG); },
     R"({"msgType":1,"objects":[{"objType":7}]})"},
};

TEST(CodecRoundTrip, EveryObjectTypeIsWrittenWithAllFieldsAndReadBackUnchanged) {
    for (const auto& c : kRoundTrips) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(encodeOne(cObjectList::MSG_REQUEST, c.make()), c.wire);
        EXPECT_EQ(reencode(c.wire), c.wire);
    }
}

TEST(CodecRoundTrip, DecodedObjectsHaveTheClassOfTheirType) {
    Decoded d(
        R"({"msgType":0,"objects":[{"objType":11,"deviceSerial":1,"portId":2,"sampledValue":27},)"
        R"({"objType":4,"deviceSerial":1,"portId":5,"sampleRate":9}]})");
    ASSERT_TRUE(d.ok) << d.reason;
    EXPECT_EQ(d.list.getMsgType(), cObjectList::MSG_SET);
    ASSERT_EQ(d.list.numObjects(), 2);
    auto* ao = dynamic_cast<cObjectAOutput*>(d.list.first());
    ASSERT_NE(ao, nullptr);
    EXPECT_EQ(ao->getPortId(), 2u);
    EXPECT_EQ(ao->getSampledValue(), 27.0f);  // an integer is a valid float value
    auto* ai = dynamic_cast<cObjectAInput*>(d.list.next());
    ASSERT_NE(ai, nullptr);
    EXPECT_EQ(ai->getSampleRate(), 9u);
    EXPECT_EQ(d.list.next(), nullptr);
}

TEST(CodecRoundTrip, UnknownTypeNumbersAreKeptAndTheirOtherKeysIgnored) {
    for (uint32_t t : {5u, 6u, 8u, 10u, 13u, 14u, 15u, 4294967295u}) {
        std::string line = R"({"msgType":3,"objects":[{"objType":)" + std::to_string(t) +
                           R"(,"deviceSerial":"not checked","x":[1,2]}]})";
        Decoded d(line);
        ASSERT_TRUE(d.ok) << t << ": " << d.reason;
        ASSERT_EQ(d.list.numObjects(), 1);
        EXPECT_EQ(static_cast<uint32_t>(d.list.first()->getType()), t);
    }
}

TEST(CodecRoundTrip, MinusOneIsTheWildcardInEverySelector) {
    Decoded d(R"({"msgType":1,"objects":[{"objType":4,"deviceSerial":-1,"portId":-1},)"
              R"({"objType":12,"deviceSerial":4294967295,"capId":-1}]})");
    ASSERT_TRUE(d.ok) << d.reason;
    auto* ai = d.as<cObjectAInput>(0);
    auto* cap = d.as<cObjectCapability>(1);
    ASSERT_TRUE(ai && cap);
    EXPECT_EQ(ai->getDeviceSerial(), cObject::WILDCARD);
    EXPECT_EQ(ai->getPortId(), cObject::WILDCARD);
    EXPECT_EQ(cap->getDeviceSerial(), cObject::WILDCARD);
    EXPECT_EQ(cap->getCapId(), cObject::WILDCARD);
}

TEST(CodecRoundTrip, AbsentOptionalFieldsAreZeroOrEmptyAndUnknownKeysIgnored) {
    Decoded d(
        R"({"msgType":1,"extra":{"a":1},"objects":[{"objType":11,"deviceSerial":3,"portId":1,)"
        R"("colour":"red"}]})");
    ASSERT_TRUE(d.ok) << d.reason;
    auto* ao = d.as<cObjectAOutput>(0);
    ASSERT_NE(ao, nullptr);
    EXPECT_STREQ(ao->getPortLabel(), "");
    EXPECT_EQ(ao->getGain(), 0.0f);
    EXPECT_EQ(ao->getSampledValue(), 0.0f);
}

TEST(CodecFloats, EveryFloatReadsBackBitForBit) {
    for (float f : {0.1f, 27.1f, -40.0f, 1e-7f, 123456.79f, FLT_MAX, -FLT_MAX, FLT_MIN,
                    FLT_TRUE_MIN, 16777217.0f, 0.0f}) {
        auto* s = new cObjectAnalogSample;
        s->setDeviceSerial(1);
        s->setPortNum(1);
        s->setSample(f);
        std::string line = encodeOne(cObjectList::MSG_EVENT, s);
        Decoded d(line);
        ASSERT_TRUE(d.ok) << line << ": " << d.reason;
        EXPECT_EQ(d.as<cObjectAnalogSample>(0)->getSample(), f) << line;
    }
}

TEST(CodecText, TextThatIsNotUtf8IsReplacedSoTheLineStaysValid) {
    auto* c = new cObjectCapability;
    c->setDeviceSerial(1);
    c->setCapId(1);
    c->setValue("rev\xff\xfe");
    std::string line = encodeOne(cObjectList::MSG_REQUEST, c);
    Decoded d(line);
    ASSERT_TRUE(d.ok) << d.reason;
    EXPECT_STREQ(d.as<cObjectCapability>(0)->getValue(), "rev\xEF\xBF\xBD\xEF\xBF\xBD");
}

// ---------------------------------------------------------------------------------------------
// The direct writer must write exactly what the JSON tree writes.

// The line appendMessage adds after text already in the buffer.
std::string directLine(cObjectList& m) {
    std::string out = "kept";
    vexaobj::appendMessage(m, out);
    return out.compare(0, 4, "kept") == 0 ? out.substr(4) : "changed the text before it";
}

TEST(CodecDirect, WritesEveryKindAsTheTreeDoes) {
    for (const auto& c : kRoundTrips) {
        SCOPED_TRACE(c.legend);
        Message m(cObjectList::MSG_REQUEST, {c.make()});
        EXPECT_EQ(directLine(m), std::string(c.wire));
        EXPECT_EQ(directLine(m), testsupport::encodeMessageTree(m));
    }
    // Kinds mixed in one message, and a type number on an object of another class, which is
    // written with its number only.
    cObjectList m;
    m.setMsgType(cObjectList::MSG_EVENT);
    m.add(kRoundTrips[6].make());  // a sample
    m.add(new cObjectDInput);
    m.add(new cObject(cObject::OBJ_ANALOG_SAMPLE));
    EXPECT_EQ(directLine(m), testsupport::encodeMessageTree(m));
    EXPECT_EQ(encodeMessage(m), testsupport::encodeMessageTree(m));
    m.deleteObjects();
    EXPECT_EQ(directLine(m), R"({"msgType":3,"objects":[]})");
}

// A sample event carrying `f`, written both ways.
struct BothWays {
    std::string direct, tree;
};
BothWays sampleBothWays(float f) {
    auto* s = new cObjectAnalogSample;
    s->setDeviceSerial(4294967295u);
    s->setPortNum(19);
    s->setSample(f);
    Message m(cObjectList::MSG_EVENT, {s});
    return BothWays{directLine(m), testsupport::encodeMessageTree(m)};
}

// Floats as the wire carries them today, pinned; both writers must give these.
TEST(CodecDirect, FloatsAsTheWireCarriesThem) {
    const struct {
        float value;
        const char* text;
    } cases[] = {
        {258.0f, "258.0"},  // integral: ".0" added
        {27.1f, "27.1"},    // the shortest decimal that reads back
        {-40.0f, "-40.0"},
        {-0.0f, "-0.0"},                     // the sign of zero is kept
        {1.0000637f, "1.0000637000000001"},  // the tree's double formatter is not always shortest
        {123456792.0f, "123456790.0"},       // reads back as the same float
        {1e-4f, "0.0001"},                   // positional down to 1e-4
        {1e-5f, "1e-05"},                    // then exponents, of two digits at least
        {1e15f, "1e+15"},
        {FLT_MAX, "3.4028235e+38"},  // nine digits
        {FLT_MIN, "1.1754944e-38"},
        {FLT_TRUE_MIN, "1.4013e-45"},  // subnormal: not the shortest, printf's 6 digits
        {std::numeric_limits<float>::quiet_NaN(), "null"},  // no JSON form: receivers reject it
        {std::numeric_limits<float>::infinity(), "null"},
        {-std::numeric_limits<float>::infinity(), "null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        BothWays b = sampleBothWays(c.value);
        EXPECT_EQ(b.tree, std::string(R"({"msgType":3,"objects":[{"objType":9,)") +
                              R"("deviceSerial":4294967295,"portNum":19,"seqNum":0,"sample":)" +
                              c.text + "}]}");
        EXPECT_EQ(b.direct, b.tree);
    }
}

TEST(CodecDirect, FloatsAgreeWithTheTreeOverRandomBitPatterns) {
    std::mt19937 rng(20261208);  // fixed: a failure repeats
    auto fromBits = [](uint32_t bits) {
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    };
    std::vector<float> values;
    for (int i = 0; i < 60000; ++i)
        values.push_back(fromBits(rng()));  // every exponent, NaN and infinity included
    for (int i = 0; i < 20000; ++i)
        values.push_back(fromBits(rng() & 0x807FFFFFu));  // subnormal
    for (int i = 0; i < 20000; ++i) {
        values.push_back(static_cast<float>(rng() % 100000));        // counters
        values.push_back(static_cast<float>(rng() % 4000) / 10.0f);  // tenths
        values.push_back(static_cast<float>(rng()));                 // large integers
    }
    for (int i = 0; i < 20000; ++i) {
        // Nine significant digits, each exponent: the floats that need all their digits.
        std::string text = std::to_string(100000000 + rng() % 900000000) + "e" +
                           std::to_string(static_cast<int>(rng() % 80) - 48);
        values.push_back(std::strtof(text.c_str(), nullptr));
    }
    size_t mismatches = 0;
    for (float f : values) {
        BothWays b = sampleBothWays(f);
        if (b.direct != b.tree && ++mismatches <= 5)
            ADD_FAILURE() << std::hexfloat << f << ": direct " << b.direct << ", tree " << b.tree;
    }
    EXPECT_EQ(mismatches, 0u) << "of " << values.size();
}

// Text as the tree writes it: escapes, and U+FFFD for what is not UTF-8, over random bytes
// drawn mostly from the ones that matter (control characters, quote, backslash, lead and
// continuation bytes at the edges of their ranges).
TEST(CodecDirect, TextAgreesWithTheTreeOverRandomBytes) {
    const unsigned char kBytes[] = {0x01, 0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x1F, '"',  '\\',
                                    'a',  '/',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                    0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                    0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    std::mt19937 rng(4711);
    size_t mismatches = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        // Mostly short; every eighth long enough to be written in several pieces.
        for (size_t n = i % 8 ? rng() % 12 : 200 + rng() % 2000; n > 0; --n) {
            unsigned r = rng() % 48;
            text += static_cast<char>(r < sizeof kBytes ? kBytes[r] : 1 + rng() % 255);
        }
        auto* c = new cObjectCapability;
        c->setLabel(text.c_str());
        c->setValue(("x" + text + "\xE2\x82\xAC").c_str());  // and a valid sequence after it
        Message m(cObjectList::MSG_SET, {c});
        std::string direct = directLine(m), tree = testsupport::encodeMessageTree(m);
        if (direct != tree && ++mismatches <= 5) {
            ADD_FAILURE() << vexaobj::printableExcerpt(text) << ": direct "
                          << vexaobj::printableExcerpt(direct) << ", tree "
                          << vexaobj::printableExcerpt(tree);
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

struct Rejection {
    const char* legend;
    std::string line;
    const char* reason;  // part of the reason given
};

std::string msg(int type, const std::string& objects) {
    return R"({"msgType":)" + std::to_string(type) + R"(,"objects":[)" + objects + "]}";
}

const std::vector<Rejection> kRejections = {
    {"not JSON", "hello", "not JSON"},
    {"cut short", R"({"msgType":1,"objects":[)", "not JSON"},
    {"trailing garbage", R"({"msgType":1,"objects":[]} x)", "not JSON"},
    {"bad UTF-8", "{\"msgType\":1,\"objects\":[],\"x\":\"\xff\"}", "not JSON"},
    {"array", "[1,2]", "not a JSON object"},
    {"number", "42", "not a JSON object"},
    {"no msgType", R"({"objects":[]})", "\"msgType\" is missing"},
    {"msgType text", R"({"msgType":"1","objects":[]})", "\"msgType\" is not an integer"},
    {"msgType float", R"({"msgType":1.0,"objects":[]})", "\"msgType\" is not an integer"},
    {"msgType bool", R"({"msgType":true,"objects":[]})", "\"msgType\" is not an integer"},
    {"msgType 256", R"({"msgType":256,"objects":[]})", "\"msgType\" is out of range"},
    {"msgType -1", R"({"msgType":-1,"objects":[]})", "\"msgType\" is out of range"},
    {"no objects", R"({"msgType":1})", "\"objects\" is missing"},
    {"objects object", R"({"msgType":1,"objects":{}})", "\"objects\" is not an array"},
    {"element not object", msg(1, "1"), "objects[0] is not an object"},
    {"no objType", msg(1, R"({"deviceSerial":1})"), "objects[0]: field \"objType\" is missing"},
    {"objType text", msg(1, R"({"objType":"4"})"), "\"objType\" is not an integer"},
    {"objType float", msg(1, R"({"objType":4.0})"), "\"objType\" is not an integer"},
    {"objType negative", msg(1, R"({"objType":-1})"), "\"objType\" is out of range"},
    {"objType too big", msg(1, R"({"objType":4294967296})"), "\"objType\" is out of range"},
    {"serial text", msg(1, R"({"objType":0,"deviceSerial":"5"})"), "is not an integer"},
    {"serial float", msg(1, R"({"objType":0,"deviceSerial":5.5})"), "is not an integer"},
    {"serial too big", msg(1, R"({"objType":0,"deviceSerial":4294967296})"), "out of range"},
    {"serial -2", msg(1, R"({"objType":0,"deviceSerial":-2})"), "out of range"},
    {"label number", msg(1, R"({"objType":1,"deviceSerial":1,"portId":1,"portLabel":5})"),
     "\"portLabel\" is not a string"},
    {"gain text", msg(1, R"({"objType":4,"deviceSerial":1,"portId":1,"gain":"1"})"),
     "\"gain\" is not a number"},
    {"value bool", msg(0, R"({"objType":11,"deviceSerial":1,"portId":1,"sampledValue":true})"),
     "\"sampledValue\" is not a number"},
    {"value beyond float",
     msg(0, R"({"objType":11,"deviceSerial":1,"portId":1,"sampledValue":1e39})"),
     "\"sampledValue\" is out of range"},
    {"rate null", msg(0, R"({"objType":4,"deviceSerial":1,"portId":1,"sampleRate":null})"),
     "\"sampleRate\" is not an integer"},
    {"status text", msg(1, R"({"objType":0,"deviceSerial":1,"deviceStatus":"ok"})"),
     "\"deviceStatus\" is not an integer"},
    {"capability value number", msg(1, R"({"objType":12,"deviceSerial":1,"capId":1,"value":7})"),
     "\"value\" is not a string"},
    {"second object bad", msg(1, R"({"objType":0,"deviceSerial":1},{"objType":4,"portId":1})"),
     "objects[1]: field \"deviceSerial\" is missing"},
    {"nested too deep",
     R"({"msgType":1,"objects":[],"x":)" + std::string(100, '[') + std::string(100, ']') + "}",
     "nested deeper"},
};

TEST(CodecRejects, EachFaultRejectsTheWholeLineWithItsReason) {
    for (const auto& r : kRejections) {
        SCOPED_TRACE(r.legend);
        Decoded d(r.line);
        EXPECT_FALSE(d.ok);
        EXPECT_NE(d.reason.find(r.reason), std::string::npos) << d.reason;
        EXPECT_EQ(d.list.numObjects(), 0);
    }
}

// Fields without which a handler could not know what is meant: a missing one rejects the line
// instead of becoming 0, which would name a real device or port or set a real value.
struct Required {
    int msgType;
    int objType;
    const char* field;
};

const Required kRequired[] = {
    {1, 0, "deviceSerial"},  {1, 1, "deviceSerial"},  {1, 2, "deviceSerial"},
    {1, 3, "deviceSerial"},  {1, 4, "deviceSerial"},  {3, 9, "deviceSerial"},
    {1, 11, "deviceSerial"}, {1, 12, "deviceSerial"}, {1, 1, "portId"},
    {1, 2, "portId"},        {1, 3, "portId"},        {1, 4, "portId"},
    {1, 11, "portId"},       {1, 12, "capId"},        {3, 9, "portNum"},
    {0, 11, "sampledValue"}, {0, 4, "sampleRate"},    {0, 3, "outputState"},
};

// A complete object of the type, as a JSON object text with `skip` left out.
std::string fullObject(int objType, const std::string& skip) {
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"deviceSerial", "1"}, {"portId", "2"},     {"capId", "1"},       {"portNum", "2"},
        {"sampledValue", "5"}, {"sampleRate", "1"}, {"outputState", "1"},
    };
    std::string o = R"({"objType":)" + std::to_string(objType);
    for (const auto& f : fields) {
        if (f.first != skip)
            o += ",\"" + f.first + "\":" + f.second;
    }
    return o + "}";
}

TEST(CodecRejects, AMissingRequiredFieldRejectsTheLine) {
    for (const auto& r : kRequired) {
        SCOPED_TRACE(std::string(r.field) + " on objType " + std::to_string(r.objType));
        Decoded whole(msg(r.msgType, fullObject(r.objType, "")));
        ASSERT_TRUE(whole.ok) << whole.reason;
        Decoded d(msg(r.msgType, fullObject(r.objType, r.field)));
        EXPECT_FALSE(d.ok);
        EXPECT_NE(d.reason.find(std::string("\"") + r.field + "\" is missing"), std::string::npos)
            << d.reason;
    }
}

TEST(CodecRejects, SetOnlyFieldsAreOptionalInOtherMessages) {
    for (const char* line :
         {R"({"msgType":1,"objects":[{"objType":11,"deviceSerial":1,"portId":1}]})",
          R"({"msgType":1,"objects":[{"objType":4,"deviceSerial":1,"portId":1}]})",
          R"({"msgType":1,"objects":[{"objType":3,"deviceSerial":1,"portId":1}]})"}) {
        Decoded d(line);
        EXPECT_TRUE(d.ok) << line << ": " << d.reason;
    }
}

// ---------------------------------------------------------------------------------------------

std::vector<vexaobj::LineFramer::Line> feedAll(vexaobj::LineFramer& f,
                                               const std::vector<std::string>& chunks) {
    std::vector<vexaobj::LineFramer::Line> out;
    for (const auto& c : chunks)
        f.feed(c.data(), c.size(), out);
    return out;
}

TEST(LineFramer, JoinsChunksAndToleratesCrLf) {
    vexaobj::LineFramer f;
    auto lines = feedAll(f, {"{\"a\"", ":1}\r\n{\"b\":2}\n\n{\"c", "\":3}"});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "{\"a\":1}");
    EXPECT_EQ(lines[1].text, "{\"b\":2}");
    EXPECT_EQ(lines[2].text, "");
    EXPECT_TRUE(f.midLine());
    f.reset();
    EXPECT_FALSE(f.midLine());
}

TEST(LineFramer, LongestLineIsKeptAndOneByteMoreIsDiscardedUpToItsNewline) {
    const size_t maxContent = vexaobj::kMaxLineBytes - 1;
    vexaobj::LineFramer f;
    auto lines = feedAll(f, {std::string(maxContent, 'a') + "\n"});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(lines[0].overlong);
    EXPECT_EQ(lines[0].text.size(), maxContent);

    // Over the limit, fed in small pieces: reported once, the next line is intact.
    std::string big = "{" + std::string(maxContent, 'x') + "\nnext\n";
    std::vector<std::string> chunks;
    for (size_t i = 0; i < big.size(); i += 1000)
        chunks.push_back(big.substr(i, 1000));
    lines = feedAll(f, chunks);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].overlong);
    EXPECT_EQ(lines[0].text.substr(0, 3), "{xx");
    EXPECT_LE(lines[0].text.size(), 256u);
    EXPECT_EQ(lines[1].text, "next");
    EXPECT_FALSE(lines[1].overlong);
}

TEST(PrintableExcerpt, EscapesControlBytesAndCutsAtTheLimit) {
    EXPECT_EQ(vexaobj::printableExcerpt("ab\x01\xff"
                                        "c"),
              "ab\\x01\\xFFc");
    EXPECT_EQ(vexaobj::printableExcerpt(std::string(300, 'z')), std::string(200, 'z') + "...");
}

// ---------------------------------------------------------------------------------------------

struct Counted : cObject {
    explicit Counted(int& alive) : cObject(OBJ_EVENT), mAlive(alive) { ++mAlive; }
    ~Counted() override { --mAlive; }
    int& mAlive;
};

TEST(ObjectList, NeverOwnsItsObjectsUntilDeleteObjects) {
    int alive = 0;
    Counted* kept = new Counted(alive);
    {
        cObjectList m;
        m.add(kept);
        m.add(kept);  // the same object twice is allowed; it is not freed twice here
        EXPECT_EQ(m.numObjects(), 2);
    }
    EXPECT_EQ(alive, 1);

    cObjectList m;
    m.add(kept);
    m.add(new Counted(alive));
    EXPECT_EQ(m.first(), kept);
    EXPECT_NE(m.next(), nullptr);
    EXPECT_EQ(m.next(), nullptr);
    EXPECT_EQ(m.next(), nullptr);  // stays at the end
    m.deleteObjects();
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(m.numObjects(), 0);
    EXPECT_EQ(m.first(), nullptr);
}

}  // namespace
