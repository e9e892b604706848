// Frames built and validated per second, and the cost of mapping one controller data block onto
// the device: a sample event per input, each encoded and queued by the messaging client as in the
// daemon,
// and (for comparison) the same with a client that drops the messages unencoded.
//
// Logging is set up as in production: root priority INFO, so the frame dumps and traces at
// debug are skipped before any formatting; the one info line per valid frame ("Frame valid") is
// formatted and handed to an appender that writes nothing.
#include <benchmark/benchmark.h>

#include <cstring>

#include "cObjectClient.h"
#include "dornDecode.h"
#include "dornManager.h"
#include "logCapture.h"
#include "replyFrames.h"
#include "southDevice.h"
#include "testClient.h"

namespace {

// The real client, never started: send() encodes the message, queues it and, with the queue at
// its limit, drops the oldest, as while vexad is away. The queue must stay at its limit.
bool queueBounded(benchmark::State& state, const cObjectClient& client) {
    state.counters["queued"] = static_cast<double>(client.queued());
    if (client.queued() > cObjectClient::Options().queueLimit) {
        state.SkipWithError("the send queue grew past its limit");
        return false;
    }
    return true;
}

// A controller reply whose data block holds i * 7 at index i.
void makeReply(uint8_t* f) {
    testsupport::Block block;
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    const testsupport::Bytes r = testsupport::reply(block);
    std::memcpy(f, r.data(), kFrameSize);
}

void BM_PollFrame(benchmark::State& state) {
    testsupport::discardLogs(log4cpp::Priority::INFO);
    uint8_t buf[kFrameSize];
    for (auto _ : state) {
        std::memset(buf, 0, sizeof buf);  // as the transmit thread does before every build
        benchmark::DoNotOptimize(getBuffer(buf));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_PollFrame);

void BM_SetFrame(benchmark::State& state) {
    testsupport::discardLogs(log4cpp::Priority::INFO);
    uint8_t buf[kFrameSize];
    int param = 1;
    for (auto _ : state) {
        std::memset(buf, 0, sizeof buf);
        benchmark::DoNotOptimize(getBuffer(buf, 0x19, param));
        benchmark::ClobberMemory();
        param = param == 19 ? 1 : param + 1;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SetFrame);

// One decoder object per frame, as the receive loop makes it. Arg 0: valid reply; 1: checksum
// failure (every check but the last runs); 2: header failure (fails first).
void BM_DecodeReply(benchmark::State& state) {
    testsupport::discardLogs(log4cpp::Priority::INFO);
    uint8_t reply[kFrameSize];
    makeReply(reply);
    if (state.range(0) == 1)
        reply[126] ^= 0x01;
    if (state.range(0) == 2)
        reply[1] = 'I';
    uint8_t resp[kFrameSize];
    uint8_t data[kFrameSize];
    for (auto _ : state) {
        std::memcpy(resp, reply, sizeof resp);  // the decoder clears a valid frame
        std::memset(data, 0, sizeof data);
        dornDecode* d = new dornDecode(head0, head1, head2);
        benchmark::DoNotOptimize(d->decoder(resp, data));
        delete d;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel(state.range(0) == 0 ? "valid" : state.range(0) == 1 ? "checksum" : "header");
}
BENCHMARK(BM_DecodeReply)->Arg(0)->Arg(1)->Arg(2);

// One updater call in the steady state: the capability is no longer published, every input
// publishes a sample event (sample rate 1), the set-points are stored.
template <typename Client>
void runUpdater(benchmark::State& state, Client& client) {
    testsupport::discardLogs(log4cpp::Priority::INFO);
    addCap_status = false;  // past the first five blocks
    SouthDevice dev(&client, 4711, 1, "bench");
    uint8_t data[kFrameSize];
    uint8_t reply[kFrameSize];
    makeReply(reply);
    std::memset(data, 0, sizeof data);
    std::memcpy(data, reply + 9, kDataBlockSize);
    dev.updater(&client, data);  // first readings are not published
    for (auto _ : state) {
        dev.updater(&client, data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// What the daemon pays: the sample events encoded and queued.
void BM_Updater(benchmark::State& state) {
    cObjectClient client;
    runUpdater(state, client);
    queueBounded(state, client);
}
BENCHMARK(BM_Updater);

// The device's part alone: the events built and handed over, counted, not encoded.
void BM_UpdaterWithoutEncoding(benchmark::State& state) {
    testsupport::TestClient client(testsupport::TestClient::Keep::Counts);
    runUpdater(state, client);
}
BENCHMARK(BM_UpdaterWithoutEncoding);

}  // namespace
