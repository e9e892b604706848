// Cost of the receive loop per byte: gathering reply bytes into frames (ReplyGatherer::push),
// handling one complete frame (the exchange's rules: the check, the device's updater with a
// sample event per input, the online status, the set confirmation), and the whole per-byte path of
// the loop with its two system calls (poll and a read) on a socketpair and the loop's own receive
// step (SerialLink::receiveBytes). Messages go to the real messaging client, not
// started: each is encoded and queued as in the daemon, and with the queue at its limit the
// oldest is dropped, as while vexad is away.
//
// Logging is set up as in production: root priority INFO, the one info line per valid frame is
// formatted and handed to an appender that writes nothing.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <vector>

#include "cObjectClient.h"
#include "dornManager.h"
#include "inProcess.h"
#include "logCapture.h"
#include "replyFrames.h"
#include "southDevice.h"

namespace {

// A controller reply whose data block holds i * 7 at index i.
std::vector<uint8_t> reply() {
    testsupport::Block block;
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    return testsupport::reply(block);
}

// 1000 replies back to back; with `noise`, each byte corrupted with that probability.
std::vector<uint8_t> line(double noise) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<uint8_t> bytes;
    const std::vector<uint8_t> r = reply();
    for (int i = 0; i < 1000; ++i) {
        for (uint8_t b : r)
            bytes.push_back(u(rng) < noise ? static_cast<uint8_t>(b ^ (1 + rng() % 255)) : b);
    }
    return bytes;
}

void perByte(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["per_byte"] = benchmark::Counter(
        static_cast<double>(bytes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Gathering alone. Arg: per-mille of corrupted bytes (0: a clean line; 10: 1 %).
void BM_GatherBytes(benchmark::State& state) {
    const std::vector<uint8_t> bytes = line(static_cast<double>(state.range(0)) / 1000.0);
    proto::ReplyGatherer g;
    size_t total = 0;
    for (auto _ : state) {
        for (uint8_t b : bytes) {
            if (g.push(b) == proto::ReplyGatherer::Complete)
                g.restart();
        }
        benchmark::ClobberMemory();
        total += bytes.size();
    }
    perByte(state, total);
}
BENCHMARK(BM_GatherBytes)->Arg(0)->Arg(10);

struct Exchange {
    cObjectClient client;
    dornManager* manager;

    Exchange() {
        testsupport::discardLogs(log4cpp::Priority::INFO);
        addCap_status = false;           // past the first five blocks
        testsupport::privateConfRoot();  // empty: the manager keeps its defaults
        manager = new dornManager();
        manager->devA = new SouthDevice(&client, 4711, 1, "bench");
        manager->mObjectClient = &client;
    }
    ~Exchange() {
        delete manager->devA;
        delete manager;
    }

    // The queue stays at its limit however many frames were handled.
    void checkQueue(benchmark::State& state) const {
        state.counters["queued"] = static_cast<double>(client.queued());
        if (client.queued() > cObjectClient::Options().queueLimit)
            state.SkipWithError("the send queue grew past its limit");
    }
};

// One complete frame handed over by the receive loop. Arg 0: a valid reply (the updater runs and
// publishes a sample event per input); 1: a reply with a bad checksum (reported and dropped).
void BM_HandleFrame(benchmark::State& state) {
    Exchange ex;
    std::vector<uint8_t> frame = reply();
    if (state.range(0) == 1)
        frame[126] ^= 0x01;
    ex.manager->link().receiveBytes(frame.data(), frame.size());  // first readings: not published
    for (auto _ : state)
        ex.manager->link().receiveBytes(frame.data(), frame.size());
    ex.checkQueue(state);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel(state.range(0) == 0 ? "valid" : "checksum");
}
BENCHMARK(BM_HandleFrame)->Arg(0)->Arg(1);

// The receive loop's path for one reply as the loop takes it: a poll, a read of what is there
// (up to the rest of the frame) and the loop's receive step (gathering, and for the complete
// frame its handling and the answer to the transmit thread).
void BM_ReceiveLoopPerReply(benchmark::State& state) {
    Exchange ex;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    const std::vector<uint8_t> frame = reply();
    uint8_t buf[128];
    for (auto _ : state) {
        if (write(sv[1], frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
            state.SkipWithError("write");
            break;
        }
        for (size_t got = 0; got < frame.size();) {
            pollfd p{sv[0], POLLIN, 0};
            const ssize_t n = poll(&p, 1, 250) == 1 ? read(sv[0], buf, frame.size() - got) : -1;
            if (n <= 0) {
                state.SkipWithError("read");
                break;
            }
            ex.manager->link().receiveBytes(buf, static_cast<size_t>(n));
            got += static_cast<size_t>(n);
        }
    }
    ex.checkQueue(state);
    perByte(state, static_cast<size_t>(state.iterations()) * frame.size());
    close(sv[0]);
    close(sv[1]);
}
BENCHMARK(BM_ReceiveLoopPerReply);

}  // namespace
