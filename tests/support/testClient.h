// The one stand-in for the messaging client in tests, fuzz targets and benchmarks. It is never
// started, so no connection and no thread of the client exists; send() keeps what the test
// asks for: every message (its type, a clone of each object as it was when sent, and the line
// it would be on the wire), or only the number of messages and objects.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cObject.h"
#include "cObjectClient.h"
#include "cObjectList.h"

namespace testsupport {

class TestClient : public cObjectClient {
public:
    enum class Keep {
        Messages,  // every message, encoded as the real client does before queueing it
        Counts,    // how many messages and objects of each type, nothing encoded
    };

    struct Message {
        uint8_t type = 0;
        std::vector<std::shared_ptr<cObject>> objects;  // clones, as they were when sent
        std::string json;                               // the message as it goes on the wire

        size_t size() const { return objects.size(); }
        // The object at `i` viewed as its class; null when it is of another class.
        template <class T>
        const T* as(size_t i) const {
            return i < objects.size() ? dynamic_cast<const T*>(objects[i].get()) : nullptr;
        }
    };

    explicit TestClient(Keep keep = Keep::Messages) : mKeep(keep) {}

    void send(cObjectList* message) override;

    // Runs first in every send(), on the sender's thread and outside the client's lock: a test
    // may check the message there, or hold the sender.
    std::function<void(cObjectList&)> onSend;

    std::vector<Message> messages() const;        // empty with Keep::Counts
    size_t count() const;                         // messages sent
    size_t count(const std::string& part) const;  // kept messages whose wire line holds `part`
    size_t objects() const;                       // objects sent
    size_t objects(cObject::eObjectTypes type) const;
    void clear();

private:
    const Keep mKeep;
    mutable std::mutex mMutex;
    std::vector<Message> mMessages;
    size_t mCount = 0;
    // Objects sent by type, the last for a type out of range. Counting allocates nothing, so
    // that tests may count the allocations of the code that sends.
    std::array<size_t, cObject::OBJ_NUM_OBJECT_TYPES + 1> mObjects{};
};

}  // namespace testsupport
