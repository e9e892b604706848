// The device published to vexad: its point table, the mapping of each controller data block
// onto the points, the software-revision capability, the online status, and the answers to
// vexad's requests and sets.
#include "southDevice.h"

#include <array>
#include <cstdio>
#include <iterator>
#include <string>

#include "stdoutTrace.h"

int count = 0;              // software-revision publications made so far
bool addCap_status = true;  // publication still wanted

namespace {

constexpr int kCapabilityPublications = 5;
constexpr uint32_t kCapabilityId = 1;
constexpr const char* kCapabilityLabel = "DORN25 Software Rev";

// The device's named ports, each with the label of the point table's row it names (points.h):
// the port of row i is the member at position i. Rows added to the table after these get their
// ports without names of their own; a row moved or inserted above a named one fails to compile.
template <class Port>
struct Named {
    Port* SouthDevice::*member;
    const char* label;
};
constexpr Named<AnalogueOutput> kOutputNames[] = {
    {&SouthDevice::airconPullIn1, "Aircon-1 Pull-in"},
    {&SouthDevice::airconDropout2, "Aircon-2 Drop-out"},
    {&SouthDevice::fanPullIn, "Fan Pull-in"},
    {&SouthDevice::hiTempDropout, "High-Temp Drop-out"},
    {&SouthDevice::airconRotation, "Aircon Rotation"},
    {&SouthDevice::airconPowerupDelay1, "Aircon-1 power up delay"},
    {&SouthDevice::failSetpoint, "Aircon Fail Set-point"},
    {&SouthDevice::airconTestDelay, "Aircon Test Delay"},
};
constexpr Named<AnalogueInput> kInputNames[] = {
    {&SouthDevice::ac1Hours, "AC-1 Hours"},
    {&SouthDevice::ac2Hours, "AC-2 Hours"},
    {&SouthDevice::fanHours, "Fan Hours"},
    {&SouthDevice::rhHours, "RH Hours"},
    {&SouthDevice::rhFreeAirHours, "RH Free-Air Inhibit Hours"},
    {&SouthDevice::activeModeHours, "Active Mode Hours"},
    {&SouthDevice::freeAirModeHours, "Free-Air Mode Hours"},
    {&SouthDevice::hiTempHours, "Hi-Temp Hours"},
    {&SouthDevice::mainsFailHours, "Mains Fail Hours"},
    {&SouthDevice::internalTemp, "Internal Temperature"},
    {&SouthDevice::externalTemp, "External Temperature"},
    {&SouthDevice::aveInternalTemp, "Average Internal Temperature"},
    {&SouthDevice::aveExternalTemp, "Average External Temperature"},
    {&SouthDevice::ac1Temp, "AC-1 Temperature"},
    {&SouthDevice::ac2Temp, "AC-2 Temperature"},
    {&SouthDevice::averageAc1Temp, "Average AC-1 Temperature"},
    {&SouthDevice::averageAc2Temp, "Average AC-2 Temperature"},
    {&SouthDevice::rh, "RH"},
    {&SouthDevice::averageRh, "Average RH"},
};

constexpr bool sameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}
template <class Port, size_t N>
constexpr bool nameRows(const Named<Port> (&names)[N], const points::Point* rows, int n) {
    if (static_cast<int>(N) > n)
        return false;
    for (size_t i = 0; i < N; ++i) {
        if (!sameText(names[i].label, rows[i].label))
            return false;
    }
    return true;
}
static_assert(nameRows(kOutputNames, points::kSetpointTable, points::kSetpoints),
              "each named set-point names the row of its position");
static_assert(nameRows(kInputNames, points::kInputTable, points::kInputs),
              "each named input names the row of its position");

// Every port gets gain 1 and offset 0: the raw controller values are published, and vexad
// applies nothing to them. Inputs start with sample rate 1 (every reading from the second on).
constexpr double kGain = 1.0;
constexpr double kOffset = 0.0;
constexpr int kSampleRate = 1;

// An incoming id selects an element when it equals the element's id or is the wildcard.
bool idMatches(uint32_t wanted, uint32_t id) {
    return wanted == id || wanted == cObject::WILDCARD;
}

}  // namespace

SouthDevice::SouthDevice(cObjectClient* objClient, uint32_t serial, uint32_t version,
                         const char* label)
    : cObjectDevice(), cQlog("southDevice"), cObjectListener() {
    setDeviceSerial(serial);
    setDeviceLabel(label);
    setVersion(version);
    // Offline until the controller's first valid reply.
    setDeviceStatus(OBJ_STATUS_ALARM_SET);
    setDeviceType(TYPE_SNMP);
    addAnalogueInputs();
    updatePortCount();
    client = objClient;
    // Last step: from here on the client's reader thread may call handleObjectAction, and it
    // must find the device complete.
    if (client != nullptr)
        client->addListener(this);
}

SouthDevice::~SouthDevice() {
    // The daemon keeps its device for the whole run; tests and tools that destroy one stop its
    // client first, so no handler runs any more.
    for (AnalogueOutput* p : aoPorts)
        delete p;
    for (AnalogueInput* p : aiPorts)
        delete p;
    for (DigitalInput* p : diPorts)
        delete p;
    for (DigitalOutput* p : doPorts)
        delete p;
    for (cObjectCapability* c : capabilities)
        delete c;
}

void SouthDevice::addAnalogueInputs() {
    // Ports take the serial from the device object, which is set before this runs.
    for (int i = 0; i < points::kSetpoints; ++i) {
        const points::Point& p = points::setpoint(i);
        AnalogueOutput* port = new AnalogueOutput(getDeviceSerial(), p.id, p.label, p.unit, kGain,
                                                  kOffset, kSampleRate);
        if (static_cast<size_t>(i) < std::size(kOutputNames))
            this->*kOutputNames[i].member = port;
        aoPorts.push_back(port);
    }
    for (int i = 0; i < points::kInputs; ++i) {
        const points::Point& p = points::input(i);
        AnalogueInput* port = new AnalogueInput(getDeviceSerial(), p.id, p.label, p.unit, kGain,
                                                kOffset, kSampleRate);
        if (static_cast<size_t>(i) < std::size(kInputNames))
            this->*kInputNames[i].member = port;
        aiPorts.push_back(port);
    }
}

void SouthDevice::updatePortCount() {
    setAnalogInCount(static_cast<uint32_t>(aiPorts.size()));
    setAnalogOutCount(static_cast<uint32_t>(aoPorts.size()));
}

void SouthDevice::updater(cObjectClient* objClient, uint8_t* data) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (objClient != nullptr)
        client = objClient;
    if (client == nullptr || data == nullptr) {
        // A wiring fault, not bad input: said once, not once per frame.
        static bool reported = false;
        if (!reported)
            error("updater: no client or no data block, blocks dropped");
        reported = true;
        return;
    }
    cObjectClient& out = *client;

    // The set-points first, then the software revision, then the inputs: the capability goes
    // out before the samples, and the samples in port-id order. Each port is its table row's,
    // by position.
    int row = 0;
    for (AnalogueOutput* port : aoPorts) {
        const points::Point& p = points::setpoint(row++);
        debug("data[%i] = %i\n", p.index, data[p.index]);
        port->sample(points::value(p, data), out);
    }

    if (addCap_status && count < kCapabilityPublications) {
        char value[4];  // 1..3 digits
        std::snprintf(value, sizeof value, "%u",
                      static_cast<unsigned>(data[points::kRevisionIndex]));
        addCapabilities(value);
        ++count;
    } else {
        addCap_status = false;
    }

    row = 0;
    for (AnalogueInput* port : aiPorts) {
        const points::Point& p = points::input(row++);
        const float value = points::value(p, data);
        if (p.encoding == points::Encoding::U16)
            debug("%s = 0x%04X\n", p.label, static_cast<unsigned>(value));
        else
            debug("data[%i] = %i\n", p.index, data[p.index]);
        port->sample(value, out);
    }
}

void SouthDevice::addCapabilities(char* value) {
    stdoutLine((std::string("Capability Value: ") + value).c_str());

    // One capability object per id, updated in place: each publication sends the latest value,
    // and a request finds exactly one.
    cObjectCapability* cap = nullptr;
    for (cObjectCapability* c : capabilities) {
        if (c->getCapId() == kCapabilityId)
            cap = c;
    }
    if (cap == nullptr) {
        cap = new cObjectCapability();
        cap->setCapId(kCapabilityId);
        cap->setDeviceSerial(getDeviceSerial());
        cap->setLabel(kCapabilityLabel);
        capabilities.push_back(cap);
    }
    cap->setValue(value);
    sendCapabilities(cap);
}

bool SouthDevice::sendCapabilities(cObjectCapability* object) {
    if (object == nullptr || client == nullptr)
        return false;
    sendObject(*client, cObjectList::MSG_REQUEST, object);
    return true;
}

void SouthDevice::sendEvent(cObjectDevice* obj) {
    if (obj != nullptr && client != nullptr)
        sendObject(*client, cObjectList::MSG_EVENT, obj);
}

void SouthDevice::sendEvent(cObjectDInput* obj) {
    if (obj != nullptr && client != nullptr)
        sendObject(*client, cObjectList::MSG_EVENT, obj);
}

void SouthDevice::setOnlineStatus(eObjectStatus status) {
    std::lock_guard<std::mutex> lock(mMutex);
    setOnlineStatusLocked(status);
}

void SouthDevice::setOnlineStatusLocked(eObjectStatus status) {
    const eObjectStatus before = getDeviceStatus();
    setDeviceStatus(status);
    // vexad hears about changes only: one event when the device comes online or goes offline.
    if (before != status)
        sendEvent(static_cast<cObjectDevice*>(this));
}

bool SouthDevice::forThisDevice(uint32_t serial) const {
    return serial == getDeviceSerial() || serial == cObject::WILDCARD;
}

// ---- Messages from vexad ----

void SouthDevice::handleObjectAction(cObjectList* objects) {
    if (objects == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mMutex);
    debug("Application received objects to handle: %d with: %d objects", objects->getMsgType(),
          objects->numObjects());
    switch (objects->getMsgType()) {
        case cObjectList::MSG_SET:
            handleSet(objects);
            break;
        case cObjectList::MSG_REQUEST:
            handleRequest(objects);
            break;
        case cObjectList::MSG_ERROR:
            handleError(objects);
            break;
        case cObjectList::MSG_EVENT:
            handleEvent(objects);
            break;
        case cObjectList::MSG_DELETE:
            handleDelete(objects);
            break;
        case cObjectList::MSG_REPLY:
            handleReply(objects);
            break;
        default:
            break;  // unknown message types: the line above is all
    }
}

namespace {

// The line logged for each object type of a request and of a set; null stands for "Not handling
// this...". Indexed by the object type number.
struct DispatchLines {
    const char* request;
    const char* set;
};
const DispatchLines kDispatchLines[] = {
    {"Got MSG_REQ:OBJ_DEVICE", nullptr},               // 0 OBJ_DEVICE
    {"OBJ_PORT", "OBJ_PORT"},                          // 1 OBJ_PORT
    {"OBJ_PORT_DIN", "MSG_SET:OBJ_PORT_DIN"},          // 2 OBJ_PORT_DIN
    {"OBJ_PORT_DOUT", "MSG_SET:OBJ_PORT_DOUT"},        // 3 OBJ_PORT_DOUT
    {"OBJ_PORT_AIN", "MSG_SET:OBJ_PORT_AIN"},          // 4 OBJ_PORT_AIN
    {nullptr, nullptr},                                // 5 OBJ_EVENT
    {"OBJ_MSG_INFO", "OBJ_MSG_INFO"},                  // 6 OBJ_MSG_INFO
    {"OBJ_SITE_CFG", nullptr},                         // 7 OBJ_SITE_CFG
    {"OBJ_TREND_EVENT", nullptr},                      // 8 OBJ_TREND_EVENT
    {"OBJ_ANALOG_SAMPLE", nullptr},                    // 9 OBJ_ANALOG_SAMPLE
    {"OBJ_ACCESS", nullptr},                           // 10 OBJ_ACCESS
    {"OBJ_PORT_AOUT", "MSG_SET:OBJ_PORT_AOUT"},        // 11 OBJ_PORT_AOUT
    {"OBJ_CAPABILITY", "OBJ_CAPABILITY"},              // 12 OBJ_CAPABILITY
    {"OBJ_ADHOC_EVENT", "OBJ_ADHOC_EVENT"},            // 13 OBJ_ADHOC_EVENT
    {"OBJ_NUM_OBJECT_TYPES", "OBJ_NUM_OBJECT_TYPES"},  // 14 OBJ_NUM_OBJECT_TYPES
};

const char* dispatchLine(uint32_t type, bool set) {
    constexpr uint32_t known = sizeof kDispatchLines / sizeof kDispatchLines[0];
    const char* line =
        type < known ? (set ? kDispatchLines[type].set : kDispatchLines[type].request) : nullptr;
    return line != nullptr ? line : "Not handling this...";
}

// Logs each object of a request or a set and hands it to `handle`.
template <class Handle>
void eachObject(const cQlog& log, cObjectList* objects, bool set, Handle handle) {
    for (cObject* o = objects->first(); o != nullptr; o = objects->next()) {
        log.debug("Object type: %d", static_cast<int>(o->getType()));
        log.debug("%s", dispatchLine(o->getType(), set));
        handle(o);
    }
}

}  // namespace

void SouthDevice::handleRequest(cObjectList* objects) {
    debug("REQUEST");
    eachObject(*this, objects, false, [this](cObject* o) { answerRequest(o); });
}

void SouthDevice::handleSet(cObjectList* objects) {
    eachObject(*this, objects, true, [this](cObject* o) { applySet(o); });
}

// The per-object handlers view an object as the class of its type only when it really is one:
// a mislabelled object from the wire is logged and skipped.
void SouthDevice::answerRequest(cObject* o) {
    switch (o->getType()) {
        case cObject::OBJ_DEVICE:
            // The device alone; vexad asks for the ports and capabilities separately.
            answer<cObjectDevice>(o, std::array<cObjectDevice*, 1>{this},
                                  &cObjectDevice::getDeviceSerial,
                                  "Request all device information.");
            break;
        case cObject::OBJ_PORT_DIN:
            answer<cObjectDInput>(o, diPorts, &cObjectDInput::getPortId);
            break;
        case cObject::OBJ_PORT_DOUT:
            answer<cObjectDOutput>(o, doPorts, &cObjectDOutput::getPortId);
            break;
        case cObject::OBJ_PORT_AIN:
            answer<cObjectAInput>(o, aiPorts, &cObjectAInput::getPortId);
            break;
        case cObject::OBJ_PORT_AOUT:
            answer<cObjectAOutput>(o, aoPorts, &cObjectAOutput::getPortId);
            break;
        case cObject::OBJ_CAPABILITY:
            answer<cObjectCapability>(o, capabilities, &cObjectCapability::getCapId);
            break;
        default:
            break;  // logged by the loop, nothing to answer
    }
}

void SouthDevice::applySet(cObject* o) {
    switch (o->getType()) {
        case cObject::OBJ_PORT_DOUT:
            if (auto* p = dynamic_cast<cObjectDOutput*>(o))
                handleSet(p);
            break;
        case cObject::OBJ_PORT_AIN:
            if (auto* p = dynamic_cast<cObjectAInput*>(o))
                handleSet(p);
            break;
        case cObject::OBJ_PORT_AOUT:
            if (auto* p = dynamic_cast<cObjectAOutput*>(o))
                handleSet(p);
            break;
        default:
            break;  // logged by the loop, nothing to apply
    }
}

// Answers a request for this device with one message (type 1, as vexad expects, not 5) holding
// every element of `list` whose id, read with `id` as the request's is, matches the request's
// (or every one for the wildcard); nothing is sent when nothing matches. `note`, when given, is
// logged first.
template <class Requested, class List>
void SouthDevice::answer(cObject* object, const List& list, uint32_t (Requested::*id)() const,
                         const char* note) {
    auto* request = dynamic_cast<Requested*>(object);
    if (request == nullptr || !forThisDevice(request->getDeviceSerial()))
        return;
    if (note != nullptr)
        debug("%s", note);
    cObjectList txMsg;
    txMsg.setMsgType(cObjectList::MSG_REQUEST);
    for (auto* element : list) {
        if (idMatches((request->*id)(), (element->*id)()))
            txMsg.add(element);
    }
    if (txMsg.numObjects() > 0 && client != nullptr)
        client->send(&txMsg);
}

void SouthDevice::handleError(cObjectList* /*objects*/) {
    debug("Handling error message.");
}

void SouthDevice::handleEvent(cObjectList* /*objects*/) {
    debug("Handling event message.");
}

void SouthDevice::handleDelete(cObjectList* /*objects*/) {
    debug("Handling delete message.");
}

void SouthDevice::handleReply(cObjectList* /*objects*/) {
    debug("Handling reply message.");
}

void SouthDevice::handleSet(cObjectDOutput* object) {
    if (!forThisDevice(object->getDeviceSerial()))
        return;
    // No digital outputs on this device; the walk only logs what would be set.
    for (DigitalOutput* port : doPorts) {
        if (!idMatches(object->getPortId(), port->getPortId()))
            continue;
        debug("Setting digital output port %d state to %d\n", static_cast<int>(port->getPortId()),
              static_cast<int>(object->getOutputState()));
    }
}

void SouthDevice::handleSet(cObjectAInput* object) {
    debug("Setting something on AnalogueInput");
    // No device check: vexad may address a sample-rate change with any serial.
    for (AnalogueInput* port : aiPorts) {
        if (idMatches(object->getPortId(), port->getPortId()))
            port->setSampleRate(object->getSampleRate());
    }
}

void SouthDevice::handleSet(cObjectAOutput* object) {
    if (!forThisDevice(object->getDeviceSerial()))
        return;
    // The value is only recorded: the serial link writes it to the controller, and the port
    // shows it once the controller reports it back.
    const float wanted = object->getSampledValue();
    for (AnalogueOutput* port : aoPorts) {
        if (!idMatches(object->getPortId(), port->getPortId()))
            continue;
        debug("Setting analogue output port %d state to %f\n", static_cast<int>(port->getPortId()),
              static_cast<double>(wanted));
        portNum = static_cast<int>(port->getPortId());
        setValues[portNum] = wanted;
        if (setRecorded)
            setRecorded();
    }
}
