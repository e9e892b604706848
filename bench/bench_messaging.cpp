// Messaging costs: encoding and decoding one object per message, the cost of send() while
// vexad is away, and the memory a full queue of 1000 messages holds.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "cObject.h"
#include "cObjectClient.h"
#include "cObjectCodec.h"
#include "cObjectList.h"

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
    d->setAnalogInCount(19);
    d->setAnalogOutCount(8);
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

const std::function<cObject*()> kMakers[] = {makeSample, makeAInput, makeDevice, makeCapability};
const char* const kNames[] = {"sample", "ain", "device", "capability"};

void BM_Encode(benchmark::State& state) {
    cObjectList m;
    m.setMsgType(cObjectList::MSG_EVENT);
    m.add(kMakers[state.range(0)]());
    for (auto _ : state)
        benchmark::DoNotOptimize(vexaobj::encodeMessage(m));
    state.SetLabel(kNames[state.range(0)]);
    m.deleteObjects();
}
BENCHMARK(BM_Encode)->DenseRange(0, 3);

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

// A port on 127.0.0.1 where nobody listens, so the client stays disconnected.
int deadPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// send() of one sample event with vexad away: encode, queue, drop the oldest of a full queue.
void BM_SendNoPeer(benchmark::State& state) {
    cObjectClient::Options o;
    o.backoffMinMs = 30000;
    cObjectClient client(o);
    client.start("127.0.0.1", deadPort());
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

// Heap held by a full queue of 1000 messages: one sample event each, or (worst case of this
// daemon) the reply with all 19 analogue inputs each.
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
BENCHMARK(BM_QueueMemory)->Arg(1)->Arg(19)->Iterations(3);

}  // namespace
