// A power cut may cost the lines of the last second of a log file, never the file nor its older
// lines: the kernel alone would keep up to half a minute of them in memory, and a file created
// in that time would come back empty. The threads that log never wait for the disk: a thread of
// its own syncs each log file whose size changed, once a second, through a descriptor of its own
// (a dup of the appender's), so that it touches no log4cpp object and holds no lock while it
// syncs.
#include "logFileSync.h"
#include "fileSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>

namespace qlog {

namespace {

constexpr auto kSyncEvery = std::chrono::seconds(1);

// The appender's descriptor and file name, which log4cpp keeps protected.
struct FileAppenderAccess : log4cpp::FileAppender {
    static int fd(const log4cpp::FileAppender& a) { return a.*(&FileAppenderAccess::_fd); }
    static const std::string& name(const log4cpp::FileAppender& a) {
        return a.*(&FileAppenderAccess::_fileName);
    }
};

struct LogFile {
    int fd = -1;        // a dup of the appender's descriptor, owned here
    std::string dir;    // synced once, so that a new file keeps its name
    off_t synced = -1;  // the size at the last sync; -1: never synced
};

class Syncer {
public:
    // Under the set-up's lock: the new list replaces the old one, whose descriptors the thread
    // closes once it holds none of them.
    void take(std::vector<LogFile> files) {
        std::lock_guard<std::mutex> lock(mMutex);
        for (LogFile& f : mFiles)
            mRetired.push_back(f.fd);
        mFiles = std::move(files);
        ++mVersion;
        if (!mStarted && !mFiles.empty()) {
            mStarted = true;
            std::thread([this] { run(); }).detach();  // lives as long as the process
        }
        mWake.notify_one();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;) {
            mWake.wait_for(lock, kSyncEvery);
            std::vector<LogFile> files = mFiles;
            const uint64_t version = mVersion;
            for (LogFile& f : files)
                f.fd = fcntl(f.fd, F_DUPFD_CLOEXEC, 0);
            std::vector<int> retired = std::exchange(mRetired, {});
            lock.unlock();
            for (int fd : retired)
                ::close(fd);
            std::vector<off_t> sizes;
            for (LogFile& f : files)
                sizes.push_back(syncOne(f));
            lock.lock();
            for (size_t i = 0; version == mVersion && i < mFiles.size(); ++i)
                mFiles[i].synced = sizes[i];  // the same files: a re-open would have replaced them
        }
    }

    // Syncs the file when it changed, its directory the first time; returns the size synced.
    static off_t syncOne(LogFile& f) {
        struct stat st;
        off_t size = f.synced;
        if (f.fd >= 0 && fstat(f.fd, &st) == 0 && st.st_size != f.synced && fdatasync(f.fd) == 0) {
            size = st.st_size;
            if (f.synced < 0)
                syncDir(f.dir);
        }
        if (f.fd >= 0)
            ::close(f.fd);
        return size;
    }

    std::mutex mMutex;
    std::condition_variable mWake;
    std::vector<LogFile> mFiles;
    std::vector<int> mRetired;  // descriptors of replaced lists, for the thread to close
    uint64_t mVersion = 0;      // counts the lists taken
    bool mStarted = false;
};

Syncer& syncer() {
    static Syncer* s = new Syncer();  // never destroyed: its thread runs until the process ends
    return *s;
}

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
    std::vector<LogFile> files;
    std::unique_ptr<std::vector<log4cpp::Category*>> cats(
        log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* cat : *cats) {
        for (log4cpp::Appender* a : cat->getAllAppenders()) {
            auto* file = dynamic_cast<log4cpp::FileAppender*>(a);
            if (file == nullptr || !seen.insert(file).second)
                continue;
            const int fd = FileAppenderAccess::fd(*file);
            // Only a file on a disk has lines to lose: an appender on standard error, a pipe or
            // a console gets no syncing, and a set-up with none of them no thread.
            struct stat st;
            if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            const int mine = fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (mine >= 0)
                files.push_back(LogFile{mine, dirOf(FileAppenderAccess::name(*file)), -1});
        }
    }
    syncer().take(std::move(files));
}

}  // namespace qlog
