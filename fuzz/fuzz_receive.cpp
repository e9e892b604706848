// The receive side of the serial link: the line's bytes go through the link's receive step
// (frame gathering, then the reply check, updater, online status and set confirmation for every
// complete frame), exactly as the receive loop hands them over.
//
// Input: byte 0 chooses which faults of a complete frame are mended before the bytes are handed
// over (bit 0 terminator, bit 1 end byte, bit 2 checksum), so that the fuzzer reaches the
// updater with valid frames and the decoder with each single fault; byte 1 (port = value % 9,
// 0 none) and byte 2 (value) put a set-point write in front of the frames, whose set frame goes
// out before the line's bytes arrive; the rest is the line.
//
// Checks, against a model of the gathering worked out beforehand: exactly the frames with the
// controller's header and terminator, the right checksum and the end byte are accepted; a
// pending set ends exactly when a valid reply shows its value at data block index port - 1, or
// is given up after ten valid replies without it; every message the device sends encodes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dornManager.h"
#include "fuzzSupport.h"
#include "inProcess.h"
#include "replyFrames.h"
#include "southDevice.h"
#include "testClient.h"

namespace {

constexpr uint32_t kSerial = 4711;

void mend(uint8_t* f, uint8_t how) {
    if (how & 1) {
        f[123] = 'O';
        f[124] = 'A';
        f[125] = 'I';
    }
    if (how & 2)
        f[127] = 0xA5;
    if (how & 4)
        testsupport::resum(f);
}

bool validReply(const uint8_t* f) {
    return f[0] == 'A' && f[1] == 'O' && f[2] == 'I' && f[123] == 'O' && f[124] == 'A' &&
           f[125] == 'I' && f[126] == testsupport::frameChecksum(f) && f[127] == 0xA5;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    dornManager* m = fuzzsupport::manager();

    // A fresh device and link state for every input, so that each input replays alone.
    testsupport::resetExchangeState(m);
    testsupport::TestClient client(testsupport::TestClient::Keep::Counts);
    client.onSend = fuzzsupport::checkEncodes;
    SouthDevice device(&client, kSerial, 1, "fuzz");
    m->devA = &device;
    m->mObjectClient = &client;

    const uint8_t how = data[0];
    const int setPort = data[1] % 9;
    if (setPort != 0) {
        {
            std::lock_guard<std::mutex> lock(device.mMutex);
            device.portNum = setPort;
            device.setValues[setPort] = static_cast<float>(data[2]);
        }
        m->link().pickUpSet();
        const proto::PendingSet p = m->link().pending();
        FUZZ_CHECK(p.changeVal_status && p.changePort == setPort && p.changeVal == data[2],
                   "pick-up");
        const TxFrame frame = m->link().nextFrame();
        FUZZ_CHECK(frame.isSet && frame.port == setPort, "set frame");
        m->link().frameWritten(TxOutcome::whole(frame.len));
    }

    // The model: where frames complete (gathering looks at the header bytes and positions only,
    // which mending leaves alone), the mended line, and what the frames must do.
    std::vector<uint8_t> line(data + 3, data + size);
    proto::ReplyGatherer model;
    uint64_t expectValid = 0;
    proto::PendingSet expect = m->link().pending();
    int replies = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const int before = model.idx;
        switch (model.push(line[i])) {
            case proto::ReplyGatherer::More:
                FUZZ_CHECK(model.idx == before + 1 && model.idx < kFrameSize,
                           std::to_string(model.idx));
                break;
            case proto::ReplyGatherer::Rejected:
                FUZZ_CHECK(before >= 4 && model.idx == 0, std::to_string(before));
                break;
            case proto::ReplyGatherer::Complete: {
                FUZZ_CHECK(before == kFrameSize - 1, std::to_string(before));
                uint8_t* frame = model.respbuff;
                mend(frame, how);
                std::memcpy(&line[i + 1 - kFrameSize], frame, kFrameSize);
                if (validReply(frame)) {
                    ++expectValid;
                    if (expect.changeVal_status) {
                        if (frame[8 + expect.changePort] == expect.changeVal ||
                            ++replies == proto::LinkMachine::kSetReplies)
                            expect.changeVal_status = false;
                    }
                }
                model.restart();
                break;
            }
        }
    }

    const uint64_t validBefore = m->link().stats().validReplies;
    m->link().receiveBytes(line.data(), line.size());
    FUZZ_CHECK(m->link().stats().validReplies - validBefore == expectValid, "decoder verdicts");
    FUZZ_CHECK(m->link().pending().changeVal_status == expect.changeVal_status, "confirmation");

    m->devA = nullptr;
    m->mObjectClient = nullptr;
    return 0;
}
