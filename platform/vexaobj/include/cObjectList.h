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
    cObjectList(const cObjectList&) = delete;
    cObjectList& operator=(const cObjectList&) = delete;

    void setMsgType(uint8_t type) { mMsgType = type; }
    uint8_t getMsgType() const { return mMsgType; }

    void add(cObject* object) {
        if (mCount < kInline)
            mInline[mCount] = object;
        else
            mMore.push_back(object);
        ++mCount;
    }
    int numObjects() const { return static_cast<int>(mCount); }
    // Iteration: first() rewinds, next() moves on; both return null past the end.
    cObject* first() {
        mCursor = 0;
        return at(mCursor);
    }
    cObject* next() {
        if (mCursor < mCount)
            ++mCursor;
        return at(mCursor);
    }
    cObject* at(size_t i) const {
        if (i >= mCount)
            return nullptr;
        return i < kInline ? mInline[i] : mMore[i - kInline];
    }

    void deleteObjects() {
        for (size_t i = 0; i < mCount; ++i)
            delete at(i);
        mMore.clear();
        mCount = 0;
        mCursor = 0;
    }

private:
    // Most messages carry one object (a sample event, a status event, one port): those need no
    // allocation. Longer lists go on in mMore.
    static constexpr size_t kInline = 4;

    uint8_t mMsgType = MSG_SET;
    cObject* mInline[kInline] = {};
    std::vector<cObject*> mMore;  // objects from the fifth on
    size_t mCount = 0;
    size_t mCursor = 0;
};
