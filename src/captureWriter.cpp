// The capture's writer (see captureWriter.h): formats the records, writes them to the ring of
// files and keeps each file readable alone. Runs on the capture's thread only.
#include "captureWriter.h"
#include "fileSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cQlog.h"

namespace capture {

namespace {

using exchangefile::Kind;

constexpr size_t kFlushAt = 16 * 1024;  // characters formatted before they are written
// Room a cycle's records take in the long form (a frame each way, a few events): a file this
// near its bound ends before the next frame, so that no reply is cut from its frame.
constexpr uint64_t kCycleRoom = 2048;

log4cpp::Category& log() {
    static log4cpp::Category& category = cQlog::getLog("exchangeCapture");
    return category;
}

// The comment that stands where records were dropped.
void dropped(std::string& out, uint32_t count,
             const char* why = "the capture's writer could not keep up") {
    if (count != 0)
        out += "# " + std::to_string(count) + " records dropped here: " + why + "\n";
}

// The bytes of the first `n` of `text` that end at a line's end.
size_t wholeLines(const std::string& text, size_t n) {
    const size_t nl = n == 0 ? std::string::npos : text.rfind('\n', n - 1);
    return nl == std::string::npos ? 0 : nl + 1;
}

// The records among the lines of `text` from `from` on, comments left out.
uint32_t recordLines(const std::string& text, size_t from) {
    uint32_t n = 0;
    for (size_t at = from, nl; at < text.size() && (nl = text.find('\n', at)) != text.npos;
         at = nl + 1)
        n += text[at] != '#';
    return n;
}

bool diskFull(int err) {
    return err == ENOSPC || err == EDQUOT;
}

}  // namespace

Writer::Writer(std::function<void(uint32_t generation)> ended) : mEnded(std::move(ended)) {
    mOut.reserve(kFlushAt + 4096);
}

void Writer::write(std::vector<Item>& batch) {
    std::string& out = mOut;
    for (Item& item : batch) {
        if (item.op == Item::Start) {
            flush(out);
            close();
            open(*item.settings, item.generation, item.t);
            continue;
        }
        if (item.generation != mSession.generation || (mSession.fd < 0 && !mSession.paused))
            continue;  // a capture that ended or failed: its records go
        if (item.op == Item::Record)
            mSession.lastT = item.t;
        if (mSession.paused && item.op == Item::Record) {
            mSession.dropped += (item.kind != Kind::Tx || item.n != 0) + item.droppedBefore;
            continue;
        }
        dropped(out, item.droppedBefore);
        if (item.op == Item::Stop) {
            flush(out);
            close();
        } else {
            writeRecord(item, out);
            if (out.size() >= kFlushAt)
                flush(out);
        }
    }
    flush(out);
}

// The records written reach the disk before the next batch (once a second at most), so that a
// power cut costs the last second's records only, not all that the kernel held.
void Writer::syncFile() {
    if (!std::exchange(mSession.unsynced, false))
        return;
    if (mSession.fd >= 0 && mSession.regular && fdatasync(mSession.fd) != 0)
        fail("cannot sync the file", errno);
}

void Writer::writeRecord(const Item& item, std::string& out) {
    if (item.kind == Kind::Tx && item.n == 0)
        return;  // no byte of the frame reached the line: its outcome record says so
    const uint64_t bound = mSession.regular ? mSession.settings.maxSize : UINT64_MAX;
    // A new file begins at a frame boundary, so that no reply is cut from its frame.
    if (item.kind == Kind::Tx && mSession.bytes + out.size() + kCycleRoom > bound) {
        rotate(out, item.t);
        if (mSession.fd < 0) {
            mSession.dropped += mSession.paused;  // the record the pause came at goes with it
            return;
        }
    }
    const size_t before = out.size();
    mSession.writer.append(out, item.t, item.kind, item.bytes, item.n, item.param, item.value,
                           item.text);
    if (mSession.bytes + out.size() > bound) {
        // Even inside a frame, no file passes its bound: the record opens the next file.
        out.resize(before);
        rotate(out, item.t);
        if (mSession.fd < 0) {
            mSession.dropped += mSession.paused;
            return;
        }
        mSession.writer.append(out, item.t, item.kind, item.bytes, item.n, item.param, item.value,
                               item.text);
    }
    if (item.kind == Kind::Open || item.kind == Kind::Reopen)
        mSession.port = item.text;
    else if (item.kind == Kind::Lost)
        mSession.port.clear();
    ++mSession.records;
}

// Writes `out` to the file and empties it; a failure ends or pauses the capture. A line the
// disk took in part is taken back, so that the file ends at its last whole line.
void Writer::flush(std::string& out) {
    size_t done = 0;
    while (mSession.fd >= 0 && done < out.size()) {
        const ssize_t n =
            mSession.settings.fileWrite(mSession.fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            const size_t whole = wholeLines(out, done);
            if (whole != done && mSession.regular &&
                ftruncate(mSession.fd, static_cast<off_t>(mSession.bytes + whole)) == 0)
                done = whole;
            fail("write failed", err);
            // The records the disk did not take are counted with those of the pause.
            if (mSession.paused && &out == &mOut)
                mSession.dropped += recordLines(out, done);
            break;
        }
        done += static_cast<size_t>(n);
    }
    mSession.bytes += done;
    mSession.unsynced = mSession.unsynced || done != 0;
    out.clear();
}

void Writer::open(const Settings& s, uint32_t generation, uint64_t wall) {
    mSession = Session{};
    mSession.settings = s;
    mSession.generation = generation;
    mSession.wall = wall;
    mSession.port = s.openPort;
    // A file of an earlier capture under the same name is kept: it moves down the ring.
    struct stat st;
    if (lstat(s.file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !shiftRing())
        return;
    if (openFile(0)) {
        log().info("Capture of the serial exchange started: %s (a ring of %u files of %llu bytes)",
                   s.file.c_str(), s.files, static_cast<unsigned long long>(s.maxSize));
    }
}

// A new file: the version line, the start record and the open port, so that it reads alone.
bool Writer::openFile(uint64_t t) {
    const Settings& s = mSession.settings;
    // Whatever FILE held has moved down the ring before this.
    mSession.fd = ::open(s.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0640);
    if (mSession.fd < 0) {
        mSession.movedDown = true;
        fail("cannot open the file", errno);
        return false;
    }
    struct stat st;
    mSession.regular = fstat(mSession.fd, &st) == 0 && S_ISREG(st.st_mode);
    mSession.bytes = 0;
    mSession.writer.restart();
    std::string head = exchangefile::header(mSession.wall) + "\n";
    if (mSession.rotations != 0)
        head += "# continued: the records before these are in the ring's next older file\n";
    exchangefile::append(head, t, Kind::Start, nullptr, 0, 0, 0, s.startFields);
    if (!mSession.port.empty())
        exchangefile::append(head, t, Kind::Open, nullptr, 0, 0, 0, mSession.port);
    flush(head);
    // The new file is on the disk under its name, its head in it, before its records come; a
    // head that did not get there leaves no file.
    syncFile();
    mSession.movedDown = mSession.fd < 0;
    if (mSession.regular && mSession.movedDown)
        unlink(s.file.c_str());
    else if (mSession.regular)
        qlog::syncDir(qlog::dirOf(s.file));
    return mSession.fd >= 0;
}

// The file is complete on the disk before it is renamed away; a new one begins.
void Writer::rotate(std::string& out, uint64_t t) {
    flush(out);
    if (mSession.fd < 0)
        return;
    if (fdatasync(mSession.fd) != 0)
        return fail("cannot sync the file", errno);
    ::close(std::exchange(mSession.fd, -1));
    if (!shiftRing())
        return;
    ++mSession.rotations;
    const std::string& file = mSession.settings.file;
    if (openFile(t)) {
        log().info("Capture file %s reached its bound: rotated to %s.1", file.c_str(),
                   file.c_str());
    }
}

// FILE.k becomes FILE.k+1 from the oldest down, the oldest (FILE.files-1) going; FILE becomes
// FILE.1. With one file, FILE itself goes when the next begins.
bool Writer::shiftRing() {
    const std::string& file = mSession.settings.file;
    const auto name = [&file](unsigned k) {
        return k == 0 ? file : file + "." + std::to_string(k);
    };
    for (unsigned k = mSession.settings.files - 1; k-- > 0;) {
        if (rename(name(k).c_str(), name(k + 1).c_str()) != 0 && errno != ENOENT) {
            fail("cannot rotate the file", errno);
            return false;
        }
    }
    qlog::syncDir(qlog::dirOf(file));
    return true;
}

void Writer::close() {
    if (mSession.fd < 0 && !mSession.paused)
        return;
    mSession.ending = true;  // a full disk now ends the capture too: it ends anyway
    if (mSession.fd >= 0 && mSession.regular && fdatasync(mSession.fd) != 0)
        return fail("cannot sync the file", errno);
    if (mSession.fd >= 0 && ::close(std::exchange(mSession.fd, -1)) != 0)
        return fail("closing the file failed", errno);
    log().info("Capture of the serial exchange ended: %s (%llu records%s)",
               mSession.settings.file.c_str(), static_cast<unsigned long long>(mSession.records),
               std::exchange(mSession.paused, false) ? ", paused by a full disk" : "");
}

// One ERROR line; this capture ends, the exchange goes on untouched. Its records still queued
// go unwritten; a capture started after it goes on. A full disk pauses it instead.
void Writer::fail(const char* what, int err) {
    if (diskFull(err) && !mSession.ending)
        return pause(what, err);
    log().error("Capture to %s ended: %s: %s; the exchange goes on without a capture",
                mSession.settings.file.c_str(), what, std::strerror(err));
    if (mSession.fd >= 0)
        ::close(std::exchange(mSession.fd, -1));
    mSession.paused = false;
    mEnded(mSession.generation);
}

// The file is closed where it stands; the capture runs on for the exchange, whose records are
// counted and dropped until a try finds room for the ring's next file. One ERROR line however
// many tries fail.
void Writer::pause(const char* what, int err) {
    if (mSession.fd >= 0)
        ::close(std::exchange(mSession.fd, -1));
    const auto every =
        std::chrono::duration_cast<std::chrono::seconds>(mSession.settings.retryEvery);
    if (!std::exchange(mSession.paused, true)) {
        const std::string& file = mSession.settings.file;
        log().error(
            "Capture to %s paused: %s: %s; free space in %s (older captures, old logs): "
            "the capture resumes by itself in the ring's next file within %lld s of space "
            "returning; the exchange goes on",
            file.c_str(), what, std::strerror(err), qlog::dirOf(file).c_str(),
            static_cast<long long>(std::max<long long>(every.count(), 1)));
        mSession.dropped = 0;
    }
    mSession.retryAt = Clock::now() + mSession.settings.retryEvery;
}

// The file written last moves down the ring once, as at a rotation (a file that is not a regular
// one is written again); the new file says where the records of the pause are missing.
void Writer::retryIfDue(Clock::time_point now) {
    if (!mSession.paused || now < mSession.retryAt)
        return;
    if (!mSession.movedDown && mSession.regular) {
        if (!shiftRing())
            return;
        mSession.movedDown = true;
        ++mSession.rotations;
    }
    if (!openFile(mSession.lastT))
        return;
    mSession.paused = false;
    std::string note;
    dropped(note, mSession.dropped, "the disk was full");
    flush(note);
    log().info("Capture to %s resumed in a new file after the full disk (%u records dropped)",
               mSession.settings.file.c_str(), mSession.dropped);
}

}  // namespace capture
