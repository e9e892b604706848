// The pending set: the one analogue-output write that the transmit thread sends instead of the
// poll frame until a reply shows it, with how far it got. The receive loop starts it (pick-up)
// and ends it (confirmation); the transmit thread reads it to choose its frame. mSetMutex guards
// every field, and nothing else.
#pragma once

#include <cstdint>
#include <mutex>

class PendingSet {
public:
    // One consistent view of the pending set.
    struct Snapshot {
        bool changeVal_status = false;  // a set is pending
        int changePort = 0;             // its parameter number (analogue output port id)
        uint8_t changeVal = 0;          // its byte
    };
    // What a valid reply did to the pending set.
    enum class Outcome { NotIts, Waiting, Confirmed, GivenUp };

    // Valid replies that may come back without the pending value before the set is given up.
    static constexpr int kSetReplies = 10;

    Snapshot get() const;
    // Makes `port` = `value` the pending set, not yet written; returns the set it displaced
    // (changeVal_status false when there was none).
    Snapshot begin(int port, uint8_t value);
    // For the transmit thread: the set to send, counted as written from now on: a reply that
    // comes later can show whether the controller took it. changeVal_status false: none.
    Snapshot take();
    // A valid reply in which the controller shows `shown` at the pending set's data block
    // index: confirms the set `expected` when it is still the pending one and its frame went
    // out, or gives it up after kSetReplies replies without it.
    Outcome confirm(const Snapshot& expected, uint8_t shown);
    void reset();  // no set pending

private:
    void endLocked();

    mutable std::mutex mSetMutex;
    uint8_t changeVal = 0;          // byte to write; 0 when idle
    int changePort = 0;             // parameter number; 0 when idle
    bool changeVal_status = false;  // true while a set is pending
    bool setWritten = false;        // a set frame carrying the pending value went out
    int setReplies = 0;             // valid replies since then that did not show the value
};
