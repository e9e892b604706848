// A message: a message type and a list of objects. The list never owns its objects: the
// destructor leaves them alive, deleteObjects() deletes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cObject.h"

class cObjectList {
public:
    // Message type numbers.
    enum eMsgTypes : uint8_t {
        MSG_SET = 0,
        MSG_REQUEST = 1,
        MSG_ERROR = 2,
        MSG_EVENT = 3,
        MSG_DELETE = 4,
        MSG_REPLY = 5
    };

    cObjectList() = default;
    ~cObjectList() = default;
    cObjectList(const cObjectList&) = delete;
    cObjectList& operator=(const cObjectList&) = delete;

    void setMsgType(uint8_t type) { mMsgType = type; }
    uint8_t getMsgType() const { return mMsgType; }

    void add(cObject* object) { mObjects.push_back(object); }
    int numObjects() const { return static_cast<int>(mObjects.size()); }
    // Iteration: first() rewinds, next() moves on; both return null past the end.
    cObject* first() {
        mCursor = 0;
        return current();
    }
    cObject* next() {
        if (mCursor < mObjects.size()) ++mCursor;
        return current();
    }
    cObject* at(size_t i) const { return i < mObjects.size() ? mObjects[i] : nullptr; }

    void deleteObjects() {
        for (cObject* o : mObjects) delete o;
        mObjects.clear();
        mCursor = 0;
    }

private:
    cObject* current() const { return mCursor < mObjects.size() ? mObjects[mCursor] : nullptr; }

    uint8_t mMsgType = MSG_SET;
    std::vector<cObject*> mObjects;
    size_t mCursor = 0;
};
