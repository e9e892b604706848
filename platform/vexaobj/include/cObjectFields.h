// Each object type's fields, listed once: the wire key, the member (by its accessors) and when a
// received message must carry it. The field's kind follows from the accessors' type: uint32_t
// or a 32-bit enum is a whole number, float a float, const char* text. The codec's writers and
// reader and the console's description all walk these tables, in their order, which is the
// order of the keys on the wire: adding a field is one line here.
#pragma once

#include <cstdint>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cObject.h"

namespace vexaobj {

// When a received object must carry the field. An absent field that may be absent reads as 0,
// 0.0 or empty text; text is never required.
enum class Need { Optional, Required, InSet /* required in a set message */ };

// A field's key: its name, and the text the direct writer puts before its value.
struct Key {
    const char* name;
    char wire[24];      // ,"name": and zeros: names are at most 19 characters long
    size_t wireLength;  // of ,"name":
};

constexpr Key makeKey(const char* name) {
    Key k{name, {}, 0};
    k.wire[k.wireLength++] = ',';
    k.wire[k.wireLength++] = '"';
    for (const char* p = name; *p; ++p)
        k.wire[k.wireLength++] = *p;
    k.wire[k.wireLength++] = '"';
    k.wire[k.wireLength++] = ':';
    return k;
}

template <class C, class V>
struct Field {
    Key key;
    V (C::*get)() const;
    void (C::*set)(V);
    Need need;
};

template <class C, class V>
constexpr Field<C, V> field(const char* name, V (C::*get)() const, void (C::*set)(V),
                            Need need = Need::Optional) {
    return {makeKey(name), get, set, need};
}

// clang-format off
inline constexpr auto kDeviceFields = std::make_tuple(
    field("deviceSerial",    &cObjectDevice::getDeviceSerial,    &cObjectDevice::setDeviceSerial, Need::Required),
    field("deviceLabel",     &cObjectDevice::getDeviceLabel,     &cObjectDevice::setDeviceLabel),
    field("version",         &cObjectDevice::getVersion,         &cObjectDevice::setVersion),
    field("deviceType",      &cObjectDevice::getDeviceType,      &cObjectDevice::setDeviceType),
    field("deviceStatus",    &cObjectDevice::getDeviceStatus,    &cObjectDevice::setDeviceStatus),
    field("analogInCount",   &cObjectDevice::getAnalogInCount,   &cObjectDevice::setAnalogInCount),
    field("analogOutCount",  &cObjectDevice::getAnalogOutCount,  &cObjectDevice::setAnalogOutCount),
    field("digitalInCount",  &cObjectDevice::getDigitalInCount,  &cObjectDevice::setDigitalInCount),
    field("digitalOutCount", &cObjectDevice::getDigitalOutCount, &cObjectDevice::setDigitalOutCount));

inline constexpr auto kPortFields = std::make_tuple(
    field("deviceSerial", &cObjectPort::getDeviceSerial, &cObjectPort::setDeviceSerial, Need::Required),
    field("portId",       &cObjectPort::getPortId,       &cObjectPort::setPortId,       Need::Required),
    field("portLabel",    &cObjectPort::getPortLabel,    &cObjectPort::setPortLabel));

inline constexpr auto kDInputFields = std::tuple_cat(kPortFields, std::make_tuple(
    field("inputState", &cObjectDInput::getInputState, &cObjectDInput::setInputState)));

inline constexpr auto kDOutputFields = std::tuple_cat(kPortFields, std::make_tuple(
    field("outputState", &cObjectDOutput::getOutputState, &cObjectDOutput::setOutputState, Need::InSet)));

inline constexpr auto kAnalogPortFields = std::tuple_cat(kPortFields, std::make_tuple(
    field("displayUnit", &cObjectAnalogPort::getDisplayUnit, &cObjectAnalogPort::setDisplayUnit),
    field("gain",        &cObjectAnalogPort::getGain,        &cObjectAnalogPort::setGain),
    field("offset",      &cObjectAnalogPort::getOffset,      &cObjectAnalogPort::setOffset)));

inline constexpr auto kAInputFields = std::tuple_cat(kAnalogPortFields, std::make_tuple(
    field("sampleRate",   &cObjectAInput::getSampleRate,         &cObjectAInput::setSampleRate, Need::InSet),
    field("sampledValue", &cObjectAnalogPort::getSampledValue,   &cObjectAnalogPort::setSampledValue)));

inline constexpr auto kAOutputFields = std::tuple_cat(kAnalogPortFields, std::make_tuple(
    field("sampledValue", &cObjectAnalogPort::getSampledValue, &cObjectAnalogPort::setSampledValue, Need::InSet)));

inline constexpr auto kSampleFields = std::make_tuple(
    field("deviceSerial", &cObjectAnalogSample::getDeviceSerial, &cObjectAnalogSample::setDeviceSerial, Need::Required),
    field("portNum",      &cObjectAnalogSample::getPortNum,      &cObjectAnalogSample::setPortNum,      Need::Required),
    field("seqNum",       &cObjectAnalogSample::getSeqNum,       &cObjectAnalogSample::setSeqNum),
    field("sample",       &cObjectAnalogSample::getSample,       &cObjectAnalogSample::setSample));

inline constexpr auto kCapabilityFields = std::make_tuple(
    field("deviceSerial", &cObjectCapability::getDeviceSerial, &cObjectCapability::setDeviceSerial, Need::Required),
    field("capId",        &cObjectCapability::getCapId,        &cObjectCapability::setCapId,        Need::Required),
    field("label",        &cObjectCapability::getLabel,        &cObjectCapability::setLabel),
    field("value",        &cObjectCapability::getValue,        &cObjectCapability::setValue));
inline constexpr std::tuple<> kNoFields{};

// A table named as a type, so that its fields are constants where it is walked: the accessors
// are called directly, as if the fields were written out.
template <const auto& Table>
struct Fields {};

// Calls fn(C* tag, Fields<table>) with a null pointer of the class of the type number and its
// table. Types without a class of their own are plain cObjects with no fields: they travel with
// their number only.
template <class Fn>
decltype(auto) withType(uint32_t type, Fn&& fn) {
    switch (type) {
        case cObject::OBJ_DEVICE: return fn(static_cast<cObjectDevice*>(nullptr), Fields<kDeviceFields>());
        case cObject::OBJ_PORT: return fn(static_cast<cObjectPort*>(nullptr), Fields<kPortFields>());
        case cObject::OBJ_PORT_DIN: return fn(static_cast<cObjectDInput*>(nullptr), Fields<kDInputFields>());
        case cObject::OBJ_PORT_DOUT: return fn(static_cast<cObjectDOutput*>(nullptr), Fields<kDOutputFields>());
        case cObject::OBJ_PORT_AIN: return fn(static_cast<cObjectAInput*>(nullptr), Fields<kAInputFields>());
        case cObject::OBJ_PORT_AOUT: return fn(static_cast<cObjectAOutput*>(nullptr), Fields<kAOutputFields>());
        case cObject::OBJ_ANALOG_SAMPLE: return fn(static_cast<cObjectAnalogSample*>(nullptr), Fields<kSampleFields>());
        case cObject::OBJ_CAPABILITY: return fn(static_cast<cObjectCapability*>(nullptr), Fields<kCapabilityFields>());
        default: return fn(static_cast<cObject*>(nullptr), Fields<kNoFields>());
    }
}
// clang-format on

// One field of a table as a type: `field` is a constant.
template <const auto& Table, size_t I>
struct FieldAt {
    static constexpr auto field = std::get<I>(Table);
};

template <const auto& Table, class Fn, size_t... I>
void forEachField(Fields<Table>, Fn&& fn, std::index_sequence<I...>) {
    (fn(FieldAt<Table, I>()), ...);
}

// Calls fn(FieldAt<Table, i>()) for each field of the table in order.
template <const auto& Table, class Fn>
void forEachField(Fields<Table> table, Fn&& fn) {
    constexpr size_t n = std::tuple_size_v<std::decay_t<decltype(Table)>>;
    forEachField(table, fn, std::make_index_sequence<n>());
}

// Hands every field of the object's type to `out` in wire order: out.u32(key, v),
// out.f32(key, v) or out.text(key, v) with the field's Key, an enum as its number. Nothing is
// handed when the object is not of its type's class (a bare cObject made with a known type
// number): it travels with its type number only.
template <class Out>
void writeFields(const cObject& obj, Out& out) {
    withType(obj.getType(), [&](auto* tag, auto table) {
        const auto* o = dynamic_cast<const std::remove_pointer_t<decltype(tag)>*>(&obj);
        if (!o)
            return;
        forEachField(table, [&](auto at) {
            constexpr const auto& f = decltype(at)::field;
            const auto v = (o->*f.get)();
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, const char*>)
                out.text(f.key, v);
            else if constexpr (std::is_same_v<V, float>)
                out.f32(f.key, v);
            else
                out.u32(f.key, static_cast<uint32_t>(v));
        });
    });
}

// A new object of the type number's class with every field taken from `in`: in.u32(name, need),
// in.f32(name, need) or in.text(name) (which returns a std::string).
template <class In>
std::unique_ptr<cObject> readObject(uint32_t type, const In& in) {
    return withType(type, [&](auto* tag, auto table) -> std::unique_ptr<cObject> {
        using C = std::remove_pointer_t<decltype(tag)>;
        if constexpr (std::is_same_v<C, cObject>) {
            return std::make_unique<cObject>(type);
        } else {
            auto o = std::make_unique<C>();
            C* p = o.get();
            forEachField(table, [&](auto at) {
                constexpr const auto& f = decltype(at)::field;
                using V = std::decay_t<decltype((p->*f.get)())>;
                if constexpr (std::is_same_v<V, const char*>)
                    (p->*f.set)(in.text(f.key.name).c_str());
                else if constexpr (std::is_same_v<V, float>)
                    (p->*f.set)(in.f32(f.key.name, f.need));
                else
                    (p->*f.set)(static_cast<V>(in.u32(f.key.name, f.need)));
            });
            return o;
        }
    });
}

}  // namespace vexaobj
