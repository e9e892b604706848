// Wire codec: a message is one JSON object on one line,
//   {"msgType": <0..255>, "objects": [{"objType": <n>, <fields>...}, ...]}
// Field names are the accessor names without get/set, first letter lower case. The encoder
// writes every field of an object's type; the decoder checks types and ranges field by field
// and rejects the whole message on the first fault, so that nothing half-read or defaulted
// from a missing required value ever reaches a handler.
#include "cObjectCodec.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "cObject.h"
#include "cObjectList.h"

namespace vexaobj {

namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

// Deepest nesting a message needs is 4 (message, objects array, object, field value); deeper
// values can only sit under unknown keys. The bound keeps hostile input from costing memory
// and time in proportion to its nesting.
constexpr int kMaxDepth = 32;

// ---------------------------------------------------------------------------------------------
// Encoding

// A float as the shortest decimal text that reads back as the same float, carried as a double
// so that the JSON writer prints "27.1" rather than "27.100000381469727". Non-finite values
// have no JSON form; the writer prints them as null, which every receiver rejects.
double wireFloat(float f) {
    if (!std::isfinite(f))
        return static_cast<double>(f);
    char buf[32];
    for (int prec = 6; prec <= 9; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*g", prec, static_cast<double>(f));
        if (std::strtof(buf, nullptr) == f)
            break;
    }
    return std::strtod(buf, nullptr);
}

void encodePort(const cObjectPort& p, ojson& o) {
    o["deviceSerial"] = p.getDeviceSerial();
    o["portId"] = p.getPortId();
    o["portLabel"] = p.getPortLabel();
}

void encodeAnalogPort(const cObjectAnalogPort& p, ojson& o) {
    encodePort(p, o);
    o["displayUnit"] = p.getDisplayUnit();
    o["gain"] = wireFloat(p.getGain());
    o["offset"] = wireFloat(p.getOffset());
}

// Writes the fields of the object's type. An object whose class does not match its type
// number (a bare cObject made with a known number) is written with its type number only.
ojson encodeObject(const cObject& obj) {
    ojson o;
    o["objType"] = static_cast<uint32_t>(obj.getType());
    switch (obj.getType()) {
        case cObject::OBJ_DEVICE:
            if (auto* d = dynamic_cast<const cObjectDevice*>(&obj)) {
                o["deviceSerial"] = d->getDeviceSerial();
                o["deviceLabel"] = d->getDeviceLabel();
                o["version"] = d->getVersion();
                o["deviceType"] = d->getDeviceType();
                o["deviceStatus"] = static_cast<uint32_t>(d->getDeviceStatus());
                o["analogInCount"] = d->getAnalogInCount();
                o["analogOutCount"] = d->getAnalogOutCount();
                o["digitalInCount"] = d->getDigitalInCount();
                o["digitalOutCount"] = d->getDigitalOutCount();
            }
            break;
        case cObject::OBJ_PORT:
            if (auto* p = dynamic_cast<const cObjectPort*>(&obj))
                encodePort(*p, o);
            break;
        case cObject::OBJ_PORT_DIN:
            if (auto* p = dynamic_cast<const cObjectDInput*>(&obj)) {
                encodePort(*p, o);
                o["inputState"] = static_cast<uint32_t>(p->getInputState());
            }
            break;
        case cObject::OBJ_PORT_DOUT:
            if (auto* p = dynamic_cast<const cObjectDOutput*>(&obj)) {
                encodePort(*p, o);
                o["outputState"] = static_cast<uint32_t>(p->getOutputState());
            }
            break;
        case cObject::OBJ_PORT_AIN:
            if (auto* p = dynamic_cast<const cObjectAInput*>(&obj)) {
                encodeAnalogPort(*p, o);
                o["sampleRate"] = p->getSampleRate();
                o["sampledValue"] = wireFloat(p->getSampledValue());
            }
            break;
        case cObject::OBJ_PORT_AOUT:
            if (auto* p = dynamic_cast<const cObjectAOutput*>(&obj)) {
                encodeAnalogPort(*p, o);
                o["sampledValue"] = wireFloat(p->getSampledValue());
            }
            break;
        case cObject::OBJ_ANALOG_SAMPLE:
            if (auto* s = dynamic_cast<const cObjectAnalogSample*>(&obj)) {
                o["deviceSerial"] = s->getDeviceSerial();
                o["portNum"] = s->getPortNum();
                o["seqNum"] = s->getSeqNum();
                o["sample"] = wireFloat(s->getSample());
            }
            break;
        case cObject::OBJ_CAPABILITY:
            if (auto* c = dynamic_cast<const cObjectCapability*>(&obj)) {
                o["deviceSerial"] = c->getDeviceSerial();
                o["capId"] = c->getCapId();
                o["label"] = c->getLabel();
                o["value"] = c->getValue();
            }
            break;
        default:
            break;
    }
    return o;
}

// ---------------------------------------------------------------------------------------------
// Decoding

// Thrown inside the decoder only; decodeMessage turns it into a false result and a reason.
struct Reject {
    std::string reason;
};

// Reads the fields of one incoming object, checking each known field's JSON type and range.
class FieldReader {
public:
    FieldReader(const json& obj, size_t index, bool setMessage)
        : mObj(obj), mIndex(index), mSet(setMessage) {}

    bool isSet() const { return mSet; }

    // Unsigned 32-bit; -1 stands for the wildcard 4294967295. Absent and optional: 0.
    uint32_t u32(const char* key, bool required) const {
        const json* v = find(key, required);
        if (!v)
            return 0;
        if (!v->is_number_integer())
            fail(key, "is not an integer");
        if (v->is_number_unsigned()) {
            uint64_t u = v->get<uint64_t>();
            if (u > 0xFFFFFFFFull)
                fail(key, "is out of range");
            return static_cast<uint32_t>(u);
        }
        int64_t s = v->get<int64_t>();
        if (s == -1)
            return cObject::WILDCARD;
        if (s < 0 || s > 0xFFFFFFFFll)
            fail(key, "is out of range");
        return static_cast<uint32_t>(s);
    }

    // A JSON number (integers accepted) that fits a finite float. Absent and optional: 0.
    float f32(const char* key, bool required) const {
        const json* v = find(key, required);
        if (!v)
            return 0.0f;
        if (!v->is_number())
            fail(key, "is not a number");
        double d = v->get<double>();
        // Anything below FLT_MAX plus half its unit in the last place rounds to a finite float
        // (the shortest text of FLT_MAX itself reads back a little above FLT_MAX).
        const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
        if (!std::isfinite(d) || std::fabs(d) >= limit)
            fail(key, "is out of range");
        return static_cast<float>(d);
    }

    // Text; never required. Absent: empty.
    std::string text(const char* key) const {
        const json* v = find(key, false);
        if (!v)
            return std::string();
        if (!v->is_string())
            fail(key, "is not a string");
        return v->get<std::string>();
    }

private:
    const json* find(const char* key, bool required) const {
        auto it = mObj.find(key);
        if (it == mObj.end()) {
            if (required)
                fail(key, "is missing");
            return nullptr;
        }
        return &*it;
    }

    [[noreturn]] void fail(const char* key, const char* what) const {
        throw Reject{"objects[" + std::to_string(mIndex) + "]: field \"" + key + "\" " + what};
    }

    const json& mObj;
    size_t mIndex;
    bool mSet;
};

void decodePort(const FieldReader& r, cObjectPort& p) {
    p.setDeviceSerial(r.u32("deviceSerial", true));
    p.setPortId(r.u32("portId", true));
    p.setPortLabel(r.text("portLabel").c_str());
}

void decodeAnalogPort(const FieldReader& r, cObjectAnalogPort& p) {
    decodePort(r, p);
    p.setDisplayUnit(r.text("displayUnit").c_str());
    p.setGain(r.f32("gain", false));
    p.setOffset(r.f32("offset", false));
}

std::unique_ptr<cObject> decodeObject(const FieldReader& r, uint32_t type) {
    switch (type) {
        case cObject::OBJ_DEVICE: {
            auto d = std::make_unique<cObjectDevice>();
            d->setDeviceSerial(r.u32("deviceSerial", true));
            d->setDeviceLabel(r.text("deviceLabel").c_str());
            d->setVersion(r.u32("version", false));
            d->setDeviceType(r.u32("deviceType", false));
            d->setDeviceStatus(static_cast<cObject::eObjectStatus>(r.u32("deviceStatus", false)));
            d->setAnalogInCount(r.u32("analogInCount", false));
            d->setAnalogOutCount(r.u32("analogOutCount", false));
            d->setDigitalInCount(r.u32("digitalInCount", false));
            d->setDigitalOutCount(r.u32("digitalOutCount", false));
            return d;
        }
        case cObject::OBJ_PORT: {
            auto p = std::make_unique<cObjectPort>();
            decodePort(r, *p);
            return p;
        }
        case cObject::OBJ_PORT_DIN: {
            auto p = std::make_unique<cObjectDInput>();
            decodePort(r, *p);
            p->setInputState(static_cast<cObject::eObjectIOState>(r.u32("inputState", false)));
            return p;
        }
        case cObject::OBJ_PORT_DOUT: {
            auto p = std::make_unique<cObjectDOutput>();
            decodePort(r, *p);
            p->setOutputState(
                static_cast<cObject::eObjectIOState>(r.u32("outputState", r.isSet())));
            return p;
        }
        case cObject::OBJ_PORT_AIN: {
            auto p = std::make_unique<cObjectAInput>();
            decodeAnalogPort(r, *p);
            p->setSampleRate(r.u32("sampleRate", r.isSet()));
            p->setSampledValue(r.f32("sampledValue", false));
            return p;
        }
        case cObject::OBJ_PORT_AOUT: {
            auto p = std::make_unique<cObjectAOutput>();
            decodeAnalogPort(r, *p);
            p->setSampledValue(r.f32("sampledValue", r.isSet()));
            return p;
        }
        case cObject::OBJ_ANALOG_SAMPLE: {
            auto s = std::make_unique<cObjectAnalogSample>();
            s->setDeviceSerial(r.u32("deviceSerial", true));
            s->setPortNum(r.u32("portNum", true));
            s->setSeqNum(r.u32("seqNum", false));
            s->setSample(r.f32("sample", false));
            return s;
        }
        case cObject::OBJ_CAPABILITY: {
            auto c = std::make_unique<cObjectCapability>();
            c->setDeviceSerial(r.u32("deviceSerial", true));
            c->setCapId(r.u32("capId", true));
            c->setLabel(r.text("label").c_str());
            c->setValue(r.text("value").c_str());
            return c;
        }
        default:
            // Types without a class of their own travel with their number only.
            return std::make_unique<cObject>(type);
    }
}

json parseLine(const std::string& line) {
    bool tooDeep = false;
    json::parser_callback_t limitDepth = [&tooDeep](int depth, json::parse_event_t, json&) {
        if (depth > kMaxDepth) {
            tooDeep = true;
            return false;
        }
        return true;
    };
    json j;
    try {
        j = json::parse(line, limitDepth);
    } catch (const json::parse_error& e) {
        throw Reject{std::string("not JSON: ") + e.what()};
    }
    if (tooDeep)
        throw Reject{"nested deeper than " + std::to_string(kMaxDepth) + " levels"};
    return j;
}

}  // namespace

std::string encodeMessage(cObjectList& message) {
    ojson msg;
    msg["msgType"] = static_cast<unsigned>(message.getMsgType());
    ojson objects = ojson::array();
    for (size_t i = 0; cObject* obj = message.at(i); ++i)
        objects.push_back(encodeObject(*obj));
    msg["objects"] = std::move(objects);
    // Text that is not valid UTF-8 is written with U+FFFD in place of the bad bytes: the line
    // stays valid JSON and the rest of the message gets through.
    return msg.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

bool decodeMessage(const std::string& line, cObjectList& out, std::string& reason) {
    std::vector<std::unique_ptr<cObject>> objects;
    uint8_t msgType = 0;
    try {
        json j = parseLine(line);
        if (!j.is_object())
            throw Reject{"not a JSON object"};

        auto mt = j.find("msgType");
        if (mt == j.end())
            throw Reject{"\"msgType\" is missing"};
        if (!mt->is_number_integer())
            throw Reject{"\"msgType\" is not an integer"};
        if (mt->is_number_unsigned() ? mt->get<uint64_t>() > 255 : mt->get<int64_t>() < 0) {
            throw Reject{"\"msgType\" is out of range 0..255"};
        }
        msgType = static_cast<uint8_t>(mt->get<int64_t>());

        auto objs = j.find("objects");
        if (objs == j.end())
            throw Reject{"\"objects\" is missing"};
        if (!objs->is_array())
            throw Reject{"\"objects\" is not an array"};

        size_t index = 0;
        for (const json& o : *objs) {
            std::string where = "objects[" + std::to_string(index) + "]";
            if (!o.is_object())
                throw Reject{where + " is not an object"};
            auto ot = o.find("objType");
            if (ot == o.end())
                throw Reject{where + ": field \"objType\" is missing"};
            if (!ot->is_number_integer()) {
                throw Reject{where + ": field \"objType\" is not an integer"};
            }
            if (!ot->is_number_unsigned() || ot->get<uint64_t>() > 0xFFFFFFFFull) {
                throw Reject{where + ": field \"objType\" is out of range"};
            }
            FieldReader reader(o, index, msgType == cObjectList::MSG_SET);
            objects.push_back(decodeObject(reader, ot->get<uint32_t>()));
            ++index;
        }
    } catch (const Reject& r) {
        reason = r.reason;
        return false;
    } catch (const std::exception& e) {
        reason = std::string("cannot decode: ") + e.what();
        return false;
    }
    out.setMsgType(msgType);
    for (auto& o : objects)
        out.add(o.release());
    return true;
}

std::string printableExcerpt(const std::string& line, size_t limit) {
    std::string out;
    size_t n = line.size() < limit ? line.size() : limit;
    out.reserve(n + 8);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    if (line.size() > limit)
        out += "...";
    return out;
}

void LineFramer::feed(const char* data, size_t n, std::vector<Line>& out) {
    // Content of a line may take kMaxLineBytes - 1 bytes; its newline makes kMaxLineBytes.
    const size_t maxContent = kMaxLineBytes - 1;
    size_t pos = 0;
    while (pos < n) {
        const char* nl = static_cast<const char*>(memchr(data + pos, '\n', n - pos));
        size_t end = nl ? static_cast<size_t>(nl - data) : n;
        if (!mDiscarding) {
            size_t room = maxContent - mPartial.size();
            size_t take = end - pos;
            if (take > room) {
                // Over the limit: report it now with its first bytes, skip to the newline.
                mPartial.append(data + pos, room < 256 ? room : 256);
                Line l;
                l.text = mPartial.substr(0, 256);
                l.overlong = true;
                out.push_back(std::move(l));
                mPartial.clear();
                mDiscarding = true;
            } else {
                mPartial.append(data + pos, take);
            }
        }
        if (!nl)
            break;
        if (mDiscarding) {
            mDiscarding = false;
        } else {
            Line l;
            l.text.swap(mPartial);
            if (!l.text.empty() && l.text.back() == '\r')
                l.text.pop_back();
            out.push_back(std::move(l));
        }
        mPartial.clear();
        pos = end + 1;
    }
}

void LineFramer::reset() {
    mPartial.clear();
    mDiscarding = false;
}

}  // namespace vexaobj
