#include "simController.h"

#include <algorithm>

namespace borlsim {

namespace {

// Starting values of the 19 parameters: parameter p lives at index p - 1, where a set of p
// writes it and where the daemon reads set-point p back. Parameters 1..8 are the set-points the
// daemon publishes; 9..19 are further parameters a set may write.
const uint8_t kSetpoints[kMaxParam] = {24,  // 1 Aircon-1 Pull-in, deg C
                                       26,  // 2 Aircon-2 Drop-out, deg C
                                       22,  // 3 Fan Pull-in, deg C
                                       35,  // 4 High-Temp Drop-out, deg C
                                       7,   // 5 Aircon Rotation
                                       5,   // 6 Aircon-1 power up delay, min
                                       30,  // 7 Aircon Fail Set-point, deg C
                                       10,  // 8 Aircon Test Delay, min
                                       // 9..19
                                       3, 2, 1, 0, 0, 15, 20, 0, 0, 0, 0};
constexpr size_t kRevisionAt = 19;  // the software revision's data block index
constexpr uint8_t kRevision = 42;

// Run-hour counters: where each lies (16 bits, high byte first), its starting value and how many
// hour ticks per counted hour (the units do not all run all the time: AC-2, RH, free-air and
// mains-fail hours grow more slowly).
struct HourCounter {
    size_t at;
    uint16_t start;
    unsigned period;
};
const HourCounter kHours[] = {
    {24, 1234, 1},  // AC-1
    {26, 987, 2},   // AC-2
    {28, 2210, 1},  // fan
    {30, 310, 3},   // RH
    {32, 45, 5},    // RH free-air inhibit
    {34, 4321, 1},  // active mode
    {36, 1500, 2},  // free-air mode
    {38, 12, 7},    // high temperature
    {40, 3, 11},    // mains fail
};

// Temperatures and humidity, one byte each: a measured value drifts around its centre within
// +-span; an average creeps towards the value it averages.
struct Climate {
    size_t at;
    uint8_t centre;
    uint8_t span;
    int averages;  // data block index of the value averaged, or -1 for a measured value
};
const Climate kClimate[] = {
    {46, 24, 4, -1},   // internal temperature
    {47, 18, 8, -1},   // external temperature
    {48, 24, 4, 46},   // average internal
    {49, 18, 8, 47},   // average external
    {50, 14, 4, -1},   // AC-1 temperature
    {51, 15, 4, -1},   // AC-2 temperature
    {52, 14, 4, 50},   // average AC-1
    {53, 15, 4, 51},   // average AC-2
    {54, 45, 10, -1},  // relative humidity
    {55, 45, 10, 54},  // average humidity
};

}  // namespace

ControllerModel::ControllerModel(uint32_t seed, unsigned hoursEvery)
    : mRng(seed), mHoursEvery(hoursEvery) {
    std::copy(std::begin(kSetpoints), std::end(kSetpoints), mBlock.begin());
    mBlock[kRevisionAt] = kRevision;
    for (const HourCounter& h : kHours) {
        mBlock[h.at] = static_cast<uint8_t>(h.start >> 8);
        mBlock[h.at + 1] = static_cast<uint8_t>(h.start);
    }
    for (const Climate& c : kClimate)
        mBlock[c.at] = c.centre;
}

bool ControllerModel::applySet(int param, uint8_t value) {
    if (param < 1 || param > kMaxParam)
        return false;
    mBlock[static_cast<size_t>(param - 1)] = value;
    return true;
}

bool ControllerModel::poke(size_t index, uint8_t value) {
    if (index >= kBlockSize)
        return false;
    mBlock[index] = value;
    mHeld[index] = true;
    for (const HourCounter& h : kHours) {
        if (index == h.at || index == h.at + 1)
            mHeld[h.at] = mHeld[h.at + 1] = true;  // both bytes of the counter
    }
    return true;
}

void ControllerModel::exchange() {
    ++mExchanges;
    if (mHoursEvery != 0 && mExchanges % mHoursEvery == 0)
        tickHours();
    drift();
}

void ControllerModel::tickHours() {
    ++mHourTicks;
    for (const HourCounter& h : kHours) {
        if (mHeld[h.at] || mHourTicks % h.period != 0)
            continue;
        const uint16_t v = static_cast<uint16_t>((mBlock[h.at] << 8 | mBlock[h.at + 1]) + 1);
        mBlock[h.at] = static_cast<uint8_t>(v >> 8);
        mBlock[h.at + 1] = static_cast<uint8_t>(v);
    }
}

void ControllerModel::drift() {
    for (const Climate& c : kClimate) {
        const unsigned r = static_cast<unsigned>(mRng() % 8u);  // drawn for held bytes too
        if (mHeld[c.at])
            continue;
        int v = mBlock[c.at];
        if (c.averages < 0) {
            // A small step now and then (one draw in eight down, one up), pulled back inside
            // the band around the centre.
            v += (r == 1) - (r == 0);
            v = std::clamp(v, c.centre - c.span, c.centre + c.span);
        } else if (r < 2) {
            const int target = mBlock[static_cast<size_t>(c.averages)];
            v += (target > v) - (target < v);
        }
        mBlock[c.at] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
}

namespace {

constexpr uint8_t kStrayByte = 0x00;

class LiveController : public Answerer {
public:
    LiveController(const LiveOptions& o, uint32_t seed)
        : mOpt(o), mModel(seed, static_cast<unsigned>(o.hoursEvery)) {}

    // A poll or a set is answered with the data block after it, a refused set with status 2 and
    // the old value. The reply waits its delay in turn: the controller answers frame by frame.
    Answer answer(const GatherEvent& frame, Clock::time_point now) override {
        const Request& rq = frame.request;
        if (rq.kind == RequestKind::Bad || mOpt.silent)
            return {};  // a silent controller stores nothing and counts nothing
        const bool set = rq.kind == RequestKind::Set;
        if (set && !mOpt.refuse && !mOpt.applyLate)
            mModel.applySet(rq.param, rq.value);
        mModel.exchange();
        const uint8_t status = set && mOpt.refuse ? kStatusRefused : kStatusOk;
        Frame reply = buildReply(mModel.block(), status);
        if (set && !mOpt.refuse && mOpt.applyLate)
            mModel.applySet(rq.param, rq.value);  // shows in the reply to the next frame
        Reply r;
        r.due = now + std::chrono::milliseconds(mOpt.delayMs);
        r.inTurn = true;
        corrupt(reply, r);
        r.bytes.insert(r.bytes.end(), reply.begin(), reply.end());
        r.lines.push_back("tx reply status=" + std::to_string(status));
        return {{}, {std::move(r)}};
    }

    void command(const Command& c) override {
        using Op = Command::Op;
        if (c.op == Op::Silent) {
            mOpt.silent = c.on;
        } else if (c.op == Op::Refuse) {
            mOpt.refuse = c.on;
        } else if (c.op == Op::BadSum) {
            mOpt.badSumEvery = c.n;
            mBadSumCount = 0;
        } else if (c.op == Op::Stray) {
            mOpt.strayEvery = c.n;
            mStrayCount = 0;
        } else if (c.op == Op::Noise) {
            mOpt.noise = c.probability;
        } else if (c.op == Op::Delay) {
            mOpt.delayMs = c.n;
        } else if (c.op == Op::Poke) {
            mModel.poke(c.index, c.value);
        }
    }

private:
    // The faults due for this reply: a stray byte before it, a wrong checksum, noise.
    void corrupt(Frame& frame, Reply& r) {
        if (mOpt.strayEvery != 0 && ++mStrayCount % mOpt.strayEvery == 0) {
            r.bytes.push_back(kStrayByte);
            r.lines.push_back("tx corrupt stray");
        }
        if (mOpt.badSumEvery != 0 && ++mBadSumCount % mOpt.badSumEvery == 0) {
            frame[kFrameSize - 2] = static_cast<uint8_t>(~frame[kFrameSize - 2]);
            r.lines.push_back("tx corrupt badsum");
        }
        if (mOpt.noise <= 0.0)
            return;
        unsigned hit = 0;
        for (uint8_t& b : frame) {
            const double u = static_cast<double>(mModel.rng()()) / 4294967296.0;
            if (u < mOpt.noise) {
                b = static_cast<uint8_t>(b ^ (1u + mModel.rng()() % 255u));
                ++hit;
            }
        }
        if (hit)
            r.lines.push_back("tx corrupt noise n=" + std::to_string(hit));
    }

    LiveOptions mOpt;
    ControllerModel mModel;
    unsigned long mBadSumCount = 0;
    unsigned long mStrayCount = 0;
};

}  // namespace

std::unique_ptr<Answerer> liveController(const LiveOptions& o, uint32_t seed) {
    return std::make_unique<LiveController>(o, seed);
}

}  // namespace borlsim
