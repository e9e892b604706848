// The one log capture of the tests, fuzz targets and benchmarks: a log4cpp appender that keeps
// what one category (or every category) logs, or only counts it, and keeps it off the other
// appenders (standard error) while it lives.
#pragma once

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <cstdint>
#include <map>
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
    enum class Keep {
        Lines,   // every record, in order, and the counts
        Counts,  // the number of records per message only: for long runs
    };

    // Captures `category` at every level; it logs to nothing else meanwhile. The category's
    // level and additivity are restored on destruction.
    explicit LogCapture(const std::string& category, Keep keep = Keep::Lines);
    // Captures every category at `priority` and above, as the root's only appender. The root's
    // other appenders are gone for good (log4cpp owns and deletes them).
    static LogCapture* everything(log4cpp::Priority::Value priority, Keep keep);
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const;
    std::vector<std::string> messages() const;
    size_t count(const std::string& message) const;         // records equal to `message`
    size_t countStarting(const std::string& prefix) const;  // records that start with it
    bool has(const std::string& message) const { return count(message) > 0; }
    size_t countContaining(const std::string& part) const;  // records that contain `part`
    bool contains(const std::string& part) const { return countContaining(part) > 0; }
    int priorityOf(const std::string& message) const;  // of the first such record; -1
    void clear();

    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }
    void close() override {}
    bool reopen() override { return true; }

protected:
    void _append(const log4cpp::LoggingEvent& event) override;

private:
    struct Root {};
    LogCapture(Root, log4cpp::Priority::Value priority, Keep keep);

    log4cpp::Category& mCategory;
    const Keep mKeep;
    const bool mRoot;
    log4cpp::Priority::Value mOldPriority;
    bool mOldAdditivity;
    mutable std::mutex mMutex;
    std::vector<Line> mLines;
    std::map<std::string, std::pair<uint64_t, int>> mCounts;  // message -> count, priority
};

// Every category logs at `priority` into an appender that formats nothing and keeps nothing:
// the daemon's logging cost up to the appender, without a terminal or a file. For fuzz targets
// and benchmarks; libxml2's parser messages are dropped too.
void discardLogs(log4cpp::Priority::Value priority);

}  // namespace testsupport
