// Collects the messages logged on one log4cpp category while it lives, at every level, and
// keeps them out of the other appenders (standard error) meanwhile.
#pragma once

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class LogCapture : public log4cpp::AppenderSkeleton {
public:
    struct Line {
        int priority;
        std::string message;
    };

    explicit LogCapture(const std::string& category)
        : log4cpp::AppenderSkeleton("capture-" + category),
          mCategory(log4cpp::Category::getInstance(category)),
          mOldPriority(mCategory.getPriority()),
          mOldAdditivity(mCategory.getAdditivity()) {
        mCategory.setPriority(log4cpp::Priority::DEBUG);
        mCategory.setAdditivity(false);
        mCategory.addAppender(*this);
    }
    ~LogCapture() override {
        mCategory.removeAppender(this);
        mCategory.setAdditivity(mOldAdditivity);
        mCategory.setPriority(mOldPriority);
    }

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLines;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& l : lines())
            out.push_back(l.message);
        return out;
    }
    // Number of messages equal to `text`.
    size_t count(const std::string& text) const {
        auto m = messages();
        return static_cast<size_t>(std::count(m.begin(), m.end(), text));
    }
    bool has(const std::string& text) const { return count(text) > 0; }
    // True when some message contains `part`.
    bool contains(const std::string& part) const {
        for (const auto& m : messages())
            if (m.find(part) != std::string::npos)
                return true;
        return false;
    }
    int priorityOf(const std::string& text) const {
        for (const auto& l : lines())
            if (l.message == text)
                return l.priority;
        return -1;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mMutex);
        mLines.clear();
    }

    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }
    void close() override {}

protected:
    void _append(const log4cpp::LoggingEvent& event) override {
        std::lock_guard<std::mutex> lock(mMutex);
        mLines.push_back({event.priority, event.message});
    }

private:
    log4cpp::Category& mCategory;
    log4cpp::Priority::Value mOldPriority;
    bool mOldAdditivity;
    mutable std::mutex mMutex;
    std::vector<Line> mLines;
};

}  // namespace testsupport
