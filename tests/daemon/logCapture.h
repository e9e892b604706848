// Collects the records of one log4cpp category while a test runs: debug enabled, the lines kept
// in memory and kept off standard error. Restores the category on destruction.
#pragma once

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "cQlog.h"

class LogCapture {
public:
    struct Record {
        int priority;
        std::string message;
    };

    explicit LogCapture(const char* category)
        : mCategory(cQlog::getLog(category)),
          mAppender(this),
          mOldPriority(mCategory.getPriority()),
          mOldAdditivity(mCategory.getAdditivity()) {
        mCategory.addAppender(mAppender);  // by reference: log4cpp does not own it
        mCategory.setPriority(log4cpp::Priority::DEBUG);
        mCategory.setAdditivity(false);
    }
    ~LogCapture() {
        mCategory.removeAppender(&mAppender);
        mCategory.setPriority(mOldPriority);
        mCategory.setAdditivity(mOldAdditivity);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Record> records() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mRecords;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const Record& r : records())
            out.push_back(r.message);
        return out;
    }
    size_t countOf(const std::string& message) const {
        auto all = messages();
        return static_cast<size_t>(std::count(all.begin(), all.end(), message));
    }
    bool contains(const std::string& message) const { return countOf(message) > 0; }
    void clear() {
        std::lock_guard<std::mutex> lock(mMutex);
        mRecords.clear();
    }

private:
    class Appender : public log4cpp::AppenderSkeleton {
    public:
        explicit Appender(LogCapture* owner)
            : log4cpp::AppenderSkeleton("test-capture"), mOwner(owner) {}
        bool requiresLayout() const override { return false; }
        void setLayout(log4cpp::Layout* layout) override { delete layout; }
        void close() override {}
        bool reopen() override { return true; }

    protected:
        void _append(const log4cpp::LoggingEvent& event) override {
            std::lock_guard<std::mutex> lock(mOwner->mMutex);
            mOwner->mRecords.push_back({event.priority, event.message});
        }

    private:
        LogCapture* mOwner;
    };

    log4cpp::Category& mCategory;
    Appender mAppender;
    log4cpp::Priority::Value mOldPriority;
    bool mOldAdditivity;
    mutable std::mutex mMutex;
    std::vector<Record> mRecords;
};
