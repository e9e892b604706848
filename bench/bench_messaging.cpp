// Messaging costs: encoding one object per message with the direct writer and with the JSON
// tree side by side, decoding, send() while vexad is away, one poll cycle's burst (a sample
// event per input and the status event) through a real client, and the memory a full queue of 1000
// messages holds.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cObject.h"
#include "cObjectClient.h"
#include "cObjectCodec.h"
#include "cObjectList.h"
#include "logCapture.h"
#include "points.h"
#include "testSupport.h"
#include "treeEncoder.h"

namespace {

cObject* makeSample() {
    auto* s = new cObjectAnalogSample;
    s->setDeviceSerial(123456);
    s->setPortNum(14);
    s->setSeqNum(17);
    s->setSample(23.0f);
    return s;
}

cObject* makeAInput() {
    auto* p = new cObjectAInput;
    p->setDeviceSerial(123456);
    p->setPortId(16);
    p->setPortLabel("Average AC-1 Temperature");
    p->setDisplayUnit("deg C");
    p->setGain(1.0f);
    p->setSampleRate(1);
    p->setSampledValue(21.0f);
    return p;
}

cObject* makeDevice() {
    auto* d = new cObjectDevice;
    d->setDeviceSerial(123456);
    d->setDeviceLabel("BORL1_Retro_Controller");
    d->setVersion(1);
    d->setDeviceType(cObject::TYPE_SNMP);
    d->setDeviceStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
    d->setAnalogInCount(points::kInputs);
    d->setAnalogOutCount(points::kSetpoints);
    return d;
}

cObject* makeCapability() {
    auto* c = new cObjectCapability;
    c->setDeviceSerial(123456);
    c->setCapId(1);
    c->setLabel("DORN25 Software Rev");
    c->setValue("255");
    return c;
}

// A sample of a value with a fraction: the float takes the long way (the daemon's raw controller
// values are whole numbers).
cObject* makeFractionSample() {
    auto* s = static_cast<cObjectAnalogSample*>(makeSample());
    s->setSample(27.1f);
    return s;
}

const std::function<cObject*()> kMakers[] = {makeSample, makeAInput, makeDevice, makeCapability,
                                             makeFractionSample};
const char* const kNames[] = {"sample", "ain", "device", "capability", "sample 27.1"};

// Encoding one message: range(0) the object kind, range(1) 0 for encodeMessage (the direct
// writer), 1 for the JSON tree it is checked against.
void BM_Encode(benchmark::State& state) {
    cObjectList m;
    m.setMsgType(cObjectList::MSG_EVENT);
    m.add(kMakers[state.range(0)]());
    const bool tree = state.range(1) == 1;
    for (auto _ : state) {
        if (tree)
            benchmark::DoNotOptimize(testsupport::encodeMessageTree(m));
        else
            benchmark::DoNotOptimize(vexaobj::encodeMessage(m));
    }
    state.SetLabel(std::string(kNames[state.range(0)]) + (tree ? " tree" : " direct"));
    m.deleteObjects();
}
BENCHMARK(BM_Encode)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}});

void BM_Decode(benchmark::State& state) {
    cObjectList m;
    m.setMsgType(cObjectList::MSG_REPLY);
    m.add(kMakers[state.range(0)]());
    std::string line = vexaobj::encodeMessage(m);
    m.deleteObjects();
    std::string reason;
    for (auto _ : state) {
        cObjectList out;
        benchmark::DoNotOptimize(vexaobj::decodeMessage(line, out, reason));
        out.deleteObjects();
    }
    state.SetLabel(kNames[state.range(0)]);
}
BENCHMARK(BM_Decode)->DenseRange(0, 3);

// send() of one sample event with vexad away: encode, queue, drop the oldest of a full queue.
void BM_SendNoPeer(benchmark::State& state) {
    testsupport::discardLogs(log4cpp::Priority::INFO);
    cObjectClient::Options o;
    o.backoffMinMs = 30000;
    cObjectClient client(o);
    client.start("127.0.0.1", testsupport::freeTcpPort());  // nobody listens
    cObjectList m;
    m.setMsgType(cObjectList::MSG_EVENT);
    m.add(makeSample());
    for (int i = 0; i < 1000; ++i)
        client.send(&m);  // start with the queue full
    for (auto _ : state)
        client.send(&m);
    m.deleteObjects();
}
BENCHMARK(BM_SendNoPeer);

// One poll cycle's messages as the daemon sends them: a sample event per input, one message
// each, and the device's status event, in one batch.
constexpr int kBurst = points::kInputs + 1;
void sendBurst(cObjectClient& client, cObjectDevice& status, uint32_t cycle) {
    cObjectClient::Batch batch(client);
    for (uint32_t port = 1; port < kBurst; ++port) {
        cObjectList m;
        m.setMsgType(cObjectList::MSG_EVENT);
        auto* s = new cObjectAnalogSample;
        s->setDeviceSerial(123456);
        s->setPortNum(port);
        s->setSeqNum(cycle % 100 + 1);
        // Hour counters and raw controller bytes, as the daemon publishes them.
        const bool hours =
            points::input(static_cast<int>(port - 1)).encoding == points::Encoding::U16;
        s->setSample(hours ? static_cast<float>(20000 + cycle % 50)
                           : static_cast<float>((port * 7 + cycle) % 256));
        m.add(s);
        client.send(&m);
        m.deleteObjects();
    }
    cObjectList m;
    m.setMsgType(cObjectList::MSG_EVENT);
    m.add(&status);
    client.send(&m);
}

// The burst into a client that is not started: encoding and queueing, the oldest dropped once
// the queue is full (the producer's share of the cost).
void BM_BurstNotStarted(benchmark::State& state) {
    testsupport::discardLogs(log4cpp::Priority::INFO);
    cObjectClient client;
    std::unique_ptr<cObject> status(makeDevice());
    uint32_t cycle = 0;
    for (auto _ : state)
        sendBurst(client, static_cast<cObjectDevice&>(*status), ++cycle);
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_BurstNotStarted);

// A vexad stand-in on 127.0.0.1 that reads everything and counts the lines.
class CountingPeer {
public:
    CountingPeer() {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(mListen, 1);
        socklen_t len = sizeof a;
        getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len);
        mPort = ntohs(a.sin_port);
        mThread = std::thread([this] { run(); });
    }
    ~CountingPeer() {
        shutdown(mListen, SHUT_RDWR);
        mThread.join();
        close(mListen);
    }
    int port() const { return mPort; }
    // Waits until `n` lines have arrived since the start.
    void waitFor(uint64_t n) {
        std::unique_lock<std::mutex> lk(mMutex);
        mCond.wait(lk, [&] { return mLines >= n; });
    }

private:
    void run() {
        int conn = accept(mListen, nullptr, nullptr);
        if (conn < 0)
            return;
        // vexad speaks first, as it does with its requests: the connection has lived, and the
        // client lets its senders write to it themselves, as in the daemon's steady state.
        static const char kRequest[] =
            "{\"msgType\":1,\"objects\":[{\"objType\":4,\"deviceSerial\":-1,\"portId\":1}]}\n";
        if (send(conn, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) < 0) {
            close(conn);
            return;
        }
        char buf[65536];
        for (;;) {
            ssize_t r = recv(conn, buf, sizeof buf, 0);
            if (r <= 0)
                break;
            uint64_t lines = 0;
            for (ssize_t i = 0; i < r; ++i)
                lines += buf[i] == '\n';
            {
                std::lock_guard<std::mutex> lk(mMutex);
                mLines += lines;
            }
            mCond.notify_all();
        }
        close(conn);
    }

    int mListen = -1;
    int mPort = 0;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mCond;
    uint64_t mLines = 0;
};

// The burst through a client connected to a local peer, until the peer has read all its lines.
// CPU time is the whole process's: the sending thread (which writes the burst itself), the
// client's threads and the peer's reads.
void BM_BurstToPeer(benchmark::State& state) {
    testsupport::discardLogs(log4cpp::Priority::INFO);
    CountingPeer peer;
    cObjectClient client;
    client.start("127.0.0.1", peer.port());
    std::unique_ptr<cObject> status(makeDevice());
    uint32_t cycle = 0;
    sendBurst(client, static_cast<cObjectDevice&>(*status), ++cycle);  // waits for the connection
    peer.waitFor(kBurst);
    uint64_t expected = kBurst;
    for (auto _ : state) {
        sendBurst(client, static_cast<cObjectDevice&>(*status), ++cycle);
        expected += kBurst;
        peer.waitFor(expected);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    client.stop();
}
BENCHMARK(BM_BurstToPeer)->MeasureProcessCPUTime()->UseRealTime();

// Heap held by a full queue of 1000 messages: one sample event each, or (worst case of this
// daemon) the reply with all its analogue inputs each.
void BM_QueueMemory(benchmark::State& state) {
    const int objects = static_cast<int>(state.range(0));
    cObjectList m;
    m.setMsgType(objects == 1 ? cObjectList::MSG_EVENT : cObjectList::MSG_REQUEST);
    for (int i = 0; i < objects; ++i)
        m.add(objects == 1 ? makeSample() : makeAInput());
    double bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        size_t before = mallinfo2().uordblks;
        {
            cObjectClient client;  // not started: everything sent stays queued
            for (int i = 0; i < 1000; ++i)
                client.send(&m);
            bytes = static_cast<double>(mallinfo2().uordblks - before);
        }
        state.ResumeTiming();
    }
    state.counters["queue_bytes"] = bytes;
    state.counters["bytes_per_msg"] = bytes / 1000;
    state.counters["line_bytes"] = static_cast<double>(vexaobj::encodeMessage(m).size() + 1);
    m.deleteObjects();
}
BENCHMARK(BM_QueueMemory)->Arg(1)->Arg(points::kInputs)->Iterations(3);

}  // namespace
