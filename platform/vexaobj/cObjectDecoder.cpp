// Wire decoder: one line read through the JSON parser, its objects field by field from their
// tables in cObjectFields.h, checking each field's JSON type and range. The whole message is
// rejected on the first fault, so that nothing half-read or defaulted from a missing required
// value ever reaches a handler.
#include <cfloat>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cObject.h"
#include "cObjectCodec.h"
#include "cObjectFields.h"
#include "cObjectList.h"

namespace vexaobj {

namespace {

using json = nlohmann::json;

// Deepest nesting a message needs is 4 (message, objects array, object, field value); deeper
// values can only sit under unknown keys. The bound keeps hostile input from costing memory
// and time in proportion to its nesting.
constexpr int kMaxDepth = 32;

// Thrown inside the decoder only; decodeMessage turns it into a false result and a reason.
struct Reject {
    std::string reason;
};

// Reads the fields of one incoming object, checking each known field's JSON type and range.
class FieldReader {
public:
    FieldReader(const json& obj, size_t index, bool setMessage)
        : mObj(obj), mIndex(index), mSet(setMessage) {}

    // Unsigned 32-bit; -1 stands for the wildcard 4294967295. Absent and optional: 0.
    uint32_t u32(const char* key, Need need) const {
        const json* v = find(key, required(need));
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
    float f32(const char* key, Need need) const {
        const json* v = find(key, required(need));
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
    bool required(Need need) const {
        return need == Need::Required || (need == Need::InSet && mSet);
    }

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
            objects.push_back(readObject(ot->get<uint32_t>(), reader));
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

}  // namespace vexaobj
