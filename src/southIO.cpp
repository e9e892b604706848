// The device's ports. The library objects hold what vexad sees; these classes add a logger,
// the thinning of analogue readings into sample events, and the digital input's change event.
#include "southIO.h"

#include "cObjectList.h"

namespace {

// Sample events carry sequence numbers 1..31; vexad uses them to spot lost events.
constexpr uint32_t kSeqModulus = 32;

}  // namespace

void sendObject(cObjectClient& client, uint8_t msgType, cObject* obj) {
    cObjectList message;
    message.setMsgType(msgType);
    message.add(obj);
    client.send(&message);
    // The list never owns the object: it goes out of scope and the object lives on.
}

DigitalInput::DigitalInput(uint32_t serial, uint32_t portNo, const char* label)
    : cObjectDInput(), cQlog("southIO") {
    setDeviceSerial(serial);
    setPortId(portNo);
    setPortLabel(label);
}

DigitalInput::~DigitalInput() {}

void DigitalInput::setInput(eObjectIOState state, cObjectClient& client) {
    const eObjectIOState before = getInputState();
    setInputState(state);
    if (before != state)
        sendEvent(client);
}

void DigitalInput::sendEvent(cObjectClient& client) {
    sendObject(client, cObjectList::MSG_EVENT, this);
}

DigitalOutput::DigitalOutput(uint32_t serial, uint32_t portNo, const char* label)
    : cObjectDOutput(), cQlog("DigitalOutput") {
    setDeviceSerial(serial);
    setPortId(portNo);
    setPortLabel(label);
}

DigitalOutput::~DigitalOutput() {}

AnalogueInput::AnalogueInput(uint32_t serial, uint32_t portNo, const char* label, const char* unit,
                             double gain, double offset, int sampleRate)
    : cObjectAInput(), cQlog("AnalogueInput"), seq(0), samplingRate(1), rateCounter(0) {
    setDeviceSerial(serial);
    setPortId(portNo);
    setPortLabel(label);
    setDisplayUnit(unit);
    setGain(static_cast<float>(gain));
    setOffset(static_cast<float>(offset));
    setSampleRate(static_cast<uint32_t>(sampleRate));
}

AnalogueInput::~AnalogueInput() {}

void AnalogueInput::sample(float value, cObjectClient& client) {
    // Readings between two published samples are dropped, not stored: the value vexad gets
    // by request is always the last one it also received as an event.
    if (rateCounter >= getSampleRate()) {
        setSampledValue(value);
        sendSampleEvent(client);
        rateCounter = 0;
    }
    rateCounter += samplingRate;
}

void AnalogueInput::sendSampleEvent(cObjectClient& client) {
    ++seq;
    if (seq % kSeqModulus == 0)
        seq = 1;

    // The sample object lives for this one event: send has serialised it when it returns.
    cObjectAnalogSample event;
    event.setSample(getSampledValue());
    event.setPortNum(getPortId());
    event.setDeviceSerial(getDeviceSerial());
    event.setSeqNum(seq);
    sendObject(client, cObjectList::MSG_EVENT, &event);
}

void AnalogueInput::setSamplingRate(uint32_t value) {
    samplingRate = value;
}

AnalogueOutput::AnalogueOutput(uint32_t serial, uint32_t portNo, const char* label,
                               const char* unit, double gain, double offset, int /*sampleRate*/)
    : cObjectAOutput(), cQlog("AnalogueOutput"), portNumber(static_cast<int>(portNo)) {
    setDeviceSerial(serial);
    setPortId(portNo);
    setPortLabel(label);
    setDisplayUnit(unit);
    setGain(static_cast<float>(gain));
    setOffset(static_cast<float>(offset));
}

AnalogueOutput::~AnalogueOutput() {}

void AnalogueOutput::sample(float value, cObjectClient& /*client*/) {
    setSampledValue(value);
}
