#include "pendingSet.h"

PendingSet::Snapshot PendingSet::get() const {
    std::lock_guard<std::mutex> lock(mSetMutex);
    return Snapshot{changeVal_status, changePort, changeVal};
}

PendingSet::Snapshot PendingSet::begin(int port, uint8_t value) {
    std::lock_guard<std::mutex> lock(mSetMutex);
    const Snapshot displaced{changeVal_status, changePort, changeVal};
    changePort = port;
    changeVal = value;
    changeVal_status = true;
    setWritten = false;
    setReplies = 0;
    return displaced;
}

PendingSet::Snapshot PendingSet::take() {
    std::lock_guard<std::mutex> lock(mSetMutex);
    if (changeVal_status)
        setWritten = true;  // the frame that carries it goes out next
    return Snapshot{changeVal_status, changePort, changeVal};
}

PendingSet::Outcome PendingSet::confirm(const Snapshot& expected, uint8_t shown) {
    std::lock_guard<std::mutex> lock(mSetMutex);
    // A reply to an older frame shows the controller as it was before this set went out.
    if (!changeVal_status || changePort != expected.changePort || changeVal != expected.changeVal ||
        !setWritten)
        return Outcome::NotIts;
    if (shown == changeVal) {
        endLocked();
        return Outcome::Confirmed;
    }
    if (++setReplies >= kSetReplies) {
        endLocked();
        return Outcome::GivenUp;
    }
    return Outcome::Waiting;
}

void PendingSet::reset() {
    std::lock_guard<std::mutex> lock(mSetMutex);
    endLocked();
}

void PendingSet::endLocked() {
    changeVal_status = false;
    changeVal = 0;
    changePort = 0;
    setWritten = false;
    setReplies = 0;
}
