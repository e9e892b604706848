// capture_night: writes a capture of simulated nights on the line, exchange file version 2, for
// borl-decode's figures (bench/README.md), its picture (docs/capture-night.png) and borl-replay.
//
//   capture_night [--hours H] [--size MB] [--cycle-ms MS] [--seed N] [--steady]
//                 [--set-every MIN] OUT
//
// The daemon's own exchange rules (protocol/linkMachine.h) run against a simulated controller,
// with the time passed in: the tx records are the frames the rules chose, the rx records the
// controller's bytes as the daemon's reads take them, and online, offline, the sets' outcomes,
// the port lost and back are the rules' events, recorded as the daemon records them. So a night
// of this generator replays as matched, and every fault in it is one the daemon meets on a line.
//
// A night from 22:00 UTC at the production timing: the temperatures follow the night with the
// controller's flicker of a degree, the run-hour counters count, and at fixed minutes of every
// 8 hours the faults a field line shows: noise (rejected frame starts), a silent controller
// (offline), the port lost for two minutes, a stalled line (abandoned frames), a failed write,
// an invalid checksum now and then, and three sets, two confirmed and one the controller refuses
// until it is given up. --size repeats nights until the file holds MB megabytes. --set-every
// adds a set every MIN minutes (Fan Pull-in, every fifth refused until given up), for a picture
// of hundreds of sets.
#include <getopt.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "exchangeFile.h"
#include "linkMachine.h"
#include "simFrame.h"

namespace {

using exchangefile::Kind;
using proto::WriteResult;

constexpr uint64_t kMinuteMs = 60000;
constexpr uint64_t kHourMs = 60 * kMinuteMs;
constexpr uint64_t kNightMinutes = 480;  // the faults come again every 8 hours
constexpr unsigned kReplyMs = 100;       // the controller answers about this long after a frame
constexpr const char* kPort = "/dev/ttyS2";
constexpr const char* kLineFault = "Input/output error";

const char kUsage[] =
    "Usage: capture_night [--hours H] [--size MB] [--cycle-ms MS] [--seed N] [--steady]\n"
    "                     [--set-every MIN] OUT\n"
    "Writes simulated nights on the line from 22:00 UTC into the exchange file OUT, made by the\n"
    "daemon's own exchange rules against a simulated controller, with the faults of a field line\n"
    "every 8 hours (noise, a silent controller, the port lost, a stalled line, a failed write,\n"
    "bad checksums, sets confirmed and given up).\n"
    "\n"
    "      --hours H       the capture's length in hours (default 8)\n"
    "      --size MB       nights until the file holds MB megabytes (instead of --hours)\n"
    "      --cycle-ms MS   an answered cycle of MS ms, 200 or more: the daemon's pause is\n"
    "                      MS - 100 (default 1100, the production pause of 1 s)\n"
    "      --seed N        the seed of the controller's flicker and the line's faults\n"
    "      --steady        no flicker: most replies are the same as the one before\n"
    "      --set-every MIN also a set every MIN minutes (every fifth refused until given up)\n"
    "  -h, --help          show this help and exit\n"
    "\n"
    "Exit status: 0 written, 64 bad usage, 73 OUT cannot be created, 74 OUT cannot be written.\n";

struct Options {
    double hours = 8;
    uint64_t maxBytes = 0;  // 0: --hours decides
    unsigned cycleMs = 1000 + kReplyMs;
    unsigned seed = 7;
    bool steady = false;
    uint64_t setEvery = 0;  // minutes between the added sets (0: none)
    std::string out;
};

// The capture's file, its records formatted as the daemon's writer formats them. A record's
// time is the rules' millisecond with microseconds of its own, never before the record above;
// the capture's t = 0, where its start record stands, is on a whole millisecond.
class Output {
public:
    explicit Output(std::FILE* file) : mFile(file) {}
    void record(uint64_t ms, Kind kind, const uint8_t* bytes = nullptr, size_t n = 0, int param = 0,
                int value = 0, const char* text = "") {
        mLastUs = std::max(mLastUs, ms == 0 ? 0 : ms * 1000 + mJitter() % 1000);
        const size_t before = mBuf.size();
        mWriter.append(mBuf, mLastUs, kind, bytes, n, param, value, text);
        mBytes += mBuf.size() - before;
        if (mBuf.size() >= (1u << 20))
            flush();
    }
    uint64_t bytes() const { return mBytes; }
    void flush() {
        mFailed = mFailed || std::fwrite(mBuf.data(), 1, mBuf.size(), mFile) != mBuf.size();
        mBuf.clear();
    }
    bool close() {
        flush();
        return std::fclose(mFile) == 0 && !mFailed;
    }
    void head(const std::string& text) {
        mBuf += text;
        mBytes += text.size();
    }

private:
    std::FILE* mFile;
    exchangefile::Writer mWriter;
    std::string mBuf;
    uint64_t mLastUs = 0;
    uint64_t mBytes = 0;
    bool mFailed = false;
    std::minstd_rand mJitter{11};
};

// The controller at the other end of the line: its data block follows the night, and it answers
// each frame that reaches it whole, built and checked with the simulator's own frame code.
struct Controller {
    borlsim::Block block{24, 26, 22, 35, 5, 30, 10, 3};  // the set-points first
    int refusedParam = 0;                                // a set it will not take
    int refusedValue = -1;
    uint8_t lastFrame[kFrameSize] = {};  // the frame it checked last, and what it asked for
    borlsim::Request lastRequest;

    void values(uint64_t ms, int flicker);
    borlsim::Frame answer(const uint8_t* frame);
};

// The block at `ms`: set-points stay, counters count, temperatures follow the night.
void Controller::values(uint64_t ms, int f) {
    const double hours = static_cast<double>(ms) / kHourMs;
    const double night = std::cos(hours / 24 * 2 * M_PI);  // 22:00 warm, falls to the morning
    const uint8_t internal = static_cast<uint8_t>(24 + 2 * night + f);
    const uint8_t external = static_cast<uint8_t>(14 + 6 * night);
    const uint8_t temps[8] = {internal,
                              external,
                              static_cast<uint8_t>(24 + 2 * night),
                              static_cast<uint8_t>(14 + 6 * night),
                              static_cast<uint8_t>(internal - 9),
                              static_cast<uint8_t>(internal - 8 + f),
                              static_cast<uint8_t>(15 + night),
                              static_cast<uint8_t>(16 + night)};
    std::memcpy(&block[46], temps, sizeof temps);
    block[54] = static_cast<uint8_t>(45 + 8 * std::sin(hours) + f);
    block[55] = static_cast<uint8_t>(45 + 8 * std::sin(hours));
    const unsigned base[9] = {4375, 3980, 2210, 310, 45, 4321, 1500, 12, 3};
    const double rate[9] = {0.6, 0.4, 1, 0.1, 0, 1, 0.3, 0, 0};
    for (int i = 0; i < 9; ++i) {
        const unsigned h = base[i] + static_cast<unsigned>(rate[i] * hours);
        block[24 + 2 * i] = static_cast<uint8_t>(h >> 8);
        block[25 + 2 * i] = static_cast<uint8_t>(h & 255);
    }
}

// The reply to a poll, or to a set frame: the value taken, or refused with status 2.
borlsim::Frame Controller::answer(const uint8_t* frame) {
    // The poll frame comes cycle after cycle: checked once.
    if (lastRequest.kind == borlsim::RequestKind::Bad ||
        std::memcmp(frame, lastFrame, kFrameSize) != 0) {
        std::memcpy(lastFrame, frame, kFrameSize);
        lastRequest = borlsim::parseRequest(frame);
    }
    const borlsim::Request& request = lastRequest;
    uint8_t status = borlsim::kStatusOk;
    if (request.kind == borlsim::RequestKind::Set) {
        if (request.param == refusedParam && request.value == refusedValue)
            status = borlsim::kStatusRefused;
        else
            block[static_cast<size_t>(request.param - 1)] = request.value;
    }
    return borlsim::buildReply(block, status);
}

// What reaches the daemon from outside at its time: the controller's bytes on the line, a set
// from vexad, the port's loss.
struct Input {
    enum What { Bytes, Set, Lose } what = Bytes;
    std::vector<uint8_t> bytes;
    int param = 0;
    int value = 0;
    bool refused = false;  // a set the controller will not take
};

// The daemon's two exchange threads around the rules, as the daemon drives them, against the
// controller and the night's script; each step takes the next thing that happens, in time order.
class Simulation : public proto::LinkSink {
public:
    Simulation(const Options& o, Output& out);
    void run();

private:
    void onEvent(const proto::LinkEvent& e) override;
    bool step(uint64_t endMs);
    void transmit();
    void written(WriteResult result, size_t sent);
    void answer(const proto::TxFrame& frame);
    void deliver(Input in);
    void read(const std::vector<uint8_t>& bytes);
    void script(uint64_t minute);
    void scheduleSet(uint64_t minute);
    uint64_t transmitDue() const {
        return std::min(mWriteEnds, mCycleOpen ? m.cycleEnd() : proto::kNever);
    }

    const Options& mOptions;
    Output& mOut;
    proto::ExchangeTiming mTiming;
    proto::LinkMachine m;
    Controller mController;
    std::mt19937 mRandom;
    std::multimap<uint64_t, Input> mInputs;
    std::map<int, float> mSets;  // vexad's requests not yet taken (setValues)
    int mLatest = 0;             // the port of the latest (portNum)
    uint64_t mNow = 0;
    uint64_t mMinute = 0;  // the next minute to script
    bool mReceiving = false;
    bool mCycleOpen = false;
    uint64_t mWriteEnds = proto::kNever;  // a stalled frame's write gives up at its cycle's end
    size_t mStalledSent = 0;
    // The line in the minute at hand.
    bool mSilent = false, mNoisy = false, mStalled = false, mFailWrite = false;
    bool mPortBack = true;  // a re-open of the lost port succeeds
};

Simulation::Simulation(const Options& o, Output& out)
    : mOptions(o), mOut(out), m(*this), mRandom(o.seed) {
    mTiming.pauseMs = o.cycleMs - kReplyMs;
    m.setTiming(mTiming);
}

void Simulation::onEvent(const proto::LinkEvent& e) {
    if ((e.type == proto::LinkEvent::SetGivenUp || e.type == proto::LinkEvent::SetConfirmed) &&
        e.port == mController.refusedParam && e.value == mController.refusedValue)
        mController.refusedParam = 0;  // the controller refuses that set only while it is sent
    proto::EventRecord r{Kind::Online};
    if (!proto::recordOf(e, r))
        return;
    const char* text = r.kind == Kind::Reopen ? kPort : r.text != nullptr ? r.text : "";
    mOut.record(mNow, r.kind, nullptr, 0, r.param, r.value, text);
}

// The capture begins as the daemon starts: its start record with the timing, the port open, the
// first frame at once, the receive loop after the start delay.
void Simulation::run() {
    proto::StartFields fields = {{"version", BORL1D_VERSION},
                                 {"port", kPort},
                                 {"line", "9600 8N1 RS232"},
                                 {"serial", "4711"}};
    for (auto& f : proto::timingFields(mTiming))
        fields.push_back(f);
    for (auto& f : proto::resumeFields(nullptr))
        fields.push_back(f);
    mOut.record(0, Kind::Start, nullptr, 0, 0, 0, exchangefile::startFields(fields).c_str());
    mOut.record(0, Kind::Open, nullptr, 0, 0, 0, kPort);
    const uint64_t endMs =
        mOptions.maxBytes > 0 ? proto::kNever : static_cast<uint64_t>(mOptions.hours * kHourMs);
    script(mMinute++);
    transmit();
    while (step(endMs) && (mOptions.maxBytes == 0 || mOut.bytes() < mOptions.maxBytes)) {
    }
}

// The next thing that happens: the receive loop's start, the end of a write or a cycle, the
// night's next minute, an input, the port's re-open, the rules' due work. False at the end.
bool Simulation::step(uint64_t endMs) {
    const uint64_t minuteAt = mMinute * kMinuteMs;
    const uint64_t inputAt = mInputs.empty() ? proto::kNever : mInputs.begin()->first;
    const uint64_t dueAt = mReceiving ? m.timeout(mNow) : mTiming.startDelayMs;
    const uint64_t next = std::min({transmitDue(), minuteAt, inputAt, dueAt});
    if (next >= endMs)
        return false;
    mNow = std::max(mNow, next);
    if (!mReceiving && mNow >= mTiming.startDelayMs) {
        m.startReceiving(mNow, true);
        mReceiving = true;
    } else if (mWriteEnds <= mNow) {
        mWriteEnds = proto::kNever;
        written(WriteResult::Abandoned, mStalledSent);
    } else if (transmitDue() <= mNow) {
        transmit();
    } else if (minuteAt <= mNow) {
        script(mMinute++);
    } else if (inputAt <= mNow) {
        Input in = std::move(mInputs.begin()->second);
        mInputs.erase(mInputs.begin());
        deliver(std::move(in));
    } else if (m.reopenDue(mNow)) {
        if (mPortBack)
            m.portReopened(mNow);
        else
            m.reopenFailed(mNow);
    }
    return true;
}

// The transmit thread: the cycle that ran out ends, the next begins with the rules' frame, and
// the line takes it whole, in part by the cycle's end, or not at all.
void Simulation::transmit() {
    if (mCycleOpen)
        m.endCycle(mNow);
    const proto::TxFrame& frame = m.beginCycle(mNow);
    mCycleOpen = true;
    if (!m.portOpen())
        return written(WriteResult::NoPort, 0);  // nothing written, nothing recorded
    if (mFailWrite) {
        mFailWrite = false;
        return written(WriteResult::Failed, 0);
    }
    if (mStalled) {
        // The write waits for room until the cycle's end; what reached the line is its record.
        mStalledSent = mRandom() % 3 * 40;
        if (mStalledSent > 0)
            mOut.record(mNow, Kind::Tx, frame.bytes, mStalledSent);
        mWriteEnds = m.cycleEnd();
        return;
    }
    mOut.record(mNow, Kind::Tx, frame.bytes, frame.len);
    written(WriteResult::Whole, frame.len);
    answer(frame);
}

void Simulation::written(WriteResult result, size_t sent) {
    m.frameWritten(mNow, result, sent);
    if (result == WriteResult::Abandoned)
        mOut.record(mNow, Kind::Abandoned, nullptr, 0, 0, static_cast<int>(sent));
    else if (result == WriteResult::Failed)
        mOut.record(mNow, Kind::WriteFailed, nullptr, 0, 0, static_cast<int>(sent), kLineFault);
}

// The controller's answer to a frame it took whole, a reply delay later: now and then with a bad
// checksum, read in two parts one time in eight; noise before it in a noisy minute.
void Simulation::answer(const proto::TxFrame& frame) {
    if (mSilent)
        return;
    mController.values(mNow, mOptions.steady || mRandom() % 6 != 0 ? 0 : 1);
    borlsim::Frame reply = mController.answer(frame.bytes);
    if (mRandom() % 1200 == 0)
        reply[126] ^= 0x5A;
    if (mNoisy && mRandom() % 10 == 0) {
        static const uint8_t junk[] = {0x00, 0x13, 0x7F, 0x41, 0x12, 0x41, 0x4F, 0x02, 0x55, 0x08};
        Input noise;
        noise.bytes.assign(junk, junk + 5 + mRandom() % 6);
        mInputs.emplace(mNow + 40, std::move(noise));
    }
    const uint64_t at = mNow + kReplyMs - 5 + mRandom() % 11;
    const size_t split = mRandom() % 8 == 0 ? 64 : kFrameSize;
    Input first;
    first.bytes.assign(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(split));
    mInputs.emplace(split < kFrameSize ? at - 5 : at, std::move(first));
    if (split < kFrameSize) {
        Input rest;
        rest.bytes.assign(reply.begin() + static_cast<std::ptrdiff_t>(split), reply.end());
        mInputs.emplace(at, std::move(rest));
    }
}

// An input reaches the receive loop; before the loop runs it waits (the bytes in the line, the
// set in vexad's requests).
void Simulation::deliver(Input in) {
    if (!mReceiving) {
        mInputs.emplace(mTiming.startDelayMs, std::move(in));
        return;
    }
    switch (in.what) {
        case Input::Bytes:
            if (m.portOpen())
                read(in.bytes);
            break;
        case Input::Set:
            mSets[in.param] = static_cast<float>(in.value);
            mLatest = in.param;
            if (in.refused) {
                mController.refusedParam = in.param;
                mController.refusedValue = in.value;
            }
            m.pickUpSet(mNow, mSets, mLatest);
            break;
        case Input::Lose:
            m.portLost(mNow, kLineFault);
            for (auto i = mInputs.begin(); i != mInputs.end();)
                i = i->second.what == Input::Bytes ? mInputs.erase(i) : std::next(i);
            break;
    }
}

// The receive loop's reads of bytes waiting on the line: never past the frame being gathered,
// each recorded before the rules take it, and a waiting set picked up after each.
void Simulation::read(const std::vector<uint8_t>& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = std::min(bytes.size() - at, static_cast<size_t>(m.bytesWanted()));
        mOut.record(mNow, Kind::Rx, bytes.data() + at, n);
        m.bytesRead(mNow, bytes.data() + at, n);
        m.pickUpSet(mNow, mSets, mLatest);
        at += n;
    }
}

// What minute `minute` of the capture holds: the faults of its minute of the night, and its set.
void Simulation::script(uint64_t minute) {
    const uint64_t night = minute % kNightMinutes;
    mNoisy = night >= 50 && night < 55;
    mSilent = night >= 95 && night < 100;
    mStalled = night >= 260 && night < 262;
    mFailWrite = night == 300;  // the minute's first frame
    if (night == 200) {
        Input lose;
        lose.what = Input::Lose;
        mInputs.emplace(minute * kMinuteMs + 500, std::move(lose));
        mPortBack = false;
    }
    if (night == 202)
        mPortBack = true;  // the next re-open attempt succeeds
    scheduleSet(minute);
}

// The night's sets, and with --set-every the added ones: from vexad a quarter second into the
// minute.
void Simulation::scheduleSet(uint64_t minute) {
    Input set;
    set.what = Input::Set;
    const struct {
        uint64_t minute;
        int param, value;
        bool refused;
    } kSets[] = {{150, 3, 27, false}, {330, 3, 22, false}, {390, 1, 30, true}};
    bool any = false;
    for (const auto& s : kSets) {
        if (minute % kNightMinutes == s.minute) {
            set.param = s.param;
            set.value = s.value;
            set.refused = s.refused;
            any = true;
        }
    }
    if (!any && mOptions.setEvery > 0 && minute % mOptions.setEvery == 0) {
        const uint64_t k = minute / mOptions.setEvery;
        set.param = 3;
        set.value = 20 + static_cast<int>(k % 8);
        set.refused = k % 5 == 4;
        any = true;
    }
    if (any)
        mInputs.emplace(minute * kMinuteMs + 250, std::move(set));
}

[[noreturn]] void badUsage(const std::string& what) {
    std::fprintf(stderr, "capture_night: %s\nTry 'capture_night --help' for more information.\n",
                 what.c_str());
    std::exit(64);
}

// A number of the command line, within its bounds.
double number(const char* option, const char* text, double lo, double hi) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= lo && v <= hi)) {
        char bounds[64];
        std::snprintf(bounds, sizeof bounds, "a number from %g to %g", lo, hi);
        badUsage(std::string("--") + option + " takes " + bounds + ", not \"" + text + "\"");
    }
    return v;
}

Options parse(int argc, char** argv) {
    static const option kOptions[] = {{"hours", required_argument, nullptr, 'H'},
                                      {"size", required_argument, nullptr, 'S'},
                                      {"cycle-ms", required_argument, nullptr, 'C'},
                                      {"seed", required_argument, nullptr, 'R'},
                                      {"steady", no_argument, nullptr, 'T'},
                                      {"set-every", required_argument, nullptr, 'E'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    Options o;
    opterr = 0;
    int at = 0;
    for (int c; (c = getopt_long(argc, argv, ":h", kOptions, &at)) != -1;) {
        const char* name = kOptions[at].name;
        switch (c) {
            case 'H':
                o.hours = number(name, optarg, 0.001, 1e5);
                break;
            case 'S':
                o.maxBytes = static_cast<uint64_t>(number(name, optarg, 1, 1e6)) << 20;
                break;
            case 'C':
                o.cycleMs = static_cast<unsigned>(number(name, optarg, 200, 60000));
                break;
            case 'R':
                o.seed = static_cast<unsigned>(number(name, optarg, 0, 4294967295.0));
                break;
            case 'T':
                o.steady = true;
                break;
            case 'E':
                o.setEvery = static_cast<uint64_t>(number(name, optarg, 1, 1e6));
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                std::exit(0);
            default:
                badUsage(std::string(c == ':' ? "option needs a value: " : "unknown option: ") +
                         argv[optind - 1]);
        }
    }
    if (optind + 1 != argc)
        badUsage(optind == argc ? "no output file named" : "one output file only");
    o.out = argv[optind];
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::FILE* file = std::fopen(o.out.c_str(), "w");
    if (file == nullptr) {
        std::perror(o.out.c_str());
        return 73;
    }
    Output out(file);
    // 22:00 UTC on the evening of 2026-12-08.
    out.head(exchangefile::header(1796767200ull * 1000000) + "\n");
    Simulation(o, out).run();
    if (!out.close()) {
        std::perror(o.out.c_str());
        return 74;
    }
    return 0;
}
