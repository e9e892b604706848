// Clients for tests that never touch the network: RecordingClient keeps a copy of every message
// the daemon sends (its type, a clone of each object and its wire line), DiscardingClient only
// counts. Neither calls start(), so no connection and no thread of the client exists.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cObject.h"
#include "cObjectClient.h"
#include "cObjectCodec.h"
#include "cObjectList.h"

class RecordingClient : public cObjectClient {
public:
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

    void send(cObjectList* message) override {
        Message m;
        m.type = message->getMsgType();
        for (int i = 0; i < message->numObjects(); ++i) {
            m.objects.emplace_back(message->at(static_cast<size_t>(i))->clone());
        }
        m.json = vexaobj::encodeMessage(*message);
        std::lock_guard<std::mutex> lock(mMutex);
        mMessages.push_back(std::move(m));
    }

    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mMessages;
    }
    size_t count() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mMessages.size();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mMutex);
        mMessages.clear();
    }

private:
    mutable std::mutex mMutex;
    std::vector<Message> mMessages;
};

class DiscardingClient : public cObjectClient {
public:
    void send(cObjectList* message) override {
        ++messages;
        objects += static_cast<size_t>(message->numObjects());
    }
    size_t messages = 0;
    size_t objects = 0;
};
