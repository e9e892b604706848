// Logging base over log4cpp. Until a configuration file sets up appenders, and whenever it sets
// up none, a fallback appender on the root category writes every line of INFO and above to
// standard error, so that start-up failures are visible on a unit that has no logging set up.
#include "cQlog.h"
#include <algorithm>

#include "logFileSync.h"

#include <unistd.h>
#include <log4cpp/Appender.hh>
#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Configurator.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

bool cQlog::mInitialised = false;

namespace {

// Size of the formatting buffer of one message; longer messages are cut.
constexpr size_t kLogBufferSize = 1024;

// Writes "YYYY-MM-DD hh:mm:ss.mmm category LEVEL: message" lines to standard error, one
// write(2) per line so that lines of concurrent threads do not interleave. The daemon's formats
// often end in "\n"; one trailing newline of the message is dropped so no blank lines appear.
class StderrFallbackAppender : public log4cpp::AppenderSkeleton {
public:
    explicit StderrFallbackAppender(const char* name = "qlog-stderr-fallback",
                                    log4cpp::Priority::Value threshold = log4cpp::Priority::INFO)
        : log4cpp::AppenderSkeleton(name) {
        setThreshold(threshold);
    }
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }
    void close() override {}
    bool reopen() override { return true; }

protected:
    void _append(const log4cpp::LoggingEvent& event) override {
        time_t secs = event.timeStamp.getSeconds();
        struct tm tmv;
        localtime_r(&secs, &tmv);
        char stamp[40];
        size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
        snprintf(stamp + n, sizeof stamp - n, ".%03d", event.timeStamp.getMilliSeconds());

        std::string message = event.message;
        if (!message.empty() && message.back() == '\n')
            message.pop_back();

        std::string line;
        line.reserve(message.size() + event.categoryName.size() + 64);
        line += stamp;
        line += ' ';
        line += event.categoryName;
        line += ' ';
        line += log4cpp::Priority::getPriorityName(event.priority);
        line += ": ";
        line += message;
        line += '\n';

        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t w = ::write(STDERR_FILENO, p, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break;  // nothing sensible left to do with a broken stderr
            p += w;
            left -= static_cast<size_t>(w);
        }
    }
};

// Never destroyed: log4cpp may still call it from other threads while the process exits. It is
// attached by reference, so log4cpp never owns or deletes it.
StderrFallbackAppender* fallbackAppender() {
    static StderrFallbackAppender* appender = new StderrFallbackAppender();
    return appender;
}

std::mutex& configMutex() {
    static std::mutex* m = new std::mutex();
    return *m;
}

bool rootHasFallback() {
    log4cpp::AppenderSet set = log4cpp::Category::getRoot().getAllAppenders();
    return set.count(fallbackAppender()) != 0;
}

// Puts the fallback on the root category and lets INFO through the root.
void attachFallback() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    if (!rootHasFallback())
        root.addAppender(*fallbackAppender());
    if (root.getPriority() < log4cpp::Priority::INFO)
        root.setPriority(log4cpp::Priority::INFO);
}

void installFallbackOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::lock_guard<std::mutex> lock(configMutex());
        attachFallback();
    });
}

// The --debug appender: every line to standard error, whatever the file configures.
StderrFallbackAppender* debugAppender() {
    static StderrFallbackAppender* appender =
        new StderrFallbackAppender("qlog-stderr-debug", log4cpp::Priority::DEBUG);
    return appender;
}
// Every appender attached to some category, the fallback left out; `owned` gets those that a
// category owns (log4cpp deletes them when it detaches them).
std::set<log4cpp::Appender*> attachedAppenders(std::set<log4cpp::Appender*>* owned = nullptr) {
    std::set<log4cpp::Appender*> found;
    std::unique_ptr<std::vector<log4cpp::Category*>> cats(
        log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* cat : *cats) {
        for (log4cpp::Appender* a : cat->getAllAppenders()) {
            if (a == fallbackAppender() || a == debugAppender())
                continue;
            found.insert(a);
            if (owned && cat->ownsAppender(a))
                owned->insert(a);
        }
    }
    return found;
}

// Appenders that an earlier init created. A later set-up detaches them without deleting them
// when no category owns them; init then deletes them itself.
std::set<log4cpp::Appender*>& appendersOfLastInit() {
    static std::set<log4cpp::Appender*>* set = new std::set<log4cpp::Appender*>();
    return *set;
}

bool debugWanted = false;  // under configMutex

// Opens every category to DEBUG and puts the debug appender on the root (the fallback, which
// also writes to standard error, is taken off so that no line appears twice).
void applyDebug() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    if (rootHasFallback())
        root.removeAppender(fallbackAppender());
    if (root.getAllAppenders().count(debugAppender()) == 0)
        root.addAppender(*debugAppender());
    std::unique_ptr<std::vector<log4cpp::Category*>> cats(
        log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* cat : *cats)
        cat->setPriority(cat == &root ? log4cpp::Priority::DEBUG : log4cpp::Priority::NOTSET);
}

// Installs the fallback as soon as the library is loaded, before main.
struct FallbackAtLoad {
    FallbackAtLoad() { installFallbackOnce(); }
} fallbackAtLoad;

}  // namespace

cQlog::cQlog(const char* catName) : mCatName(catName), mCategory(getLog(catName)) {}

cQlog::~cQlog() = default;

bool cQlog::init(const char* path) {
    installFallbackOnce();
    std::string reason;
    bool configured = false;
    bool keptEarlier = false;
    {
        std::lock_guard<std::mutex> lock(configMutex());
        std::set<log4cpp::Appender*> ownedBefore;
        std::set<log4cpp::Appender*> before = attachedAppenders(&ownedBefore);
        try {
            log4cpp::PropertyConfigurator::configure(path ? path : "");
            std::set<log4cpp::Appender*> after = attachedAppenders();
            configured = !after.empty();
            if (!configured)
                reason = "no appender configured";
            std::set<log4cpp::Appender*>& mine = appendersOfLastInit();
            std::set<log4cpp::Appender*> kept;
            for (log4cpp::Appender* a : mine) {
                if (after.count(a))
                    kept.insert(a);
                else if (!ownedBefore.count(a))
                    delete a;  // detached by this set-up and owned by nobody
            }
            for (log4cpp::Appender* a : after) {
                if (!before.count(a))
                    kept.insert(a);
            }
            mine.swap(kept);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
            reason = "unknown failure";
        }
        if (configured) {
            // The file's own appenders take over; the fallback would only duplicate lines.
            if (rootHasFallback())
                log4cpp::Category::getRoot().removeAppender(fallbackAppender());
            mInitialised = true;
        } else if (attachedAppenders().empty()) {
            attachFallback();
            mInitialised = false;
        } else {
            keptEarlier = true;  // an earlier set-up still logs: leave it as it is
        }
        if (debugWanted)
            applyDebug();
        qlog::syncLogFiles();
    }
    if (!configured) {
        getLog("qlog").warn("Logging not configured from %s (%s); %s", path ? path : "(null)",
                            reason.c_str(),
                            keptEarlier ? "the earlier set-up stays" : "logging to standard error");
    }
    return configured;
}

void cQlog::debugToStderr() {
    installFallbackOnce();
    std::lock_guard<std::mutex> lock(configMutex());
    debugWanted = true;
    applyDebug();
}

void cQlog::reopen() {
    std::lock_guard<std::mutex> lock(configMutex());
    log4cpp::Appender::reopenAll();
    qlog::syncLogFiles();
}

log4cpp::Category& cQlog::getLog(const char* name) {
    installFallbackOnce();
    return log4cpp::Category::getInstance(name ? name : "");
}

void cQlog::debug(const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    log(DEBUG, fmt, args);
    va_end(args);
}

void cQlog::info(const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    log(INFO, fmt, args);
    va_end(args);
}

void cQlog::warn(const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    log(WARN, fmt, args);
    va_end(args);
}

void cQlog::error(const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    log(ERROR, fmt, args);
    va_end(args);
}

void cQlog::log(int priority, const char* fmt, va_list args) const {
    if (!mCategory.isPriorityEnabled(priority))
        return;
    // A buffer of this call's own: several threads log through the same object.
    char buffer[kLogBufferSize];
    int n = vsnprintf(buffer, sizeof buffer, fmt, args);
    if (n < 0)
        return;  // an encoding error leaves nothing worth logging
    // Many callers end their text with '\n'; the layouts end the line themselves, and a
    // second newline would put a blank line after each such line in a log file.
    std::string message(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    mCategory.log(priority, message);
}
