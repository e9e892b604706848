// The receive side of the serial link: bytes from the line go one at a time through the frame
// gatherer, every complete frame through the manager's frame handling (decoder, updater,
// online status, set confirmation) as the receive loop does it.
//
// Input: byte 0 chooses which faults of a complete frame are mended before it is handed over
// (bit 0 terminator, bit 1 end byte, bit 2 checksum), so that the fuzzer reaches the updater
// with valid frames and the decoder with each single fault; byte 1 (port = value % 9, 0 none)
// and byte 2 (value) put a set-point write in front of the frames; the rest is the line.
//
// Checks: a frame is accepted exactly when it has the controller's header and terminator, the
// right checksum and the end byte; a pending set ends exactly when a valid reply shows its value
// at data block index port - 1; every message the device sends encodes.
#include <cstdint>
#include <cstring>
#include <string>

#include "dornManager.h"
#include "fuzzSupport.h"
#include "southDevice.h"

using fuzzsupport::EncodingClient;

namespace {

constexpr uint32_t kSerial = 4711;

dornManager* manager() {
    static dornManager* m = [] {
        fuzzsupport::quietLogging();
        fuzzsupport::enterScratchRoot();  // no configuration file: the manager keeps defaults
        dornManager* mgr = new dornManager();
        fuzzsupport::quietLogging();  // the manager's start may have touched the set-up
        return mgr;
    }();
    return m;
}

uint8_t frameSum(const uint8_t* f) {
    unsigned sum = 0;
    for (int i = 0; i < 126; ++i)
        sum += f[i];
    return static_cast<uint8_t>(0xFF - (sum & 0xFF));
}

void mend(uint8_t* f, uint8_t how) {
    if (how & 1) {
        f[123] = 'O';
        f[124] = 'A';
        f[125] = 'I';
    }
    if (how & 2)
        f[127] = 0xA5;
    if (how & 4)
        f[126] = frameSum(f);
}

bool validReply(const uint8_t* f) {
    return f[0] == 'A' && f[1] == 'O' && f[2] == 'I' && f[123] == 'O' && f[124] == 'A' &&
           f[125] == 'I' && f[126] == frameSum(f) && f[127] == 0xA5;
}

struct Pending {
    bool status;
    int port;
    uint8_t value;
};

Pending pending() {
    std::lock_guard<std::mutex> lock(mSetMutex);
    return Pending{changeVal_status, changePort, changeVal};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    dornManager* m = manager();

    // A fresh device and link state for every input, so that each input replays alone.
    count = 0;
    addCap_status = true;
    {
        std::lock_guard<std::mutex> lock(mSetMutex);
        changeVal_status = false;
        changeVal = 0;
        changePort = 0;
    }
    EncodingClient client;
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
        m->pickUpSet();
        const Pending p = pending();
        FUZZ_CHECK(p.status && p.port == setPort && p.value == data[2], "pick-up");
    }

    FrameGatherer rx;
    for (size_t i = 3; i < size; ++i) {
        const int before = rx.idx;
        switch (rx.push(data[i])) {
            case FrameGatherer::More:
                FUZZ_CHECK(rx.idx == before + 1 && rx.idx < kFrameSize, std::to_string(rx.idx));
                break;
            case FrameGatherer::Rejected:
                FUZZ_CHECK(before >= 4 && rx.idx == 0, std::to_string(before));
                break;
            case FrameGatherer::Complete: {
                FUZZ_CHECK(before == kFrameSize - 1, std::to_string(before));
                mend(rx.respbuff, how);
                uint8_t frame[kFrameSize];
                memcpy(frame, rx.respbuff, sizeof frame);
                const bool expectValid = validReply(frame);
                const Pending was = pending();

                const bool valid = m->handleFrame(rx.respbuff);
                FUZZ_CHECK(valid == expectValid, "decoder verdict");

                const Pending now = pending();
                const bool confirms =
                    valid && was.status && frame[8 + was.port] == was.value;  // port 1..8 here
                if (was.status)
                    FUZZ_CHECK(now.status == !confirms, "confirmation");
                else
                    FUZZ_CHECK(!now.status, "a set appeared from nowhere");
                rx.restart();
                break;
            }
        }
    }

    m->devA = nullptr;
    m->mObjectClient = nullptr;
    return 0;
}
