// The capture in-process: its start, end and failure one capture at a time, the ring of files,
// each of which reads alone and none of which cuts a reply from its frame, and a full disk.
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "exchangeCapture.h"
#include "exchangeFile.h"
#include "logCapture.h"
#include "testSupport.h"

namespace {

using exchangefile::Kind;

// The records of one file read alone, to its end.
std::vector<exchangefile::Record> readAlone(const std::string& path) {
    exchangefile::File f;
    size_t line = 0;
    std::string why;
    EXPECT_TRUE(exchangefile::read(testsupport::readFile(path), f, line, why)) << path << why;
    EXPECT_EQ(f.cutLine, 0u) << path;
    return f.records;
}

std::vector<Kind> kinds(const std::vector<exchangefile::Record>& records) {
    std::vector<Kind> out;
    for (const exchangefile::Record& r : records)
        out.push_back(r.kind);
    return out;
}

// A capture's settings: FILE, the bound of a file, the files of the ring; the port open.
capture::Settings settings(const std::string& file, uint64_t maxSize, unsigned files) {
    return capture::Settings{file, maxSize, files, "version=test", "/dev/ttyS2"};
}

const uint8_t kFrame[128] = {'A', 'I', 'O'};

// A capture that fails while the next is already started (the writer held behind a frame whose
// write has not ended, so that the failure comes after the toggle): the failure ends its own
// capture only, and the toggle ends the one that runs.
TEST(ExchangeCapture, AFailureEndsItsOwnCaptureOnlyAndTheToggleEndsTheOneThatRuns) {
    testsupport::ScratchDir dir("capture_commands");
    testsupport::LogCapture log("exchangeCapture");
    uint8_t reply[128] = {'A', 'O', 'I'};
    // The first capture's ring cannot turn: FILE.1 is a directory that is not empty.
    testsupport::writeFile(dir / "first.exchange.1/keep", "x");
    ASSERT_TRUE(capture::start(settings(dir / "first.exchange", capture::kMinMaxSize, 2)));
    const capture::TxTicket held = captureTxBegin(kFrame, sizeof kFrame);
    for (reply[9] = 0; reply[9] < 20; ++reply[9])  // more than a file of 4096 bytes holds
        captureBytes(Kind::Rx, reply, sizeof reply);
    EXPECT_TRUE(capture::stop());  // SIGUSR1: the capture that runs ends, the next starts
    ASSERT_TRUE(capture::start(settings(dir / "second.exchange", 1 << 20, 1)));
    captureEvent(Kind::Online);
    captureTxEnd(held, sizeof kFrame, Kind::Tx);
    ASSERT_TRUE(testsupport::waitFor([&] { return log.contains("cannot rotate the file"); }));
    EXPECT_TRUE(capture::gOn.load()) << "the second capture runs on";
    captureEvent(Kind::Offline);
    EXPECT_TRUE(capture::stop());
    EXPECT_FALSE(capture::stop()) << "none runs";
    capture::shutdown();
    EXPECT_EQ(kinds(readAlone(dir / "second.exchange")),
              (std::vector<Kind>{Kind::Start, Kind::Open, Kind::Online, Kind::Offline}));
}

// A ring of three files of 4096 bytes over sixty cycles: each file reads alone, begins with the
// start and the open port, turns before a frame and never passes its bound; together the files
// hold the last cycles, none lost or doubled.
TEST(ExchangeCapture, RingFilesReadAloneAndTurnAtAFrame) {
    testsupport::ScratchDir dir("capture_ring");
    const std::string file = dir / "ring.exchange";
    testsupport::writeFile(file, "an earlier capture\n");  // moves down the ring and goes
    ASSERT_TRUE(capture::start(settings(file, capture::kMinMaxSize, 3)));
    uint8_t reply[128] = {'A', 'O', 'I'};
    for (reply[9] = 0; reply[9] < 60; ++reply[9]) {
        captureTxEnd(captureTxBegin(kFrame, sizeof kFrame), sizeof kFrame, Kind::Tx);
        captureBytes(Kind::Rx, reply, 64);  // a reply in two reads
        captureBytes(Kind::Rx, reply + 64, 64);
    }
    capture::shutdown();

    std::vector<int> cycles;  // the cycle of each frame, over the files oldest first
    for (const std::string& name : {file + ".2", file + ".1", file}) {
        EXPECT_LE(testsupport::readFile(name).size(), capture::kMinMaxSize) << name;
        const std::vector<exchangefile::Record> r = readAlone(name);
        std::vector<Kind> whole{Kind::Start, Kind::Open};  // then whole cycles only
        for (size_t i = 2; i < r.size(); i += 3) {
            whole.insert(whole.end(), {Kind::Tx, Kind::Rx, Kind::Rx});
            cycles.push_back(i + 1 < r.size() ? r[i + 1].bytes[9] : -1);
        }
        EXPECT_EQ(kinds(r), whole) << name;
    }
    ASSERT_GT(cycles.size(), 6u);
    for (size_t i = 0; i < cycles.size(); ++i)
        EXPECT_EQ(cycles[i], 60 - static_cast<int>(cycles.size() - i));
    EXPECT_NE(access((file + ".3").c_str(), F_OK), 0) << "the ring keeps three files";
}

// Records queued behind a frame whose write has not ended, more than a writer's take and across
// the queue's chunks, with a second frame among them that the line took in part: all reach the
// file once, in the order taken, each frame with the bytes that reached the line.
TEST(ExchangeCapture, RecordsHeldBehindAFrameKeepTheirOrderAndTheBytesSent) {
    testsupport::ScratchDir dir("capture_held");
    ASSERT_TRUE(capture::start(settings(dir / "held.exchange", 1 << 20, 1)));
    const auto replies = [](int from, int to) {
        for (int i = from; i < to; ++i) {
            const uint8_t reply[2] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            captureBytes(Kind::Rx, reply, sizeof reply);
        }
    };
    const capture::TxTicket first = captureTxBegin(kFrame, sizeof kFrame);
    replies(0, 300);
    const capture::TxTicket second = captureTxBegin(kFrame, sizeof kFrame);
    replies(300, 700);
    captureTxEnd(second, 100, Kind::Abandoned);  // the line took 100 bytes of it
    captureTxEnd(first, sizeof kFrame, Kind::Tx);
    capture::shutdown();

    const std::vector<exchangefile::Record> r = readAlone(dir / "held.exchange");
    ASSERT_EQ(r.size(), 2u + 702u + 1u);  // start, open; the frames, the replies; the outcome
    EXPECT_EQ(r[2].bytes.size(), sizeof kFrame);
    EXPECT_EQ(r[303].bytes.size(), 100u);
    EXPECT_EQ(r.back().kind, Kind::Abandoned);
    int next = 0;
    for (const exchangefile::Record& rec : r)
        next += rec.kind == Kind::Rx && ((rec.bytes[0] << 8) | rec.bytes[1]) == next;
    EXPECT_EQ(next, 700) << "replies in the order taken, each once";
}

size_t lines(const std::string& path) {
    const std::string text = testsupport::readFile(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A disk that is full while `full` holds: the first write then takes half its bytes, the others
// fail with ENOSPC, and are counted.
std::atomic<bool> full{false};
std::atomic<int> fullWrites{0};
ssize_t diskWrite(int fd, const void* bytes, size_t n) {
    if (!full)
        return ::write(fd, bytes, n);
    if (fullWrites++ == 0)
        return ::write(fd, bytes, n / 2);
    errno = ENOSPC;
    return -1;
}

// A full disk pauses the capture with one ERROR line, however often it tries again; with room
// again it goes on by itself, without a record to wake it, in the ring's next file, with one INFO
// line. Every record is in a file or counted where the capture went on, and every file reads
// alone. A stop ends a paused capture.
TEST(ExchangeCapture, AFullDiskPausesTheCaptureWhichGoesOnInTheRingsNextFile) {
    testsupport::ScratchDir dir("capture_full");
    testsupport::LogCapture log("exchangeCapture");
    const std::string file = dir / "full.exchange";
    capture::Settings s = settings(file, 1 << 20, 4);
    s.retryEvery = std::chrono::milliseconds(20);
    s.writeEvery = std::chrono::milliseconds(20);
    s.fileWrite = diskWrite;
    ASSERT_TRUE(capture::start(s));
    uint8_t reply[128] = {'A', 'O', 'I'};
    const auto cycles = [&](int n) {
        for (int i = 0; i < n; ++i, ++reply[9]) {
            captureTxEnd(captureTxBegin(kFrame, sizeof kFrame), sizeof kFrame, Kind::Tx);
            captureBytes(Kind::Rx, reply, sizeof reply);
        }
    };
    const auto logged = [&](int priority) {
        size_t n = 0;
        for (const testsupport::LogCapture::Line& l : log.lines())
            n += l.priority == priority;
        return n;
    };
    const int ERROR = log4cpp::Priority::ERROR, INFO = log4cpp::Priority::INFO;
    cycles(3);
    ASSERT_TRUE(testsupport::waitFor([&] { return lines(file) == 1 + 2 + 6; }));
    full = true;
    cycles(4);  // the writes that find the disk full, then records of the pause
    ASSERT_TRUE(testsupport::waitFor([&] { return logged(ERROR) == 1; }));
    cycles(5);
    const int tries = fullWrites;
    ASSERT_TRUE(testsupport::waitFor([&] { return fullWrites >= tries + 3; }));
    full = false;
    ASSERT_TRUE(testsupport::waitFor([&] { return logged(INFO) == 2; }));  // started, resumed
    cycles(2);
    ASSERT_TRUE(testsupport::waitFor([&] { return lines(file) == 5 + 4; }));
    full = true;  // a second pause, then the stop
    cycles(1);
    ASSERT_TRUE(testsupport::waitFor([&] { return logged(ERROR) == 2; }));
    EXPECT_TRUE(capture::stop());
    EXPECT_FALSE(capture::gOn.load());
    capture::shutdown();
    full = false;

    EXPECT_EQ(logged(INFO), 3u) << "started, resumed once, ended";
    const std::vector<exchangefile::Record> before = readAlone(file + ".1");
    const std::vector<exchangefile::Record> after = readAlone(file);
    EXPECT_EQ(kinds(after).front(), Kind::Start);
    const std::string text = testsupport::readFile(file);
    const size_t note = text.find(" records dropped here");
    ASSERT_NE(note, std::string::npos) << text;
    const size_t dropped = std::stoul(text.substr(text.rfind('#', note) + 2));
    EXPECT_EQ(before.size() - 2 + dropped + after.size() - 2, 2u * 14) << "records of 14 cycles";
    EXPECT_NE(access((file + ".2").c_str(), F_OK), 0) << "the tries left no file";
}

// More records than the queue holds while the writer takes none (held behind a frame whose write
// has not ended): those past the bound are dropped and counted once, where they would have
// stood, and borl-decode reports the same count at that place.
TEST(ExchangeCapture, RecordsPastAFullQueueAreCountedWhereTheyWouldHaveStood) {
    testsupport::ScratchDir dir("capture_full");
    const std::string file = dir / "full.exchange";
    ASSERT_TRUE(capture::start(settings(file, 64 << 20, 1)));
    const capture::TxTicket held = captureTxBegin(kFrame, sizeof kFrame);
    constexpr uint64_t kRecorded = 20000;
    for (uint64_t i = 0; i < kRecorded; ++i)
        captureEvent(Kind::Online);
    captureTxEnd(held, sizeof kFrame, Kind::Tx);
    capture::shutdown();

    exchangefile::Reader reader(testsupport::readFile(file));
    exchangefile::Record r;
    uint64_t kept = 0;
    while (reader.next(r) == exchangefile::Reader::Got)
        kept += r.kind == Kind::Online;
    const exchangefile::Dropped dropped = reader.takeDropped();
    EXPECT_GT(dropped.count, 0u);
    EXPECT_EQ(kept + dropped.count, kRecorded);
    testsupport::Process decode({testsupport::builtBinary("borl-decode"), "--json", file});
    ASSERT_EQ(decode.wait(std::chrono::seconds(60)), 0) << decode.err().text();
    const auto summary = nlohmann::json::parse(decode.out().lines().back())["summary"];
    EXPECT_EQ(summary["dropped_records"]["count"], dropped.count);
    EXPECT_EQ(summary["dropped_records"]["at"][0]["line"], dropped.line);
}

}  // namespace
