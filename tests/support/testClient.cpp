#include "testClient.h"

#include <algorithm>

#include "cObjectCodec.h"

namespace testsupport {

void TestClient::send(cObjectList* message) {
    if (onSend)
        onSend(*message);
    Message m;
    if (mKeep == Keep::Messages) {
        m.type = message->getMsgType();
        for (int i = 0; i < message->numObjects(); ++i)
            m.objects.emplace_back(message->at(static_cast<size_t>(i))->clone());
        m.json = vexaobj::encodeMessage(*message);
    }
    std::lock_guard<std::mutex> lock(mMutex);
    ++mCount;
    for (int i = 0; i < message->numObjects(); ++i) {
        const size_t type = static_cast<size_t>(message->at(static_cast<size_t>(i))->getType());
        ++mObjects[std::min(type, mObjects.size() - 1)];
    }
    if (mKeep == Keep::Messages)
        mMessages.push_back(std::move(m));
}

std::vector<TestClient::Message> TestClient::messages() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mMessages;
}

size_t TestClient::count() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCount;
}

size_t TestClient::count(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (const Message& m : mMessages)
        n += m.json.find(part) != std::string::npos ? 1 : 0;
    return n;
}

size_t TestClient::objects() const {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (size_t o : mObjects)
        n += o;
    return n;
}

size_t TestClient::objects(cObject::eObjectTypes type) const {
    std::lock_guard<std::mutex> lock(mMutex);
    const size_t at = static_cast<size_t>(type);
    return at < mObjects.size() ? mObjects[at] : 0;
}

void TestClient::clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mMessages.clear();
    mCount = 0;
    mObjects.fill(0);
}

}  // namespace testsupport
