#include "vexaConsole.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "cObject.h"
#include "cObjectCodec.h"
#include "cObjectFields.h"
#include "cObjectList.h"

namespace vexaconsole {

namespace {

const char* const kMsgTypes[] = {"set", "request", "error", "event", "delete", "reply"};
const char* const kObjTypes[] = {"device", "port",    "din",        "dout",  "ain",
                                 "event",  "msginfo", "sitecfg",    "trend", "sample",
                                 "access", "aout",    "capability", "adhoc", "numtypes"};

// The name of type number `t`, or "<what> <t>" for a number without one.
template <size_t N>
std::string typeName(const char* const (&names)[N], uint64_t t, const char* what) {
    return t < N ? names[t] : what + std::to_string(t);
}

// Appends the " name=value" pairs of one object, each value as the wire writes it: whole numbers
// in decimal with the wildcard as -1, text as a JSON string, floats as the codec's encoder
// writes them.
struct FieldWriter {
    std::string& out;

    void u32(const vexaobj::Key& key, uint32_t v) {
        start(key) += v == cObject::WILDCARD ? "-1" : std::to_string(v);
    }
    void text(const vexaobj::Key& key, const char* v) { vexaobj::appendWireText(v, start(key)); }
    void f32(const vexaobj::Key& key, float v) { vexaobj::appendWireFloat(v, start(key)); }
    // Appends " name=", for the value to follow.
    std::string& start(const vexaobj::Key& key) { return out.append(" ").append(key.name) += '='; }
};

// A whole number: -1 (the wildcard) or 0..4294967295.
bool parseId(const std::string& s, uint32_t& out) {
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -1 || v > 0xFFFFFFFFll)
        return false;
    out = v == -1 ? cObject::WILDCARD : static_cast<uint32_t>(v);
    return true;
}

bool parseValue(const std::string& s, float& out) {
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    float v = std::strtof(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

Command error(const std::string& what) {
    return Command{Command::Error, what};
}

// Encodes a one-object message and frees the object.
Command sendOne(uint8_t msgType, cObject* obj) {
    cObjectList msg;
    msg.setMsgType(msgType);
    msg.add(obj);
    Command c{Command::Send, vexaobj::encodeMessage(msg)};
    msg.deleteObjects();
    return c;
}

// The short commands: each one's words (its name included) and the message it sends.
using Words = std::vector<std::string>;

Command deviceRequest(const Words&) {
    auto* d = new cObjectDevice;
    d->setDeviceSerial(cObject::WILDCARD);
    return sendOne(cObjectList::MSG_REQUEST, d);
}

// A new port object of class `Port` with the id given, on every device.
template <class Port>
Port* newPort(uint32_t id) {
    auto* p = new Port;
    p->setDeviceSerial(cObject::WILDCARD);
    p->setPortId(id);
    return p;
}

// A new port object of the kind named, or null.
cObjectPort* newPort(const std::string& kind, uint32_t id) {
    if (kind == "ain")
        return newPort<cObjectAInput>(id);
    if (kind == "aout")
        return newPort<cObjectAOutput>(id);
    if (kind == "din")
        return newPort<cObjectDInput>(id);
    if (kind == "dout")
        return newPort<cObjectDOutput>(id);
    return nullptr;
}

Command portsRequest(const Words& w) {
    uint32_t id = cObject::WILDCARD;
    if (w.size() == 3 && !parseId(w[2], id))
        return error("bad port id: " + w[2]);
    cObjectPort* p = newPort(w[1], id);
    if (!p)
        return error("ports wants ain, aout, din or dout, not " + w[1]);
    return sendOne(cObjectList::MSG_REQUEST, p);
}

Command capabilitiesRequest(const Words& w) {
    uint32_t id = cObject::WILDCARD;
    if (w.size() == 2 && !parseId(w[1], id))
        return error("bad capability id: " + w[1]);
    auto* c = new cObjectCapability;
    c->setDeviceSerial(cObject::WILDCARD);
    c->setCapId(id);
    return sendOne(cObjectList::MSG_REQUEST, c);
}

Command outputSet(const Words& w) {
    uint32_t id;
    float value;
    if (!parseId(w[1], id))
        return error("bad port id: " + w[1]);
    if (!parseValue(w[2], value))
        return error("bad value: " + w[2]);
    auto* p = newPort<cObjectAOutput>(id);
    p->setSampledValue(value);
    return sendOne(cObjectList::MSG_SET, p);
}

Command rateSet(const Words& w) {
    uint32_t id, rate;
    if (!parseId(w[1], id))
        return error("bad port id: " + w[1]);
    if (!parseId(w[2], rate) || rate == cObject::WILDCARD)
        return error("bad sample rate: " + w[2]);
    auto* p = newPort<cObjectAInput>(id);
    p->setSampleRate(rate);
    return sendOne(cObjectList::MSG_SET, p);
}

struct CommandForm {
    const char* name;
    size_t minWords, maxWords;  // the name included
    Command (*build)(const Words& words);
};
const CommandForm kCommands[] = {
    {"help", 1, 1,
     [](const Words&) {
         return Command{Command::Help, ""};
     }},
    {"quit", 1, 1,
     [](const Words&) {
         return Command{Command::Quit, ""};
     }},
    {"device", 1, 1, deviceRequest},
    {"ports", 2, 3, portsRequest},
    {"caps", 1, 2, capabilitiesRequest},
    {"set", 3, 3, outputSet},
    {"rate", 3, 3, rateSet},
};

}  // namespace

std::string describeMessage(const cObjectList& message) {
    std::string out = typeName(kMsgTypes, message.getMsgType(), "msgType ");
    if (message.numObjects() == 0)
        return out + " | (no objects)";
    for (size_t i = 0; const cObject* obj = message.at(i); ++i) {
        out += " | " + typeName(kObjTypes, obj->getType(), "objType ");
        // The fields of the object's type in the order the wire carries them. An object whose
        // class does not match its type number shows its type only, as it travels.
        FieldWriter w{out};
        vexaobj::writeFields(*obj, w);
    }
    return out;
}

Command parseCommand(const std::string& input) {
    size_t start = input.find_first_not_of(" \t");
    if (start == std::string::npos)
        return Command();
    if (input[start] == '{')
        return Command{Command::Send, input};
    std::istringstream in(input);
    std::vector<std::string> w;
    for (std::string t; in >> t;)
        w.push_back(t);
    for (const CommandForm& form : kCommands) {
        if (!w.empty() && w[0] == form.name && w.size() >= form.minWords &&
            w.size() <= form.maxWords)
            return form.build(w);
    }
    return error("unknown command: " + input.substr(start));
}

const char* helpText() {
    return "commands (ids default to -1, meaning all):\n"
           "  device                   request the device\n"
           "  ports ain|aout|din|dout [id]  request ports of one kind\n"
           "  caps [id]                request capabilities\n"
           "  set <port> <value>       set an analogue output\n"
           "  rate <port> <n>          set an analogue input's sample rate\n"
           "  {...}                    send the line as it stands\n"
           "  help, quit\n";
}

}  // namespace vexaconsole
