#include "treeEncoder.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "cObject.h"
#include "cObjectFields.h"
#include "cObjectList.h"

namespace testsupport {

namespace {

using ojson = nlohmann::ordered_json;

// A float as the shortest decimal text that reads back as the same float, carried as a double
// so that the JSON writer prints "27.1" rather than "27.100000381469727". Non-finite values
// have no JSON form; the writer prints them as null.
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

// Writes the fields of the object's type into the tree. An object whose class does not match
// its type number (a bare cObject made with a known number) is written with its type number
// only.
struct TreeFields {
    ojson& o;
    void u32(const vexaobj::Key& key, uint32_t v) { o[key.name] = v; }
    void f32(const vexaobj::Key& key, float v) { o[key.name] = wireFloat(v); }
    void text(const vexaobj::Key& key, const char* v) { o[key.name] = v; }
};

ojson encodeObject(const cObject& obj) {
    ojson o;
    o["objType"] = static_cast<uint32_t>(obj.getType());
    TreeFields fields{o};
    vexaobj::writeFields(obj, fields);
    return o;
}

}  // namespace

std::string encodeMessageTree(cObjectList& message) {
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

}  // namespace testsupport
