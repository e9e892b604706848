// The exchange file's reader and writer in-process: what each version takes and refuses, the
// short form of a repeated frame, a file cut by a power cut, and several files read as one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "exchangeFile.h"

using namespace std::string_literals;

namespace {

using exchangefile::Kind;
using exchangefile::Reader;
using exchangefile::Record;

const std::string kV1 = "borl-exchange 1 wall=2026-12-08T09:00:00.000000Z\n";
const std::string kV2 = "borl-exchange 2 wall=2026-12-08T09:00:00.000000Z\n";

struct Outcome {
    size_t records = 0;
    Reader::Result last = Reader::End;
    size_t line = 0;
    std::string why;
    std::vector<Record> got;
};

Outcome readAll(const std::string& text) {
    Reader reader(text);
    Outcome o;
    Record r;
    while ((o.last = reader.next(r)) == Reader::Got)
        o.got.push_back(r);
    o.records = o.got.size();
    o.line = reader.line();
    o.why = reader.why();
    return o;
}

TEST(ExchangeFile, ReaderTakesWhatEachVersionHasAndRefusesTheRestWithItsLine) {
    const std::string big(1025 * 3, ' ');
    std::string bytes1025;
    for (int i = 0; i < 1025; ++i)
        bytes1025 += " 41";
    struct Case {
        const char* name;
        std::string text;
        Reader::Result last;
        size_t records;
        size_t line;  // of the fault or the cut; 0: not checked
        const char* why;
    };
    const Case cases[] = {
        {"v1 whole", kV1 + "1 start a=b\n5 tx 41 49\n# c\n\n9 rx 41\n10 online\n", Reader::End, 4,
         0, ""},
        {"crlf", kV2 + "1 tx 41\r\n2 rx 4f\r\n", Reader::End, 2, 0, ""},
        {"v2 short form", kV2 + "1 tx 41 49\n2 rx 4F\n3 tx =\n4 rx =\n", Reader::End, 4, 0, ""},
        {"short form first", kV2 + "1 rx 41\n2 tx =\n", Reader::Fault, 1, 3, "tx ="},
        {"short form in v1", kV1 + "1 tx 41\n2 tx =\n", Reader::Fault, 1, 3, "not two hex"},
        {"v2 kinds in v1", kV1 + "1 abandoned 0\n", Reader::Fault, 0, 2, "version 1"},
        {"v2 kinds", kV2 + "1 abandoned 0\n2 tx 41\n3 write-failed 1 Input/output error\n",
         Reader::End, 3, 0, ""},
        {"cut record", kV2 + "1 tx 41\n2 rx 41 4", Reader::Cut, 1, 3, "unfinished"},
        {"cut into NULs", kV2 + "1 tx 41\n2 rx 4" + std::string(5000, '\0'), Reader::Cut, 1, 3,
         "unfinished"},
        {"NUL in a whole line", kV2 + "1 tx 41\0\n"s, Reader::Fault, 0, 2, "NUL"},
        {"time goes back", kV2 + "5 tx 41\n4 rx 41\n", Reader::Fault, 1, 3, "before"},
        {"too many bytes", kV2 + "1 tx" + bytes1025 + "\n", Reader::Fault, 0, 2, "1024"},
        {"line too long", kV2 + "1 start " + big + big + "x\n", Reader::Fault, 0, 2, "longer"},
        {"parameter 0", kV2 + "1 set-recorded 0 5\n", Reader::Fault, 0, 2, "parameter"},
        {"value 256", kV2 + "1 set-confirmed 3 256\n", Reader::Fault, 0, 2, "value"},
        {"count past bound", kV2 + "1 abandoned 1025\n", Reader::Fault, 0, 2, "count"},
        {"text past bound", kV2 + "1 lost " + std::string(257, 'x') + "\n", Reader::Fault, 0, 2,
         "text"},
        {"online with fields", kV2 + "1 online now\n", Reader::Fault, 0, 2, "nothing"},
        {"unknown version", "borl-exchange 3 wall=2026-12-08T09:00:00.000000Z\n", Reader::Fault, 0,
         1, "version"},
        {"empty", "", Reader::Fault, 0, 1, "empty"},
        {"binary",
         std::string("\x7f"
                     "ELF\x01\x01\n",
                     7),
         Reader::Fault, 0, 1, "not an exchange"},
        {"zeros", std::string(2 << 20, '\0'), Reader::Fault, 0, 1, "NUL"},
        {"cut version line", "borl-exchange 2 wa", Reader::Cut, 0, 1, "unfinished"},
    };
    for (const Case& c : cases) {
        const Outcome o = readAll(c.text);
        EXPECT_EQ(o.last, c.last) << c.name << ": " << o.why;
        EXPECT_EQ(o.records, c.records) << c.name;
        if (c.line != 0) {
            EXPECT_EQ(o.line, c.line) << c.name;
        }
        EXPECT_NE(o.why.find(c.why), std::string::npos) << c.name << ": " << o.why;
    }
    // The short form reads back as the bytes it stands for.
    const Outcome same = readAll(cases[2].text);
    ASSERT_EQ(same.records, 4u);
    EXPECT_EQ(same.got[2].bytes, same.got[0].bytes);
    EXPECT_EQ(same.got[3].bytes, same.got[1].bytes);
}

TEST(ExchangeFile, WriterShortensOnlyARepeatOfItsDirectionAndEachFileReadsAlone) {
    exchangefile::Writer writer;
    const uint8_t a[] = {0x41, 0x49, 0x4F};
    const uint8_t b[] = {0x41, 0x4F};
    std::string text = kV2;
    writer.append(text, 1, Kind::Tx, a, 3, 0, 0, "");
    writer.append(text, 2, Kind::Rx, a, 3, 0, 0, "");  // the other direction: whole
    writer.append(text, 3, Kind::Tx, a, 3, 0, 0, "");
    writer.append(text, 4, Kind::Tx, b, 2, 0, 0, "");
    writer.append(text, 5, Kind::Abandoned, nullptr, 0, 0, 2, "");
    writer.append(text, 6, Kind::Tx, b, 2, 0, 0, "");
    EXPECT_EQ(text.substr(kV2.size()),
              "1 tx 41 49 4F\n2 rx 41 49 4F\n3 tx =\n4 tx 41 4F\n5 abandoned 2\n6 tx =\n");
    std::string next = kV2;
    writer.restart();
    writer.append(next, 7, Kind::Tx, b, 2, 0, 0, "");
    EXPECT_EQ(next.substr(kV2.size()), "7 tx 41 4F\n");
    const Outcome o = readAll(text);
    ASSERT_EQ(o.records, 6u);
    EXPECT_EQ(o.got[5].bytes, std::vector<uint8_t>(b, b + 2));
    EXPECT_EQ(o.got[4].value, 2);
}

TEST(ExchangeFile, SequenceReadsTheFilesOfACaptureInTimeOrderAsOne) {
    char dir[] = "/tmp/exchangefile-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d(dir);
    // A ring of two files, given newest first; the older one was cut by a power cut.
    std::ofstream(d + "/c.1") << kV2 << "1000 start serial=1\n1500 tx 41\n2000 rx 4";
    std::ofstream(d + "/c") << kV2 << "3000 start serial=1\n3500 tx 41\n";
    std::ofstream(d + "/late") << "borl-exchange 2 wall=2026-12-08T09:00:01.000000Z\n5 tx 41\n";
    struct Case {
        std::vector<std::string> files;
        std::vector<uint64_t> times;
        exchangefile::Sequence::Result last;
    };
    using S = exchangefile::Sequence;
    const Case cases[] = {
        {{d + "/c", d + "/c.1"}, {1000, 1500, 3000, 3500}, S::End},
        {{d + "/late", d + "/c"}, {3000, 3500, 1000005}, S::End},
        {{d + "/c", d}, {}, S::Unreadable},
        {{d + "/missing"}, {}, S::Unreadable},
    };
    for (const Case& c : cases) {
        S sequence(c.files);
        std::vector<uint64_t> times;
        Record r;
        S::Result got;
        while ((got = sequence.next(r)) == S::Got || got == S::Cut) {
            if (got == S::Got) {
                times.push_back(r.t);
            } else {
                EXPECT_EQ(sequence.line(), 4u) << sequence.file();
            }
        }
        EXPECT_EQ(got, c.last) << c.files[0] << ": " << sequence.why();
        EXPECT_EQ(times, c.times) << c.files[0];
    }
    EXPECT_EQ(std::system(("rm -rf " + d).c_str()), 0);
}

}  // namespace
