// The capture in-process: its start, end and failure one capture at a time, and the ring of
// files, each of which reads alone and none of which cuts a reply from its frame.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchangeCapture.h"
#include "exchangeFile.h"
#include "logCapture.h"
#include "testSupport.h"

namespace {

using exchangefile::Kind;
using exchangefile::Record;

// The records of one file read alone; a failure when it does not read to its end.
std::vector<Record> readAlone(const std::string& path) {
    std::vector<Record> out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0)
        return out;
    exchangefile::Reader reader(fd);
    Record r;
    exchangefile::Reader::Result got;
    while ((got = reader.next(r)) == exchangefile::Reader::Got)
        out.push_back(r);
    EXPECT_EQ(got, exchangefile::Reader::End)
        << path << ":" << reader.line() << ": " << reader.why();
    close(fd);
    return out;
}

std::vector<Kind> kinds(const std::vector<Record>& records) {
    std::vector<Kind> out;
    for (const Record& r : records)
        out.push_back(r.kind);
    return out;
}

capture::Settings settings(const std::string& file, uint64_t maxSize = capture::kDefaultMaxSize,
                           unsigned files = capture::kDefaultFiles) {
    capture::Settings s;
    s.file = file;
    s.maxSize = maxSize;
    s.files = files;
    s.startFields = "version=test port=/dev/ttyS2";
    s.openPort = "/dev/ttyS2";
    return s;
}

// A capture that fails while the next is already started (the writer held behind a frame whose
// write has not ended, so that the failure comes after the toggle): the failure ends its own
// capture only; the toggle ends the one that runs; a capture starts again after all that.
TEST(ExchangeCapture, AFailureEndsItsOwnCaptureOnlyAndTheToggleEndsTheOneThatRuns) {
    testsupport::ScratchDir dir("capture_commands");
    testsupport::LogCapture log("exchangeCapture");
    const uint8_t frame[128] = {'A', 'I', 'O'};
    uint8_t reply[128] = {'A', 'O', 'I'};
    // The first capture's ring cannot turn: FILE.1 is a directory that is not empty.
    testsupport::writeFile(dir / "first.exchange.1/keep", "x");
    ASSERT_TRUE(capture::start(settings(dir / "first.exchange", capture::kMinMaxSize, 2)));
    EXPECT_FALSE(capture::start(settings(dir / "other.exchange"))) << "one runs already";
    const capture::TxTicket held = captureTxBegin(frame, sizeof frame);
    ASSERT_NE(held.generation, 0u);
    for (int i = 0; i < 20; ++i) {  // more than a file of 4096 bytes holds
        reply[9] = static_cast<uint8_t>(i);
        captureBytes(Kind::Rx, reply, sizeof reply);
    }
    EXPECT_TRUE(capture::stop());  // SIGUSR1: the capture that runs ends ...
    ASSERT_TRUE(capture::start(settings(dir / "second.exchange")));  // ... the next starts
    captureEvent(Kind::Online);
    captureTxEnd(held, sizeof frame, Kind::Tx);
    ASSERT_TRUE(testsupport::waitFor([&] { return log.contains("cannot rotate the file"); }));
    EXPECT_TRUE(capture::gOn.load()) << "the second capture runs on";
    reply[9] = 77;
    captureBytes(Kind::Rx, reply, sizeof reply);
    EXPECT_TRUE(capture::stop());
    EXPECT_FALSE(capture::stop()) << "none runs";
    capture::shutdown();

    const std::vector<Record> second = readAlone(dir / "second.exchange");
    ASSERT_EQ(kinds(second), (std::vector<Kind>{Kind::Start, Kind::Open, Kind::Online, Kind::Rx}));
    EXPECT_EQ(second[3].bytes[9], 77);
    size_t errors = 0;
    for (const testsupport::LogCapture::Line& line : log.lines())
        errors += line.priority == log4cpp::Priority::ERROR;
    EXPECT_EQ(errors, 1u);
    EXPECT_TRUE(log.contains("Capture of the serial exchange ended: " + dir / "second.exchange"));

    // After the daemon's stop, a capture starts again.
    ASSERT_TRUE(capture::start(settings(dir / "third.exchange")));
    captureEvent(Kind::Offline);
    capture::shutdown();
    EXPECT_EQ(kinds(readAlone(dir / "third.exchange")),
              (std::vector<Kind>{Kind::Start, Kind::Open, Kind::Offline}));
}

// A ring of three files of 4096 bytes over sixty cycles: each file reads alone, begins with the
// start and the open port, turns before a frame and never passes its bound; together the files
// hold the last cycles, none lost or doubled.
TEST(ExchangeCapture, RingFilesReadAloneAndTurnAtAFrame) {
    testsupport::ScratchDir dir("capture_ring");
    const std::string file = dir / "ring.exchange";
    testsupport::writeFile(file, "an earlier capture\n");
    ASSERT_TRUE(capture::start(settings(file, capture::kMinMaxSize, 3)));
    const uint8_t frame[128] = {'A', 'I', 'O'};
    uint8_t reply[128] = {'A', 'O', 'I'};
    constexpr int kCycles = 60;
    for (int i = 0; i < kCycles; ++i) {
        captureTxEnd(captureTxBegin(frame, sizeof frame), sizeof frame, Kind::Tx);
        reply[9] = static_cast<uint8_t>(i);
        captureBytes(Kind::Rx, reply, 64);  // a reply in two reads
        captureBytes(Kind::Rx, reply + 64, 64);
    }
    capture::shutdown();

    std::vector<int> cycles;  // the cycle of each reply's first read, over the files in order
    for (const std::string& name : {file + ".2", file + ".1", file}) {
        SCOPED_TRACE(name);
        EXPECT_LE(testsupport::readFile(name).size(), capture::kMinMaxSize);
        const std::vector<Record> records = readAlone(name);
        ASSERT_GE(records.size(), 5u);
        EXPECT_EQ(records[0].kind, Kind::Start);
        EXPECT_EQ(records[1].kind, Kind::Open);
        EXPECT_EQ(records[1].text, "/dev/ttyS2");
        EXPECT_EQ(records[2].kind, Kind::Tx) << "a file begins with a frame";
        for (size_t i = 2; i < records.size(); ++i) {
            if (records[i].kind == Kind::Tx) {
                ASSERT_EQ(records[i].bytes.size(), 128u);
                ASSERT_TRUE(i + 2 < records.size()) << "a reply cut from its frame";
                EXPECT_EQ(records[i + 1].bytes.size() + records[i + 2].bytes.size(), 128u);
                cycles.push_back(records[i + 1].bytes[9]);
            }
        }
    }
    ASSERT_GT(cycles.size(), 6u);
    for (size_t i = 0; i < cycles.size(); ++i)
        EXPECT_EQ(cycles[i], kCycles - static_cast<int>(cycles.size() - i));
    EXPECT_NE(access((file + ".3").c_str(), F_OK), 0) << "the ring keeps three files";
}

}  // namespace
