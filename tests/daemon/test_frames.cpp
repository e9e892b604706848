// The controller frames: the poll and set frames the daemon sends, and the validation and
// unpacking of the controller's reply. Expected frames are written out here byte by byte, not
// derived from the builders.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "dornDecode.h"
#include "dornManager.h"
#include "logCapture.h"
#include "replyFrames.h"

namespace {

using Frame = std::array<uint8_t, kFrameSize>;
// 0xFF minus the byte sum of bytes 0..125, from the simulator's frame code.
using testsupport::frameChecksum;

// The poll frame: "AIO", five zeros, identifier 0x17, 114 zeros, "OIA", checksum, 0xA5.
Frame pollFrame() {
    Frame f{};
    f[0] = 'A';
    f[1] = 'I';
    f[2] = 'O';
    f[8] = 0x17;
    f[123] = 'O';
    f[124] = 'I';
    f[125] = 'A';
    f[126] = 0x36;
    f[127] = 0xA5;
    return f;
}

Frame buildPoll() {
    Frame f{};
    EXPECT_EQ(getBuffer(f.data()), kFrameSize);
    return f;
}

Frame buildSet(uint8_t value, int param) {
    Frame f{};
    EXPECT_EQ(getBuffer(f.data(), value, param), kFrameSize);
    return f;
}

// A reply as the controller sends it, built by the simulator's frame code.
Frame reply(const testsupport::Block& block, uint8_t status = 0) {
    const testsupport::Bytes r = testsupport::reply(block, status);
    Frame f;
    std::copy(r.begin(), r.end(), f.begin());
    return f;
}

testsupport::Block sampleBlock() {
    testsupport::Block block;
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(0x80 + i);
    return block;
}

std::string hex(const Frame& f) {
    std::string s;
    char b[4];
    for (uint8_t v : f) {
        snprintf(b, sizeof b, "%02X ", v);
        s += b;
    }
    return s;
}

}  // namespace

// ---- Outgoing frames ----

TEST(PollFrame, IsTheFixed128Bytes) {
    const Frame expected = pollFrame();
    EXPECT_EQ(frameChecksum(expected.data()), 0x36);  // the fixture itself is consistent
    EXPECT_EQ(hex(buildPoll()), hex(expected));
    // Every poll is the same frame.
    EXPECT_EQ(hex(buildPoll()), hex(expected));
}

TEST(PollFrame, StaysInsideTheBufferWhateverDataSizeHolds) {
    // data_size is a writable global; a wrong value must not write past the 128-byte frame nor
    // over the header.
    const int saved = data_size;
    for (int size : {200, 123, 255, 1000, 0, -5}) {
        SCOPED_TRACE("data_size " + std::to_string(size));
        data_size = size;
        std::array<uint8_t, 2 * kFrameSize> buf{};
        buf.fill(0);
        uint8_t len = getBuffer(buf.data());
        EXPECT_LE(len, kFrameSize);
        for (size_t i = kFrameSize; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], 0) << "byte " << i;
        EXPECT_EQ(buf[0], 'A');
        EXPECT_EQ(buf[8], 0x17);
        EXPECT_EQ(buf[len - 1], 0xA5);
    }
    data_size = saved;
    EXPECT_EQ(hex(buildPoll()), hex(pollFrame()));
}

struct SetCase {
    const char* legend;
    int param;
    uint8_t value;
    uint8_t b3, b4, b5;
    int valueByte;
};

class SetFrame : public ::testing::TestWithParam<SetCase> {};

TEST_P(SetFrame, SelectsTheParameterAndCarriesItsValue) {
    const SetCase& c = GetParam();
    Frame expected = pollFrame();
    expected[3] = c.b3;
    expected[4] = c.b4;
    expected[5] = c.b5;
    expected[c.valueByte] = c.value;
    expected[126] = frameChecksum(expected.data());
    EXPECT_EQ(hex(buildSet(c.value, c.param)), hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, SetFrame,
    ::testing::Values(SetCase{"first set-point", 1, 0x19, 0x10, 0x00, 0x00, 9},
                      SetCase{"last bit of byte 3", 4, 0x23, 0x80, 0x00, 0x00, 12},
                      SetCase{"first bit of byte 4", 5, 0x01, 0x00, 0x01, 0x00, 13},
                      SetCase{"last bit of byte 4", 12, 0xFF, 0x00, 0x80, 0x00, 20},
                      SetCase{"first bit of byte 5", 13, 0x7F, 0x00, 0x00, 0x01, 21},
                      SetCase{"last single bit", 18, 0x42, 0x00, 0x00, 0x20, 26},
                      SetCase{"19 also sets bit 0", 19, 0x05, 0x01, 0x00, 0x40, 27},
                      SetCase{"value zero still selects", 7, 0x00, 0x00, 0x04, 0x00, 15}),
    [](const ::testing::TestParamInfo<SetCase>& param) {
        return "param" + std::to_string(param.param.param);
    });

TEST(SetFrame, ParameterOneValue0x19HasChecksum0x0D) {
    Frame f = buildSet(0x19, 1);
    EXPECT_EQ(f[3], 0x10);
    EXPECT_EQ(f[9], 0x19);
    EXPECT_EQ(f[126], 0x0D);
}

TEST(SetFrame, EveryParameterSetsBitPPlus3AndOnlyItsValueByte) {
    for (int p = 1; p <= 19; ++p) {
        SCOPED_TRACE("parameter " + std::to_string(p));
        Frame f = buildSet(0xAA, p);
        uint32_t field = f[3] | (f[4] << 8) | (f[5] << 16);
        uint32_t want = 1u << (p + 3);
        if (p == 19)
            want |= 1u;
        EXPECT_EQ(field, want);
        for (int i = 9; i <= 122; ++i)
            EXPECT_EQ(f[i], i == 8 + p ? 0xAA : 0x00) << "byte " << i;
        EXPECT_EQ(f[126], frameChecksum(f.data()));
        EXPECT_EQ(f[127], 0xA5);
    }
}

TEST(SetFrame, ParameterOutsideOneToNineteenIsThePollFrame) {
    for (int p : {0, 20, -1, 255, 100000}) {
        SCOPED_TRACE("parameter " + std::to_string(p));
        EXPECT_EQ(hex(buildSet(0x55, p)), hex(pollFrame()));
    }
}

TEST(Checksum, OverNothingIs0xFFAndWrapsModulo256) {
    uint8_t none[1] = {0x12};
    EXPECT_EQ(checksum(none, 0), 0xFF);
    uint8_t bytes[] = {0xFF, 0x01, 0x02};  // sum 0x102: 0xFF - 0x02
    EXPECT_EQ(checksum(bytes, 3), 0xFD);

    dornDecode d(head0, head1, head2);
    EXPECT_EQ(d.checksum(bytes, 3), 0xFD);
    EXPECT_EQ(d.checksum(none, 0), 0xFF);
}

TEST(FrameDump, OneDebugRecordPerByteBetweenHeadAndTail) {
    testsupport::LogCapture log("dornManager");
    buildPoll();
    auto lines = log.messages();
    ASSERT_EQ(lines.size(), 130u);
    EXPECT_EQ(lines.front(), "DORNBuffer(128): ");
    EXPECT_EQ(lines[1], "0x41 ");
    EXPECT_EQ(lines[9], "0x17 ");
    EXPECT_EQ(lines[128], "0xA5 ");
    EXPECT_EQ(lines.back(), "\n");
    for (const auto& r : log.lines())
        EXPECT_EQ(r.priority, log4cpp::Priority::DEBUG);

    log.clear();
    uint8_t none[1] = {0};
    printBuffer(none, 0);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"DORNBuffer(0): ", "\n"}));
}

// ---- Reply validation ----

struct CheckCase {
    const char* legend;
    void (*damage)(Frame&);
    const char* error;  // null: valid
};

class ReplyCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ReplyCheck, ReportsTheFirstFailingCheck) {
    const CheckCase& c = GetParam();
    Frame f = reply(sampleBlock());
    c.damage(f);
    dornDecode d(0x41, 0x49, 0x4F);
    EXPECT_EQ(d.errorStr, nullptr);
    EXPECT_EQ(d.frameCheck(f.data()), c.error == nullptr);
    if (c.error == nullptr) {
        EXPECT_EQ(d.errorStr, nullptr);
    } else {
        ASSERT_NE(d.errorStr, nullptr);
        EXPECT_STREQ(d.errorStr, c.error);
    }
}

const char* const kHeader = "Frame Error: Header mismatch";
const char* const kTerminator = "Frame Error: Terminator mismatch";
const char* const kChecksum = "Checksum fail";
const char* const kClosing = "Closing byte mismatch";

INSTANTIATE_TEST_SUITE_P(
    Frames, ReplyCheck,
    ::testing::Values(CheckCase{"valid", [](Frame&) {}, nullptr},
                      CheckCase{"status byte is not checked",
                                [](Frame& f) {
                                    f[3] = 2;
                                    testsupport::resum(f.data());
                                },
                                nullptr},
                      CheckCase{"own header echoed",
                                [](Frame& f) {
                                    f[1] = 'I';
                                    f[2] = 'O';
                                    testsupport::resum(f.data());
                                },
                                kHeader},
                      CheckCase{"first letter wrong", [](Frame& f) { f[0] = 'B'; }, kHeader},
                      CheckCase{"own terminator echoed",
                                [](Frame& f) {
                                    f[124] = 'I';
                                    f[125] = 'A';
                                    testsupport::resum(f.data());
                                },
                                kTerminator},
                      CheckCase{"header beats checksum",
                                [](Frame& f) {
                                    f[0] = 0;
                                    f[126] ^= 0x01;
                                },
                                kHeader},
                      CheckCase{"header beats terminator",
                                [](Frame& f) {
                                    f[2] = 0;
                                    f[125] = 0;
                                },
                                kHeader},
                      CheckCase{"terminator beats checksum and end byte",
                                [](Frame& f) {
                                    f[123] = 0;
                                    f[126] ^= 0x01;
                                    f[127] = 0;
                                },
                                kTerminator},
                      CheckCase{"data byte flipped", [](Frame& f) { f[40] ^= 0x10; }, kChecksum},
                      CheckCase{"checksum beats end byte",
                                [](Frame& f) {
                                    f[126] ^= 0x80;
                                    f[127] = 0x5A;
                                },
                                kChecksum},
                      CheckCase{"end byte only", [](Frame& f) { f[127] = 0x00; }, kClosing},
                      CheckCase{"all zero", [](Frame& f) { f.fill(0); }, kHeader}),
    [](const ::testing::TestParamInfo<CheckCase>& param) {
        std::string name;
        for (const char* p = param.param.legend; *p; ++p)
            name += isalnum(*p) ? *p : '_';
        return name;
    });

TEST(ReplyCheck, LogsValidAtInfoAndClosingByteAtDebug) {
    testsupport::LogCapture log("dornDecode");
    Frame good = reply(sampleBlock());
    dornDecode d1(head0, head1, head2);
    EXPECT_TRUE(d1.frameCheck(good.data()));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].message, "Frame valid");
    EXPECT_EQ(log.lines()[0].priority, log4cpp::Priority::INFO);

    log.clear();
    Frame badEnd = good;
    badEnd[127] = 0;
    dornDecode d2(head0, head1, head2);
    EXPECT_FALSE(d2.frameCheck(badEnd.data()));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].message, kClosing);
    EXPECT_EQ(log.lines()[0].priority, log4cpp::Priority::DEBUG);

    // The other failures are the caller's to log.
    log.clear();
    Frame badSum = good;
    badSum[126] ^= 1;
    dornDecode d3(head0, head1, head2);
    EXPECT_FALSE(d3.frameCheck(badSum.data()));
    EXPECT_TRUE(log.lines().empty());
}

// ---- Unpacking ----

TEST(Decoder, ValidReplyDeliversTheBlockAndClearsTheReceiveBuffer) {
    const testsupport::Block block = sampleBlock();
    Frame f = reply(block);
    Frame decoded{};
    dornDecode d(head0, head1, head2);
    ASSERT_TRUE(d.decoder(f.data(), decoded.data()));
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(decoded[i], block[i]) << "index " << i;
    for (int i = 60; i < kFrameSize; ++i)
        EXPECT_EQ(decoded[i], 0) << "index " << i;
    EXPECT_EQ(hex(f), hex(Frame{}));
}

TEST(Decoder, InvalidReplyLeavesBothBuffersUntouched) {
    Frame f = reply(sampleBlock());
    f[126] ^= 0xFF;
    const Frame before = f;
    Frame decoded{};
    dornDecode d(head0, head1, head2);
    EXPECT_FALSE(d.decoder(f.data(), decoded.data()));
    EXPECT_STREQ(d.errorStr, kChecksum);
    EXPECT_EQ(hex(f), hex(before));
    EXPECT_EQ(hex(decoded), hex(Frame{}));
}

TEST(Decoder, RefusedSetIsLoggedAndStillDelivered) {
    testsupport::LogCapture log("dornDecode");
    testsupport::Block block = sampleBlock();
    block[0] = 0x19;
    Frame f = reply(block, 2);
    Frame decoded{};
    dornDecode d(head0, head1, head2);
    EXPECT_TRUE(d.decoder(f.data(), decoded.data()));
    EXPECT_EQ(decoded[0], 0x19);
    EXPECT_EQ(decoded[59], block[59]);
    EXPECT_EQ(log.count("COULD NOT SET VALUE!!!"), 1u);

    // Any other status is quiet.
    for (uint8_t status : {0, 1, 3, 0xFF}) {
        log.clear();
        Frame g = reply(block, status);
        dornDecode e(head0, head1, head2);
        EXPECT_TRUE(e.decoder(g.data(), decoded.data()));
        EXPECT_FALSE(log.has("COULD NOT SET VALUE!!!")) << "status " << int(status);
    }
}

TEST(Decoder, ReplyBytesOutsideTheBlockAreNotExamined) {
    Frame f = reply(sampleBlock());
    for (int i = 4; i <= 8; ++i)
        f[i] = 0xEE;
    for (int i = 69; i <= 122; ++i)
        f[i] = 0xDD;
    testsupport::resum(f.data());
    Frame decoded{};
    dornDecode d(head0, head1, head2);
    ASSERT_TRUE(d.decoder(f.data(), decoded.data()));
    EXPECT_EQ(decoded[0], 0x80);
    EXPECT_EQ(decoded[59], 0x80 + 59);
    EXPECT_EQ(decoded[60], 0);
}
