// The objects exchanged with vexad: a device, its ports, capabilities and sample events.
// Accessors store values unchanged; text setters copy the text.
#pragma once

#include <cstdint>
#include <string>

class cObject {
public:
    // Object type numbers of the messaging protocol. Any other number read from vexad is kept
    // as it is (the enum has a fixed 32-bit underlying type), so handlers can log it.
    enum eObjectTypes : uint32_t {
        OBJ_DEVICE = 0,
        OBJ_PORT = 1,
        OBJ_PORT_DIN = 2,
        OBJ_PORT_DOUT = 3,
        OBJ_PORT_AIN = 4,
        OBJ_EVENT = 5,
        OBJ_MSG_INFO = 6,
        OBJ_SITE_CFG = 7,
        OBJ_TREND_EVENT = 8,
        OBJ_ANALOG_SAMPLE = 9,
        OBJ_ACCESS = 10,
        OBJ_PORT_AOUT = 11,
        OBJ_CAPABILITY = 12,
        OBJ_ADHOC_EVENT = 13,
        OBJ_NUM_OBJECT_TYPES = 14
    };
    enum eObjectStatus : uint32_t {
        OBJ_STATUS_ALARM_UNKNOWN = 0,
        OBJ_STATUS_ALARM_SET = 1,
        OBJ_STATUS_ALARM_CLEAR = 2,
        OBJ_STATUS_ALARM_WARN = 3
    };
    enum eObjectIOState : uint32_t {
        OBJ_IO_STATE_UNKNOWN = 0,
        OBJ_IO_STATE_SET = 1,
        OBJ_IO_STATE_CLEAR = 2
    };
    enum eDeviceType : uint32_t { TYPE_UNKNOWN = 0, TYPE_SNMP = 5 };

    // The all-bits-set selector: any device, every port of a kind, every capability.
    static constexpr uint32_t WILDCARD = 0xFFFFFFFFu;

    explicit cObject(uint32_t type) : mType(static_cast<eObjectTypes>(type)) {}
    virtual ~cObject() = default;

    eObjectTypes getType() const { return mType; }
    virtual cObject* clone() const { return new cObject(*this); }

protected:
    cObject(const cObject&) = default;
    cObject& operator=(const cObject&) = default;

private:
    eObjectTypes mType;
};

class cObjectDevice : public cObject {
public:
    cObjectDevice() : cObject(OBJ_DEVICE) {}

    void setDeviceSerial(uint32_t v) { mDeviceSerial = v; }
    uint32_t getDeviceSerial() const { return mDeviceSerial; }
    void setDeviceLabel(const char* v) { mDeviceLabel = v ? v : ""; }
    const char* getDeviceLabel() const { return mDeviceLabel.c_str(); }
    void setVersion(uint32_t v) { mVersion = v; }
    uint32_t getVersion() const { return mVersion; }
    void setDeviceType(uint32_t v) { mDeviceType = v; }
    uint32_t getDeviceType() const { return mDeviceType; }
    void setDeviceStatus(eObjectStatus v) { mDeviceStatus = v; }
    eObjectStatus getDeviceStatus() const { return mDeviceStatus; }
    void setAnalogInCount(uint32_t v) { mAnalogInCount = v; }
    uint32_t getAnalogInCount() const { return mAnalogInCount; }
    void setAnalogOutCount(uint32_t v) { mAnalogOutCount = v; }
    uint32_t getAnalogOutCount() const { return mAnalogOutCount; }
    void setDigitalInCount(uint32_t v) { mDigitalInCount = v; }
    uint32_t getDigitalInCount() const { return mDigitalInCount; }
    void setDigitalOutCount(uint32_t v) { mDigitalOutCount = v; }
    uint32_t getDigitalOutCount() const { return mDigitalOutCount; }

    cObject* clone() const override { return new cObjectDevice(*this); }

protected:
    cObjectDevice(const cObjectDevice&) = default;

private:
    uint32_t mDeviceSerial = 0;
    std::string mDeviceLabel;
    uint32_t mVersion = 0;
    uint32_t mDeviceType = TYPE_UNKNOWN;
    eObjectStatus mDeviceStatus = OBJ_STATUS_ALARM_UNKNOWN;
    uint32_t mAnalogInCount = 0;
    uint32_t mAnalogOutCount = 0;
    uint32_t mDigitalInCount = 0;
    uint32_t mDigitalOutCount = 0;
};

// A bare port (type 1), and the base of the four port kinds.
class cObjectPort : public cObject {
public:
    cObjectPort() : cObject(OBJ_PORT) {}

    void setDeviceSerial(uint32_t v) { mDeviceSerial = v; }
    uint32_t getDeviceSerial() const { return mDeviceSerial; }
    void setPortId(uint32_t v) { mPortId = v; }
    uint32_t getPortId() const { return mPortId; }
    void setPortLabel(const char* v) { mPortLabel = v ? v : ""; }
    const char* getPortLabel() const { return mPortLabel.c_str(); }

    cObject* clone() const override { return new cObjectPort(*this); }

protected:
    explicit cObjectPort(uint32_t type) : cObject(type) {}
    cObjectPort(const cObjectPort&) = default;

private:
    uint32_t mDeviceSerial = 0;
    uint32_t mPortId = 0;
    std::string mPortLabel;
};

class cObjectDInput : public cObjectPort {
public:
    cObjectDInput() : cObjectPort(OBJ_PORT_DIN) {}

    void setInputState(eObjectIOState v) { mInputState = v; }
    eObjectIOState getInputState() const { return mInputState; }

    cObject* clone() const override { return new cObjectDInput(*this); }

protected:
    cObjectDInput(const cObjectDInput&) = default;

private:
    eObjectIOState mInputState = OBJ_IO_STATE_UNKNOWN;
};

class cObjectDOutput : public cObjectPort {
public:
    cObjectDOutput() : cObjectPort(OBJ_PORT_DOUT) {}

    void setOutputState(eObjectIOState v) { mOutputState = v; }
    eObjectIOState getOutputState() const { return mOutputState; }

    cObject* clone() const override { return new cObjectDOutput(*this); }

protected:
    cObjectDOutput(const cObjectDOutput&) = default;

private:
    eObjectIOState mOutputState = OBJ_IO_STATE_UNKNOWN;
};

// Shared attributes of the two analogue port kinds.
class cObjectAnalogPort : public cObjectPort {
public:
    void setDisplayUnit(const char* v) { mDisplayUnit = v ? v : ""; }
    const char* getDisplayUnit() const { return mDisplayUnit.c_str(); }
    void setGain(float v) { mGain = v; }
    float getGain() const { return mGain; }
    void setOffset(float v) { mOffset = v; }
    float getOffset() const { return mOffset; }
    void setSampledValue(float v) { mSampledValue = v; }
    float getSampledValue() const { return mSampledValue; }

protected:
    explicit cObjectAnalogPort(uint32_t type) : cObjectPort(type) {}
    cObjectAnalogPort(const cObjectAnalogPort&) = default;

private:
    std::string mDisplayUnit;
    float mGain = 1.0f;
    float mOffset = 0.0f;
    float mSampledValue = 0.0f;
};

class cObjectAInput : public cObjectAnalogPort {
public:
    cObjectAInput() : cObjectAnalogPort(OBJ_PORT_AIN) {}

    void setSampleRate(uint32_t v) { mSampleRate = v; }
    uint32_t getSampleRate() const { return mSampleRate; }

    cObject* clone() const override { return new cObjectAInput(*this); }

protected:
    cObjectAInput(const cObjectAInput&) = default;

private:
    uint32_t mSampleRate = 0;
};

class cObjectAOutput : public cObjectAnalogPort {
public:
    cObjectAOutput() : cObjectAnalogPort(OBJ_PORT_AOUT) {}

    cObject* clone() const override { return new cObjectAOutput(*this); }

protected:
    cObjectAOutput(const cObjectAOutput&) = default;
};

// One reading of an analogue input, sent as an event.
class cObjectAnalogSample : public cObject {
public:
    cObjectAnalogSample() : cObject(OBJ_ANALOG_SAMPLE) {}

    void setDeviceSerial(uint32_t v) { mDeviceSerial = v; }
    uint32_t getDeviceSerial() const { return mDeviceSerial; }
    void setPortNum(uint32_t v) { mPortNum = v; }
    uint32_t getPortNum() const { return mPortNum; }
    void setSeqNum(uint32_t v) { mSeqNum = v; }
    uint32_t getSeqNum() const { return mSeqNum; }
    void setSample(float v) { mSample = v; }
    float getSample() const { return mSample; }

    cObject* clone() const override { return new cObjectAnalogSample(*this); }

protected:
    cObjectAnalogSample(const cObjectAnalogSample&) = default;

private:
    uint32_t mDeviceSerial = 0;
    uint32_t mPortNum = 0;
    uint32_t mSeqNum = 0;
    float mSample = 0.0f;
};

class cObjectCapability : public cObject {
public:
    cObjectCapability() : cObject(OBJ_CAPABILITY) {}

    void setDeviceSerial(uint32_t v) { mDeviceSerial = v; }
    uint32_t getDeviceSerial() const { return mDeviceSerial; }
    void setCapId(uint32_t v) { mCapId = v; }
    uint32_t getCapId() const { return mCapId; }
    void setLabel(const char* v) { mLabel = v ? v : ""; }
    const char* getLabel() const { return mLabel.c_str(); }
    void setValue(const char* v) { mValue = v ? v : ""; }
    const char* getValue() const { return mValue.c_str(); }

    cObject* clone() const override { return new cObjectCapability(*this); }

protected:
    cObjectCapability(const cObjectCapability&) = default;

private:
    uint32_t mDeviceSerial = 0;
    uint32_t mCapId = 0;
    std::string mLabel;
    std::string mValue;
};
