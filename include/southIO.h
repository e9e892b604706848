// The device's ports: library port objects with a logger and the little behaviour the daemon
// needs. They take no lock of their own; the device's mutex guards them.
#pragma once

#include <cstdint>

#include "cObject.h"
#include "cObjectClient.h"
#include "cQlog.h"

// Sends `obj` as the only object of one message of type `msgType`; the message never owns it.
void sendObject(cObjectClient& client, uint8_t msgType, cObject* obj);

class DigitalInput : public cObjectDInput, public cQlog {
public:
    DigitalInput(uint32_t serial, uint32_t portNo, const char* label);
    ~DigitalInput() override;

    // Stores the state and sends one event when it differs from the state held before.
    void setInput(eObjectIOState state, cObjectClient& client);
    // Sends one event message (type 3) holding this port.
    void sendEvent(cObjectClient& client);
};

class DigitalOutput : public cObjectDOutput, public cQlog {
public:
    DigitalOutput(uint32_t serial, uint32_t portNo, const char* label);
    ~DigitalOutput() override;
};

class AnalogueInput : public cObjectAInput, public cQlog {
public:
    uint32_t seq;           // sequence number of the last sample event, 1..31 once started
    uint32_t samplingRate;  // step added to rateCounter per sample() call
    uint32_t rateCounter;   // steps since the last published sample

    AnalogueInput(uint32_t serial, uint32_t portNo, const char* label, const char* unit,
                  double gain, double offset, int sampleRate);
    ~AnalogueInput() override;

    // Offers a reading; publishes it when the counter has reached the sample rate.
    void sample(float value, cObjectClient& client);
    // Sends the current sampled value as one sample event (type 3).
    void sendSampleEvent(cObjectClient& client);
    void setSamplingRate(uint32_t value);
};

class AnalogueOutput : public cObjectAOutput, public cQlog {
public:
    int portNumber;  // the port id given at construction

    AnalogueOutput(uint32_t serial, uint32_t portNo, const char* label, const char* unit,
                   double gain, double offset, int sampleRate);
    ~AnalogueOutput() override;

    // Stores the value the controller reports; sends nothing.
    void sample(float value, cObjectClient& client);
};
