// Logging for the benchmarks as in production: root priority INFO, and every line that passes is
// formatted and handed to an appender that writes nothing, so the figures include the cost of
// the info lines but not of a terminal or a disk.
#pragma once

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "cQlog.h"

namespace benchlogging {

class NullAppender : public log4cpp::AppenderSkeleton {
public:
    NullAppender() : log4cpp::AppenderSkeleton("bench-null") {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }
    void close() override {}
    bool reopen() override { return true; }

protected:
    void _append(const log4cpp::LoggingEvent&) override {}
};

inline void productionLogging() {
    static bool done = false;
    if (done)
        return;
    done = true;
    cQlog::getLog("bench");  // lets the logging library put its defaults in place first
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.addAppender(new NullAppender());  // owned by log4cpp
    root.setPriority(log4cpp::Priority::INFO);
}

}  // namespace benchlogging
