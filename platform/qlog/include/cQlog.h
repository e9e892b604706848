// Logging base of every class of the daemon: one log4cpp category per class, printf-style
// messages, and a stderr fallback so that start-up failures are always visible.
#pragma once

#include <log4cpp/Category.hh>

#define QLOG_PRINTF(fmtIdx, argIdx) __attribute__((format(printf, fmtIdx, argIdx)))

class cQlog {
public:
    // Priorities follow log4cpp's numbering.
    enum QlogPiority {
        EMERG = 0,
        FATAL = 0,
        ALERT = 100,
        CRIT = 200,
        ERROR = 300,
        WARN = 400,
        NOTICE = 500,
        INFO = 600,
        DEBUG = 700,
        NOTSET = 800
    };

    explicit cQlog(const char* catName);
    virtual ~cQlog();

    // Configures log4cpp from the key/value file at `path` (log4cpp.rootCategory,
    // log4cpp.appender.* ...). Returns false when the file configures no logging; the stderr
    // fallback then stays in force. Safe to call more than once.
    static bool init(const char* path);
    // The log4cpp category of that name; usable before init (it then logs to stderr).
    static log4cpp::Category& getLog(const char* name);
    // From now on, and after every later init, every category logs everything down to DEBUG
    // and standard error gets every line as well (the daemon's --debug).
    static void debugToStderr();
    // Re-opens the appenders' files (after log rotation).
    static void reopen();

    void debug(const char* fmt, ...) const QLOG_PRINTF(2, 3);
    void info(const char* fmt, ...) const QLOG_PRINTF(2, 3);
    void warn(const char* fmt, ...) const QLOG_PRINTF(2, 3);
    void error(const char* fmt, ...) const QLOG_PRINTF(2, 3);

    const char* categoryName() const { return mCatName; }

protected:
    const char* mCatName;      // category name, a string literal of the deriving class
    static bool mInitialised;  // true once init configured logging from a file

private:
    void log(int priority, const char* fmt, va_list args) const QLOG_PRINTF(3, 0);
    log4cpp::Category& mCategory;
};
