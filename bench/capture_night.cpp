// capture_night: writes a capture of simulated nights on the line, exchange file version 2, for
// the decoder's figures (bench/README.md) and its picture (docs/capture-night.png).
//
//   capture_night [--hours H] [--size MB] [--cycle-ms MS] [--seed N] [--steady]
//                 [--set-every MIN] OUT
//
// A night from 22:00 UTC at the production cadence: the temperatures follow the night with the
// controller's flicker of a degree, the run-hour counters count, and at fixed hours the faults a
// field line shows: invalid replies, noise (rejected frame starts), a silent controller (offline),
// a lost port, a stalled line (abandoned frames), a failed write, and two sets, one confirmed and
// one refused until given up. --size repeats nights until the file holds MB megabytes.
// --set-every adds a set every MIN minutes (Fan Pull-in, every fifth refused until given up), for
// a picture of hundreds of sets.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "dornManager.h"
#include "exchangeFile.h"
#include "simFrame.h"

namespace {

using exchangefile::Kind;
constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kHour = 3600 * kSecond;

struct Night {
    std::FILE* out;
    exchangefile::Writer writer;
    std::string buf;
    std::mt19937 random{7};
    uint64_t cycleUs = 2 * kSecond;
    borlsim::Block block{24, 26, 22, 35, 5, 30, 10, 3};  // the set-points first
    bool offline = false;
    bool everOnline = false;
    bool steady = false;    // no flicker: most replies the same as the one before
    uint64_t setEvery = 0;  // minutes between the added sets (0: none)
    int silent = 0;         // cycles without an answer so far
    size_t noise = 0;       // bytes of noise before the next reply

    void record(uint64_t t, Kind kind, const uint8_t* b = nullptr, size_t n = 0, int param = 0,
                int value = 0, const std::string& text = "") {
        writer.append(buf, t, kind, b, n, param, value, text);
        if (buf.size() > (1 << 20)) {
            std::fwrite(buf.data(), 1, buf.size(), out);
            buf.clear();
        }
    }
    void values(uint64_t t);
    void cycle(uint64_t t, int set, int value, bool refuse);
    void fault(uint64_t t, uint64_t minute);
};

// The block at time `t`: set-points stay, counters count, temperatures follow the night.
void Night::values(uint64_t t) {
    const double hours = static_cast<double>(t) / kHour;
    const int f = steady ? 0 : random() % 6 == 0 ? 1 : 0;
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

// One cycle of the daemon's: its frame, and 100 ms later the controller's reply in one or two
// reads.
void Night::cycle(uint64_t t, int set, int value, bool refuse) {
    uint8_t frame[kFrameSize] = {};
    if (set > 0)
        getBuffer(frame, static_cast<uint8_t>(value), set);
    else
        getBuffer(frame);
    record(t, Kind::Tx, frame, kFrameSize);
    const uint8_t junk[] = {0x00, 0x13, 0x7F, 0x41, 0x12, 0x41, 0x4F, 0x02, 0x55, 0x08};
    if (noise > 0)
        record(t + 40000, Kind::Rx, junk, noise);
    noise = 0;
    if (set > 0 && !refuse)
        block[static_cast<size_t>(set - 1)] = static_cast<uint8_t>(value);
    values(t);
    borlsim::Frame reply = borlsim::buildReply(block, refuse ? borlsim::kStatusRefused : 0);
    if (random() % 1200 == 0)
        reply[126] ^= 0x5A;  // a bad checksum now and then
    if (random() % 8 == 0) {
        record(t + 95000, Kind::Rx, reply.data(), 64);
        record(t + 100000, Kind::Rx, reply.data() + 64, 64);
    } else {
        record(t + 100000, Kind::Rx, reply.data(), kFrameSize);
    }
    if (offline || !everOnline)
        record(t + 100000, Kind::Online);
    everOnline = true;
    offline = false;
    silent = 0;
}

}  // namespace

namespace {

// A cycle without an answer; the third in a row takes the controller offline.
void unanswered(Night& n, uint64_t t) {
    if (++n.silent == 3 && !n.offline) {
        n.offline = true;
        n.record(t + n.cycleUs - 1, Kind::Offline);
    }
}

// A set in the first cycle of its minute, or the first three when the controller refuses it;
// false for the other cycles of the minute.
bool setCycle(Night& n, uint64_t t, int param, int value, bool refuse, int& setCycles) {
    if (t % (60 * kSecond) >= n.cycleUs * (refuse ? 3 : 1))
        return false;
    if (setCycles == 0)
        n.record(t - n.cycleUs / 4, Kind::SetRecorded, nullptr, 0, param, value);
    n.cycle(t, param, value, refuse);
    ++setCycles;
    if (!refuse || setCycles == 3) {
        n.record(t + 100001, refuse ? Kind::SetGivenUp : Kind::SetConfirmed, nullptr, 0, param,
                 value);
        setCycles = 0;
    }
    return true;
}

// The faults and sets of minute `minute` of a night of 8 hours, at the cycle at `t`; true when
// the cycle was spent on them.
bool scripted(Night& n, uint64_t t, uint64_t minute, int& setCycles) {
    uint8_t frame[kFrameSize] = {};
    getBuffer(frame);
    if (minute >= 95 && minute < 100) {  // the controller is silent
        n.record(t, Kind::Tx, frame, kFrameSize);
        unanswered(n, t);
        return true;
    }
    if (minute >= 260 && minute < 262) {  // the line does not take frames
        const int sent = static_cast<int>(n.random() % 3) * 40;
        if (sent > 0)
            n.record(t, Kind::Tx, frame, static_cast<size_t>(sent));
        n.record(t + n.cycleUs - 2000, Kind::Abandoned, nullptr, 0, 0, sent);
        unanswered(n, t);
        return true;
    }
    if (minute == 300 && t % (60 * kSecond) < n.cycleUs) {
        n.record(t, Kind::WriteFailed, nullptr, 0, 0, 0, "Input/output error");
        unanswered(n, t);
        return true;
    }
    if (minute >= 50 && minute < 55 && n.random() % 4 == 0) {  // noise: frame starts dropped
        n.noise = 5 + n.random() % 6;
    }
    struct Set {
        uint64_t minute;
        int param, value;
        bool refuse;
    };
    const Set sets[] = {{150, 3, 27, false}, {330, 3, 22, false}, {390, 1, 30, true}};
    const uint64_t added = t / (60 * kSecond) / std::max<uint64_t>(n.setEvery, 1);
    const Set extra{minute, 3, 20 + static_cast<int>(added % 8), added % 5 == 4};
    for (const Set& s : sets) {
        if (minute == s.minute)
            return setCycle(n, t, s.param, s.value, s.refuse, setCycles);
    }
    if (n.setEvery > 0 && t / (60 * kSecond) % n.setEvery == 0)
        return setCycle(n, t, extra.param, extra.value, extra.refuse, setCycles);
    return false;
}

// A night (or several) of `hours` from `from`; stops once the file holds `maxBytes`.
void run(Night& n, double hours, uint64_t maxBytes) {
    const std::string port = "/dev/ttyS2";
    n.record(0, Kind::Start, nullptr, 0, 0, 0,
             exchangefile::startFields({{"version", "1.1.0"},
                                        {"port", port},
                                        {"line", "9600 8N1 RS232"},
                                        {"serial", "4711"}}));
    n.record(1000, Kind::Open, nullptr, 0, 0, 0, port);
    int setCycles = 0;
    const uint64_t end = static_cast<uint64_t>(hours * kHour);
    for (uint64_t t = kSecond; t < end; t += n.cycleUs) {
        if (maxBytes > 0 && static_cast<uint64_t>(std::ftell(n.out)) >= maxBytes)
            break;
        const uint64_t minute = t / (60 * kSecond) % 480;
        if (minute >= 200 && minute < 202) {  // the port is lost for two minutes
            if (t % (60 * kSecond) < n.cycleUs && minute == 200) {
                n.record(t, Kind::Lost, nullptr, 0, 0, 0, "read error: Input/output error");
                n.record(t + 6 * kSecond, Kind::Offline);
                n.offline = true;
            }
            continue;
        }
        if (minute == 202 && t % (60 * kSecond) < n.cycleUs)
            n.record(t - 1000, Kind::Reopen, nullptr, 0, 0, 0, port);
        if (!scripted(n, t, minute, setCycles))
            n.cycle(t, 0, 0, false);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double hours = 8;
    uint64_t maxBytes = 0;
    Night n;
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-'; ++i) {
        const std::string o = argv[i];
        if (o == "--steady") {
            n.steady = true;
            continue;
        }
        const char* v = argv[++i];
        if (o == "--hours")
            hours = std::atof(v);
        else if (o == "--size")
            maxBytes = std::strtoull(v, nullptr, 10) << 20;
        else if (o == "--cycle-ms")
            n.cycleUs = std::strtoull(v, nullptr, 10) * 1000;
        else if (o == "--seed")
            n.random.seed(static_cast<unsigned>(std::atoi(v)));
        else if (o == "--set-every")
            n.setEvery = std::strtoull(v, nullptr, 10);
        else
            break;
    }
    if (i + 1 != argc || n.cycleUs < 200000 || hours <= 0) {
        std::fprintf(stderr,
                     "Usage: capture_night [--hours H] [--size MB] [--cycle-ms MS] [--seed N] "
                     "[--steady] [--set-every MIN] OUT\n");
        return 64;
    }
    if (maxBytes > 0)
        hours = 1e6;  // nights until the size is reached
    n.out = std::fopen(argv[i], "w");
    if (n.out == nullptr) {
        std::perror(argv[i]);
        return 73;
    }
    // 22:00 UTC on the evening of 2026-12-08.
    const std::string head = exchangefile::header(1796767200ull * kSecond) + "\n";
    std::fputs(head.c_str(), n.out);
    run(n, hours, maxBytes);
    std::fwrite(n.buf.data(), 1, n.buf.size(), n.out);
    return std::fclose(n.out) == 0 ? 0 : 74;
}
