// A power cut may cost a log file the INFO lines of its last minute, never an ERROR line, nor the
// file or its older lines. As the system journal does, a log file is synced at once after a line
// of ERROR or worse, otherwise once a minute, and at a re-open (after a rotation) and the exit: the
// kernel alone would keep up to half a minute of lines in memory, and a file created in that time
// would come back empty, while a sync a second wears the unit's flash and wakes the daemon each
// cycle.
//
// The threads that log never wait for the disk: a thread of its own syncs each log file that
// grew, through descriptors of its own opened by the files' names, so that it touches no log4cpp
// object and holds no lock while it syncs. A file whose name has come to name another file (a
// rotation renamed it) has its last lines synced and is let go for the new one. A line of ERROR
// or worse is written by a filter on its file appender, which then wakes the thread: the line is
// in the file before its sync begins, and the thread that logged it goes on at once.
#include "logFileSync.h"
#include "fileSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/Filter.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

namespace qlog {

namespace {

constexpr auto kSyncEvery = std::chrono::seconds(60);
constexpr auto kStopWait = std::chrono::seconds(5);  // the stop waits no longer for the disk

// What log4cpp keeps protected in a file appender: its descriptor, its file name, its write.
struct FileAppenderAccess : log4cpp::FileAppender {
    static int fd(const log4cpp::FileAppender& a) { return a.*(&FileAppenderAccess::_fd); }
    static const std::string& name(const log4cpp::FileAppender& a) {
        return a.*(&FileAppenderAccess::_fileName);
    }
    static void append(log4cpp::FileAppender& a, const log4cpp::LoggingEvent& event) {
        (a.*(&FileAppenderAccess::_append))(event);
    }
};

// A log file as the syncing thread holds it.
struct LogFile {
    std::string path;
    int fd = -1;  // opened by the file's name, owned here
    dev_t dev = 0;
    ino_t ino = 0;
    off_t synced = -1;  // the size at the last sync; -1: never synced
};

class Syncer {
public:
    // Under the set-up's lock: the files of the appenders now, synced at once (a new set-up, a
    // re-open after a rotation).
    void take(std::vector<std::string> paths) {
        std::lock_guard<std::mutex> lock(mMutex);
        mPaths = std::move(paths);
        ++mWanted;
        if (!mStarted && !mPaths.empty()) {
            mStarted = true;
            std::thread([this] { run(); }).detach();  // lives as long as the process
            std::atexit([] { syncLogFilesNow(); });
        }
        mWake.notify_one();
    }

    // A line of ERROR or worse is in a file: a sync now.
    void urgent() {
        std::lock_guard<std::mutex> lock(mMutex);
        ++mWanted;
        mWake.notify_one();
    }

    void syncNow() {
        std::unique_lock<std::mutex> lock(mMutex);
        if (!mStarted)
            return;
        const uint64_t ticket = ++mWanted;
        mWake.notify_one();
        mDone.wait_for(lock, kStopWait, [&] { return mPassed >= ticket; });
    }

    uint64_t syncs() const { return mSyncs.load(std::memory_order_relaxed); }

private:
    void run() {
        std::vector<LogFile> files;
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;) {
            mWake.wait_for(lock, kSyncEvery, [this] { return mWanted != mPassed; });
            const uint64_t wanted = mWanted;
            const std::vector<std::string> paths = mPaths;
            lock.unlock();
            pass(files, paths);
            lock.lock();
            mPassed = wanted;
            mDone.notify_all();
        }
    }

    // Keeps the files whose names still name them, takes up those named anew, and syncs each
    // that grew; a file let go has its last lines synced first.
    void pass(std::vector<LogFile>& files, const std::vector<std::string>& paths) {
        std::vector<LogFile> next;
        for (const std::string& path : paths) {
            struct stat st;
            const bool named = ::stat(path.c_str(), &st) == 0;
            const auto same = std::find_if(files.begin(), files.end(), [&](const LogFile& f) {
                return named && f.path == path && f.dev == st.st_dev && f.ino == st.st_ino;
            });
            if (same != files.end()) {
                next.push_back(std::move(*same));
                files.erase(same);
            } else if (named) {
                next.push_back(open(path));
            }
        }
        for (LogFile& f : files) {
            sync(f);
            ::close(f.fd);
        }
        for (LogFile& f : next)
            sync(f);
        files = std::move(next);
    }

    static LogFile open(const std::string& path) {
        LogFile f;
        f.path = path;
        // For writing, as the appender has it: the daemon may lack the right to read its log.
        f.fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        if (f.fd >= 0 && fstat(f.fd, &st) == 0) {
            f.dev = st.st_dev;
            f.ino = st.st_ino;
        }
        return f;
    }

    // Syncs the file when it changed, its directory the first time, so that a new file keeps its
    // name.
    void sync(LogFile& f) {
        struct stat st;
        if (f.fd < 0 || fstat(f.fd, &st) != 0 || st.st_size == f.synced || fdatasync(f.fd) != 0)
            return;
        mSyncs.fetch_add(1, std::memory_order_relaxed);
        if (f.synced < 0)
            syncDir(dirOf(f.path));
        f.synced = st.st_size;
    }

    std::mutex mMutex;
    std::condition_variable mWake;  // a sync is wanted
    std::condition_variable mDone;  // a pass ended
    std::vector<std::string> mPaths;
    uint64_t mWanted = 0;  // passes asked for
    uint64_t mPassed = 0;  // the last of them that a pass ended
    bool mStarted = false;
    std::atomic<uint64_t> mSyncs{0};
};

Syncer& syncer() {
    static Syncer* s = new Syncer();  // never destroyed: its thread runs until the process ends
    return *s;
}

// On a file appender: writes a line of ERROR or worse itself, then wakes the syncing thread for
// it (the appender would write the line only after its filter); other lines pass untouched.
class SyncAfterError : public log4cpp::Filter {
public:
    explicit SyncAfterError(log4cpp::FileAppender& appender) : mAppender(appender) {}

protected:
    Decision _decide(const log4cpp::LoggingEvent& event) override {
        if (event.priority > log4cpp::Priority::ERROR)
            return NEUTRAL;
        FileAppenderAccess::append(mAppender, event);
        syncer().urgent();
        return DENY;  // written already
    }

private:
    log4cpp::FileAppender& mAppender;
};

}  // namespace

std::string dirOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

void syncDir(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
}

void syncLogFiles() {
    std::set<log4cpp::FileAppender*> seen;
    std::vector<std::string> paths;
    std::unique_ptr<std::vector<log4cpp::Category*>> cats(
        log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* cat : *cats) {
        for (log4cpp::Appender* a : cat->getAllAppenders()) {
            auto* file = dynamic_cast<log4cpp::FileAppender*>(a);
            if (file == nullptr || !seen.insert(file).second)
                continue;
            // Only a file on a disk has lines to lose: an appender on standard error, a pipe or
            // a console gets no syncing, and a set-up with none of them no thread.
            struct stat st;
            const int fd = FileAppenderAccess::fd(*file);
            if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            paths.push_back(FileAppenderAccess::name(*file));
            if (file->getFilter() == nullptr)
                file->setFilter(new SyncAfterError(*file));
        }
    }
    syncer().take(std::move(paths));
}

void syncLogFilesNow() {
    syncer().syncNow();
}

uint64_t logFileSyncs() {
    return syncer().syncs();
}

}  // namespace qlog
