// vexad's side of the conversation: raw bytes from the socket are cut into lines as the client
// does, each line is decoded, and every decoded message goes to the device's listener entry;
// set-point writes then go through the serial link's pick-up.
//
// Input: byte 0, bit 0 set: every pending set's frame goes out and the controller's reply
// confirms it at once (the controller takes each value), so that further entries flow; clear:
// pending sets stay and newer sets replace them.
// The rest is the byte stream from vexad.
//
// Checks: no value reaches the pending set (and so the controller) that no set message carried
// for that analogue output of this device; every answer is a non-empty message of type 1; every
// message the device sends encodes; the direct writer and the JSON tree write the same bytes for
// every decoded message, and for each line's raw bytes taken as text.
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cObject.h"
#include "cObjectCodec.h"
#include "cObjectList.h"
#include "dornManager.h"
#include "fuzzSupport.h"
#include "inProcess.h"
#include "replyFrames.h"
#include "southDevice.h"
#include "testClient.h"
#include "treeEncoder.h"

namespace {

constexpr uint32_t kSerial = 4711;
constexpr int kOutputs = points::kSetpoints;  // analogue outputs, port ids from 1

// Controller bytes a set message may legitimately produce for one port: the value cut to an
// unsigned integer, low byte. Values the controller's byte cannot hold may also be dropped.
using Carried = std::map<int, std::set<uint8_t>>;

void noteSets(cObjectList& msg, Carried& carried) {
    if (msg.getMsgType() != cObjectList::MSG_SET)
        return;
    for (size_t i = 0; cObject* o = msg.at(i); ++i) {
        if (o->getType() != cObject::OBJ_PORT_AOUT)
            continue;
        auto* p = dynamic_cast<cObjectAOutput*>(o);
        if (p == nullptr)
            continue;
        if (p->getDeviceSerial() != kSerial && p->getDeviceSerial() != cObject::WILDCARD)
            continue;
        const double v = p->getSampledValue();
        if (!(v >= 0.0 && v < 4294967296.0))
            continue;
        const uint8_t byte = static_cast<uint8_t>(static_cast<uint32_t>(v));
        for (int port = 1; port <= kOutputs; ++port) {
            if (p->getPortId() == static_cast<uint32_t>(port) ||
                p->getPortId() == cObject::WILDCARD)
                carried[port].insert(byte);
        }
    }
}

// Takes what the pick-up offers, checks it, and confirms it when asked to. Returns true when a
// set was pending afterwards.
bool pickUp(dornManager& m, const Carried& carried, bool confirm, bool& confirming) {
    m.link().pickUpSet();
    const proto::PendingSet pending = m.link().pending();
    if (!pending.changeVal_status)
        return false;
    const int port = pending.changePort;
    const uint8_t value = pending.changeVal;
    auto it = carried.find(port);
    FUZZ_CHECK(it != carried.end() && it->second.count(value) != 0,
               "port " + std::to_string(port) + " value " + std::to_string(value));
    if (confirm) {
        // The set frame goes out first: only a reply after it may confirm the set.
        const TxFrame frame = m.link().nextFrame();
        FUZZ_CHECK(frame.isSet && frame.port == port, "set frame");
        m.link().frameWritten(TxOutcome::whole(frame.len));
        confirming = true;  // the reply's samples and status are no answers
        const testsupport::Bytes reply =
            testsupport::reply(testsupport::block({{port - 1, value}}));
        m.link().receiveBytes(reply.data(), reply.size());
        confirming = false;
        FUZZ_CHECK(!m.link().pending().changeVal_status, "confirmation");
    }
    return true;
}

// The direct writer and the JSON tree write the same bytes: for a decoded message, and for a
// line's raw bytes taken as the text of a capability (any bytes but zero: control characters,
// quotes, invalid UTF-8).
void checkWriters(cObjectList& msg) {
    const std::string tree = testsupport::encodeMessageTree(msg);
    FUZZ_CHECK(vexaobj::encodeMessage(msg) == tree, tree);
}

void checkText(const std::string& raw) {
    cObjectCapability cap;
    cap.setLabel(raw.c_str());
    cap.setValue(raw.c_str() + raw.size() / 2);
    cObjectList msg;
    msg.add(&cap);
    const std::string direct = vexaobj::encodeMessage(msg);
    FUZZ_CHECK(direct == testsupport::encodeMessageTree(msg), direct);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    dornManager* m = fuzzsupport::manager();
    testsupport::resetExchangeState(m);
    // Everything the device sends here answers a message: a request of type 1 with objects,
    // and it encodes.
    testsupport::TestClient client(testsupport::TestClient::Keep::Counts);
    bool confirming = false;
    client.onSend = [&confirming](cObjectList& message) {
        fuzzsupport::checkEncodes(message);
        if (confirming)
            return;
        FUZZ_CHECK(message.getMsgType() == cObjectList::MSG_REQUEST, "answer type");
        FUZZ_CHECK(message.numObjects() > 0, "empty answer");
    };
    SouthDevice device(&client, kSerial, 1, "fuzz");
    m->devA = &device;
    m->mObjectClient = &client;
    const bool confirmEach = data[0] & 1;

    vexaobj::LineFramer framer;
    std::vector<vexaobj::LineFramer::Line> lines;
    framer.feed(reinterpret_cast<const char*>(data + 1), size - 1, lines);

    Carried carried;
    for (const auto& line : lines) {
        if (line.overlong || line.text.empty())
            continue;
        checkText(line.text);
        cObjectList msg;
        std::string reason;
        if (!vexaobj::decodeMessage(line.text, msg, reason)) {
            FUZZ_CHECK(msg.numObjects() == 0 && !reason.empty(), reason);
            continue;
        }
        checkWriters(msg);
        noteSets(msg, carried);
        device.handleObjectAction(&msg);
        msg.deleteObjects();
        pickUp(*m, carried, confirmEach, confirming);
    }
    // Whatever is left is written one after another, each once the one before is confirmed.
    for (int i = 0; i <= kOutputs + 1; ++i)
        pickUp(*m, carried, true, confirming);
    {
        std::lock_guard<std::mutex> lock(device.mMutex);
        FUZZ_CHECK(device.setValues.empty(), std::to_string(device.setValues.size()));
    }

    m->devA = nullptr;
    m->mObjectClient = nullptr;
    return 0;
}
