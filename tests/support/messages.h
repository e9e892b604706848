// Messages for the tests to build and to look at, each owning its objects, which go with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "cObjectCodec.h"
#include "cObjectList.h"

namespace testsupport {

// A message built by a test.
class Message : public cObjectList {
public:
    explicit Message(uint8_t type = MSG_SET, std::initializer_list<cObject*> objects = {}) {
        setMsgType(type);
        for (cObject* o : objects)
            add(o);
    }
    ~Message() { deleteObjects(); }
};

// A wire line read back into objects.

class Decoded {
public:
    explicit Decoded(const std::string& line) : ok(vexaobj::decodeMessage(line, list, reason)) {}
    ~Decoded() { list.deleteObjects(); }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;

    // The object at `i` viewed as its class; null when it is of another class or absent.
    template <class T>
    T* as(size_t i) const {
        return dynamic_cast<T*>(list.at(i));
    }

    cObjectList list;    // empty when the line was rejected
    std::string reason;  // why it was rejected
    const bool ok;       // the line was accepted
};

}  // namespace testsupport
