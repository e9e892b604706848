// The client against a real TCP peer on 127.0.0.1: order, one-at-a-time delivery, sends from
// the listener, hostile input, re-connection and a peer that drops every connection, the
// bounded queue and a peer that stops reading, batches and flush.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cObject.h"
#include "cObjectClient.h"
#include "cObjectCodec.h"
#include "cObjectList.h"
#include "cObjectListener.h"
#include "logCapture.h"
#include "messages.h"
#include "testSupport.h"

using namespace std::chrono_literals;
using testsupport::Decoded;
using testsupport::LogCapture;
using testsupport::Message;
using testsupport::waitFor;

namespace {

// Plays vexad: listens on 127.0.0.1, accepts connections, reads and writes lines.
class Peer {
public:
    explicit Peer(int port = 0) {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(mListen, 4), 0);
        socklen_t len = sizeof a;
        getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len);
        mPort = ntohs(a.sin_port);
    }
    ~Peer() {
        closeConn();
        close(mListen);
    }
    int port() const { return mPort; }

    // Waits for the client to connect; a previous connection is closed first.
    bool accept(std::chrono::milliseconds timeout = 10s) {
        closeConn();
        pollfd p{mListen, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return false;
        mConn = ::accept(mListen, nullptr, nullptr);
        mBuf.clear();
        return mConn >= 0;
    }
    void closeConn() {
        if (mConn >= 0)
            close(mConn);
        mConn = -1;
    }
    void write(const std::string& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t w = ::send(mConn, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            ASSERT_GT(w, 0);
            off += static_cast<size_t>(w);
        }
    }
    // The bytes of one read, as soon as some are there; empty at the deadline.
    std::string readChunk(std::chrono::milliseconds timeout = 10s) {
        pollfd p{mConn, POLLIN, 0};
        char buf[65536];
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return "";
        ssize_t r = recv(mConn, buf, sizeof buf, 0);
        return r > 0 ? std::string(buf, static_cast<size_t>(r)) : "";
    }
    // Reads until `n` lines arrived or the deadline passed.
    std::vector<std::string> readLines(size_t n, std::chrono::milliseconds timeout = 10s) {
        std::vector<std::string> out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            size_t nl;
            while (out.size() < n && (nl = mBuf.find('\n')) != std::string::npos) {
                out.push_back(mBuf.substr(0, nl));
                mBuf.erase(0, nl + 1);
            }
            if (out.size() == n)
                break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{mConn, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
                break;
            char buf[65536];
            ssize_t r = recv(mConn, buf, sizeof buf, 0);
            if (r <= 0)
                break;
            mBuf.append(buf, static_cast<size_t>(r));
        }
        return out;
    }

private:
    int mListen = -1;
    int mConn = -1;
    int mPort = 0;
    std::string mBuf;
};

// Records every message as its wire line; checks that calls never overlap.
class Recorder : public cObjectListener {
public:
    std::function<void(cObjectList*)> hook;  // runs inside handleObjectAction

    void handleObjectAction(cObjectList* objects) override {
        if (mInCall.fetch_add(1) != 0)
            mOverlap = true;
        {
            std::lock_guard<std::mutex> lk(mMutex);
            mLines.push_back(vexaobj::encodeMessage(*objects));
            mThreads.push_back(std::this_thread::get_id());
        }
        if (hook)
            hook(objects);
        mInCall.fetch_sub(1);
    }
    size_t count() const {
        std::lock_guard<std::mutex> lk(mMutex);
        return mLines.size();
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lk(mMutex);
        return mLines;
    }
    std::vector<std::thread::id> threads() const {
        std::lock_guard<std::mutex> lk(mMutex);
        return mThreads;
    }
    bool overlapped() const { return mOverlap; }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
    std::vector<std::thread::id> mThreads;
    std::atomic<int> mInCall{0};
    std::atomic<bool> mOverlap{false};
};

cObjectClient::Options fastOptions(size_t queueLimit = 1000) {
    cObjectClient::Options o;
    o.backoffMinMs = 10;
    o.backoffMaxMs = 40;
    o.queueLimit = queueLimit;
    return o;
}

// A one-sample event message; the sequence number tells messages apart. `pad` adds a
// capability with that much text, to make the message big.
void fillSample(cObjectList& m, uint32_t seq, const std::string& pad) {
    m.setMsgType(cObjectList::MSG_EVENT);
    auto* s = new cObjectAnalogSample;
    s->setDeviceSerial(1234);
    s->setPortNum(3);
    s->setSeqNum(seq);
    s->setSample(static_cast<float>(seq) / 4);
    m.add(s);
    if (!pad.empty()) {
        auto* c = new cObjectCapability;
        c->setDeviceSerial(1234);
        c->setValue(pad.c_str());
        m.add(c);
    }
}

std::string sampleLine(uint32_t seq) {
    Message m;
    fillSample(m, seq, "");
    return vexaobj::encodeMessage(m);
}

void sendSample(cObjectClient& client, uint32_t seq, const std::string& pad = "") {
    Message m;  // the client is done with the message when send returns
    fillSample(m, seq, pad);
    client.send(&m);
}

// Reads sample events until the one numbered `last`, keeping their numbers; false (with the
// failure reported) when a line does not arrive or is not a whole message.
testing::AssertionResult readSamplesUntil(Peer& peer, uint32_t last, std::vector<uint32_t>& seqs) {
    while (seqs.empty() || seqs.back() != last) {
        auto lines = peer.readLines(1);
        if (lines.size() != 1)
            return testing::AssertionFailure() << "no line after sample " << seqs.size();
        Decoded d(lines[0]);
        if (!d.ok)
            return testing::AssertionFailure() << "not a whole message: " << d.reason;
        seqs.push_back(d.as<cObjectAnalogSample>(0)->getSeqNum());
    }
    return testing::AssertionSuccess();
}

std::string requestLine(uint32_t portId) {
    return R"({"msgType":1,"objects":[{"objType":4,"deviceSerial":-1,"portId":)" +
           std::to_string(portId) + "}]}";
}

// A test with a peer, a recorder and the client under test, made by the test with short
// back-off delays. The client goes first when the test ends, so no thread of it outlives the
// recorder, the peer or the log capture.
class Client : public testing::Test {
protected:
    cObjectClient& makeClient(size_t queueLimit = 1000) {
        return makeClient(fastOptions(queueLimit));
    }
    cObjectClient& makeClient(const cObjectClient::Options& options) {
        mClient.reset();  // a client made before goes first
        mClient = std::make_unique<cObjectClient>(options);
        return *mClient;
    }
    // Starts the client towards the peer, with the recorder as its listener when `listen`, and
    // accepts its connection.
    testing::AssertionResult startAndAccept(bool listen = false) {
        if (listen)
            mClient->addListener(&rec);
        if (!mClient->start("127.0.0.1", peer.port()))
            return testing::AssertionFailure() << "the client did not start";
        if (!peer.accept())
            return testing::AssertionFailure() << "the client did not connect";
        return testing::AssertionSuccess();
    }

    LogCapture log{"vexaobj"};
    Peer peer;
    Recorder rec;
    std::unique_ptr<cObjectClient> mClient;
};
using ClientTraffic = Client;
using ClientHostileInput = Client;
using ClientReconnection = Client;
using ClientQueue = Client;
using ClientBatch = Client;

TEST(ClientConstruction, DoesNoIoUntilStartedAndRefusesBadAddresses) {
    LogCapture log("vexaobj");
    {
        cObjectClient client;  // no threads, no sockets: destroying it at once is fine
        sendSample(client, 1);
        EXPECT_EQ(client.queued(), 1u);
        EXPECT_FALSE(client.connected());
    }
    cObjectClient client;
    EXPECT_FALSE(client.start("127.0.0.1", 0));
    EXPECT_FALSE(client.start("127.0.0.1", 70000));
    EXPECT_FALSE(client.start(nullptr, 50000));
    EXPECT_TRUE(log.contains("not valid"));
}

TEST_F(ClientTraffic, SendsQueuedAndNewMessagesInOrder) {
    cObjectClient& client = makeClient();
    for (uint32_t i = 1; i <= 5; ++i)
        sendSample(client, i);  // queued before start
    ASSERT_TRUE(startAndAccept());
    for (uint32_t i = 6; i <= 300; ++i)
        sendSample(client, i);
    auto lines = peer.readLines(300);
    ASSERT_EQ(lines.size(), 300u);
    for (uint32_t i = 1; i <= 300; ++i)
        ASSERT_EQ(lines[i - 1], sampleLine(i)) << i;
    EXPECT_EQ(client.dropped(), 0u);
}

TEST_F(ClientTraffic, DeliversIncomingMessagesInOrderOneAtATimeOnOneThread) {
    // Static: the last call may still run after the body returns, until the client stops.
    static std::atomic<int> work{0};
    rec.hook = [&](cObjectList*) {
        for (int i = 0; i < 20000; ++i)
            work.fetch_add(1, std::memory_order_relaxed);
    };
    makeClient();
    ASSERT_TRUE(startAndAccept(true));
    std::string burst;
    for (uint32_t i = 1; i <= 500; ++i)
        burst += requestLine(i) + (i % 2 ? "\n" : "\r\n");
    peer.write(burst);
    ASSERT_TRUE(waitFor([&] { return rec.count() == 500; }));
    auto lines = rec.lines();
    for (uint32_t i = 1; i <= 500; ++i) {
        ASSERT_NE(lines[i - 1].find("\"portId\":" + std::to_string(i) + ","), std::string::npos)
            << lines[i - 1];
    }
    EXPECT_FALSE(rec.overlapped());
    auto threads = rec.threads();
    EXPECT_NE(threads[0], std::this_thread::get_id());
    for (auto id : threads)
        ASSERT_EQ(id, threads[0]);
}

TEST_F(ClientTraffic, ListenerMaySendWhileOtherThreadsSendToo) {
    cObjectClient& client = makeClient();
    // Answers every request from inside the listener, as the device does.
    rec.hook = [&](cObjectList* in) {
        auto* req = dynamic_cast<cObjectAInput*>(in->first());
        if (req)
            sendSample(client, 100000 + req->getPortId());
    };
    ASSERT_TRUE(startAndAccept(true));
    std::thread other([&] {
        for (uint32_t i = 1; i <= 200; ++i)
            sendSample(client, i);
    });
    std::string burst;
    for (uint32_t i = 1; i <= 200; ++i)
        burst += requestLine(i) + "\n";
    peer.write(burst);
    other.join();

    auto lines = peer.readLines(400);
    ASSERT_EQ(lines.size(), 400u);
    // Each sender's own messages keep their order.
    uint32_t lastAnswer = 100000, lastOther = 0;
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(l, m, std::regex("\"seqNum\":(\\d+)"))) << l;
        uint32_t seq = static_cast<uint32_t>(std::stoul(m[1]));
        uint32_t& last = seq > 100000 ? lastAnswer : lastOther;
        ASSERT_EQ(seq, last + 1);
        last = seq;
    }
}

TEST_F(ClientTraffic, MessageWithoutListenerIsDroppedAtDebug) {
    cObjectClient& client = makeClient();
    ASSERT_TRUE(startAndAccept());
    peer.write(requestLine(1) + "\n");
    ASSERT_TRUE(waitFor([&] { return log.contains("no listener"); }));
    client.addListener(&rec);
    peer.write(requestLine(2) + "\n");
    ASSERT_TRUE(waitFor([&] { return rec.count() == 1; }));
    EXPECT_NE(rec.lines()[0].find("\"portId\":2,"), std::string::npos);
}

TEST_F(ClientHostileInput, BadLinesAreLoggedAndDroppedAndTheConnectionStays) {
    cObjectClient& client = makeClient();
    ASSERT_TRUE(startAndAccept(true));
    peer.write("not json\n");
    peer.write(R"({"msgType":0,"objects":[{"objType":11,"deviceSerial":1,"portId":2}]})"
               "\n");
    peer.write("{\"bin\x01\x02\":1}\n");
    peer.write("{" + std::string(70000, 'a') + "\n");
    peer.write("\n");  // blank lines carry nothing
    peer.write(requestLine(7) + "\n");
    ASSERT_TRUE(waitFor([&] { return rec.count() == 1; }));
    EXPECT_NE(rec.lines()[0].find("\"portId\":7,"), std::string::npos);

    std::vector<std::string> rejected;
    for (const auto& l : log.lines()) {
        if (l.message.find("rejected line") != std::string::npos) {
            EXPECT_EQ(l.priority, log4cpp::Priority::ERROR);
            rejected.push_back(l.message);
        }
    }
    ASSERT_EQ(rejected.size(), 4u);
    EXPECT_NE(rejected[0].find("not JSON"), std::string::npos);
    EXPECT_NE(rejected[1].find("\"sampledValue\" is missing"), std::string::npos);
    EXPECT_NE(rejected[2].find("\\x01\\x02"), std::string::npos);  // shown printable
    EXPECT_NE(rejected[3].find("longer than 65536"), std::string::npos);
    EXPECT_LT(rejected[3].size(), 600u);  // the excerpt, not the line
    // Still the first connection: the peer was not dropped for its garbage.
    EXPECT_EQ(log.countContaining("lost"), 0u);
    sendSample(client, 1);
    EXPECT_EQ(peer.readLines(1), std::vector<std::string>{sampleLine(1)});
}

TEST_F(ClientHostileInput, AFloodOfGarbageIsLoggedAtABoundedRate) {
    makeClient();
    ASSERT_TRUE(startAndAccept(true));
    auto begin = std::chrono::steady_clock::now();
    std::string flood;
    for (int i = 0; i < 2000; ++i)
        flood += "garbage " + std::to_string(i) + "\n";
    peer.write(flood + requestLine(1) + "\n");
    ASSERT_TRUE(waitFor([&] { return rec.count() == 1; }));

    // Every rejected line is accounted for, singly or in a summary, once the summary is out.
    size_t single = 0, summarised = 0;
    ASSERT_TRUE(waitFor([&] {
        single = log.countContaining("rejected line");
        summarised = 0;
        std::regex summary("^(\\d+) further lines rejected$");
        for (const auto& m : log.messages()) {
            std::smatch sm;
            if (std::regex_match(m, sm, summary))
                summarised += std::stoul(sm[1]);
        }
        return single + summarised == 2000;
    }));
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    EXPECT_LE(single, static_cast<size_t>(10 * (seconds + 1)));
    EXPECT_GT(summarised, 0u);
}

TEST_F(ClientReconnection, ReconnectsAfterThePeerClosesAndKeepsOrder) {
    cObjectClient& client = makeClient();
    ASSERT_TRUE(startAndAccept(true));
    sendSample(client, 1);
    ASSERT_EQ(peer.readLines(1).size(), 1u);

    peer.closeConn();
    ASSERT_TRUE(waitFor([&] { return !client.connected(); }));
    for (uint32_t i = 2; i <= 20; ++i)
        sendSample(client, i);
    ASSERT_TRUE(peer.accept());
    for (uint32_t i = 21; i <= 30; ++i)
        sendSample(client, i);
    auto lines = peer.readLines(29);
    ASSERT_EQ(lines.size(), 29u);
    for (uint32_t i = 2; i <= 30; ++i)
        ASSERT_EQ(lines[i - 2], sampleLine(i));

    // Incoming traffic works on the new connection too.
    peer.write(requestLine(5) + "\n");
    ASSERT_TRUE(waitFor([&] { return rec.count() == 1; }));
    EXPECT_EQ(log.countContaining("lost"), 1u);
    EXPECT_EQ(log.countContaining("re-connected"), 1u);
}

TEST_F(ClientReconnection, AMessageCutOffByALostConnectionIsSentAgainWhole) {
    cObjectClient& client = makeClient();
    ASSERT_TRUE(startAndAccept());  // reads nothing: the socket buffers fill, a write stops halfway
    std::string pad(60000, 'p');
    for (uint32_t i = 1; i <= 300; ++i)
        sendSample(client, i, pad);
    ASSERT_TRUE(waitFor([&] { return client.queued() < 300; }));
    peer.closeConn();  // unread data: the client's next write fails
    ASSERT_TRUE(peer.accept());
    const uint32_t marker = 1000000;
    sendSample(client, marker);

    // Whatever the first connection swallowed, the second carries whole lines in sequence.
    std::vector<uint32_t> seqs;
    ASSERT_TRUE(readSamplesUntil(peer, marker, seqs));
    ASSERT_GE(seqs.size(), 2u);
    EXPECT_EQ(seqs[seqs.size() - 2], 300u);
    for (size_t i = 1; i + 1 < seqs.size(); ++i)
        EXPECT_EQ(seqs[i], seqs[i - 1] + 1);
}

TEST_F(ClientReconnection, ConnectsWhenThePeerComesUpLaterWithDoublingBackOff) {
    int port = testsupport::freeTcpPort();
    cObjectClient& client = makeClient();
    ASSERT_TRUE(client.start("127.0.0.1", port));  // resolves; nobody listens yet
    for (uint32_t i = 1; i <= 3; ++i)
        sendSample(client, i);
    // Wait until the back-off has reached its cap.
    ASSERT_TRUE(waitFor([&] { return log.countContaining("next in 40 ms") >= 2; }));

    Peer later(port);
    ASSERT_TRUE(later.accept());
    auto lines = later.readLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], sampleLine(1));
    EXPECT_EQ(lines[2], sampleLine(3));

    // The failure is logged once as an error, the attempts at debug with 10, 20, 40, 40 ms.
    std::vector<std::string> delays;
    size_t errors = 0;
    for (const auto& l : log.lines()) {
        if (l.message.find("cannot connect") != std::string::npos) {
            ++errors;
            EXPECT_EQ(l.priority, log4cpp::Priority::ERROR);
        }
        std::smatch m;
        if (std::regex_search(l.message, m, std::regex("next in (\\d+) ms"))) {
            EXPECT_EQ(l.priority, log4cpp::Priority::DEBUG);
            delays.push_back(m[1]);
        }
    }
    EXPECT_EQ(errors, 1u);
    ASSERT_GE(delays.size(), 3u);
    EXPECT_EQ(delays[0], "20");
    EXPECT_EQ(delays[1], "40");
    EXPECT_EQ(delays[2], "40");
    EXPECT_TRUE(waitFor([&] { return log.contains("connected to vexad at 127.0.0.1"); }));
}

// A vexad that accepts every connection, reads what comes and closes it at once: the delays
// keep doubling up to the ceiling instead of restarting, and the log holds the first loss, the
// first re-connection and then summaries, not two lines per attempt. A connection that lives
// restarts the back-off.
TEST_F(ClientReconnection, APeerThatDropsEveryConnectionIsRetriedLessOftenAndSummarised) {
    cObjectClient::Options o;
    o.backoffMinMs = 100;  // also the time a written message needs to make a connection count
    o.backoffMaxMs = 400;
    o.repeatSummaryMs = 500;
    cObjectClient& client = makeClient(o);
    client.addListener(&rec);
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    const uint32_t kDrops = 4;
    // Loss lines, logged or counted.
    auto losses = [&] { return log.countContaining(" lost: ") - log.countContaining("(repeated"); };
    for (uint32_t i = 1; i <= kDrops; ++i) {
        sendSample(client, i);
        ASSERT_TRUE(peer.accept());
        ASSERT_EQ(peer.readLines(1), std::vector<std::string>{sampleLine(i)});
        peer.closeConn();
        // The next message waits for the client to see the loss: written into the closed
        // connection, it would be lost with it.
        ASSERT_TRUE(waitFor([&] { return losses() == i; }));
    }
    // Then one that lives: vexad speaks on it.
    ASSERT_TRUE(peer.accept());
    peer.write(requestLine(1) + "\n");
    ASSERT_TRUE(waitFor([&] { return rec.count() == 1; }));
    peer.closeConn();
    ASSERT_TRUE(waitFor([&] { return losses() == kDrops + 1; }));

    const auto lost = "connection to vexad at 127.0.0.1:" + std::to_string(peer.port()) +
                      " lost: closed by vexad";
    std::vector<std::string> errors, delays;
    size_t summarised = 0;
    for (const auto& l : log.lines()) {
        std::smatch m;
        if (l.priority == log4cpp::Priority::ERROR &&
            std::regex_search(l.message, m,
                              std::regex(R"(\(repeated (\d+ times|once) in the last)"))) {
            summarised += m[1] == "once" ? 1 : std::stoul(m[1]);
            EXPECT_EQ(l.message.rfind(lost, 0), 0u) << l.message;
        } else if (l.priority == log4cpp::Priority::ERROR) {
            errors.push_back(l.message);
        } else if (std::regex_search(l.message, m, std::regex("lost: .*; next in (\\d+) ms"))) {
            EXPECT_EQ(l.priority, log4cpp::Priority::DEBUG);
            delays.push_back(m[1]);
        }
    }
    // The first loss and the loss of the connection that lived, each logged at once; the
    // latter retried after the minimum again.
    EXPECT_EQ(errors, (std::vector<std::string>{lost + "; retrying in 100 ms",
                                                lost + "; retrying in 100 ms"}));
    EXPECT_EQ(delays, (std::vector<std::string>{"200", "400", "400"}));
    EXPECT_EQ(summarised, kDrops - 1);
    // Of five connections three are announced: the first, the first after the trouble began,
    // and the one that lived.
    EXPECT_EQ(log.countContaining("re-connected"), 2u);
    EXPECT_EQ(log.countContaining("connected to vexad"), 3u);
}

TEST_F(ClientQueue, KeepsTheNewestMessagesWhileDisconnectedAndReportsTheDrops) {
    int port = testsupport::freeTcpPort();
    cObjectClient& client = makeClient(10);
    ASSERT_TRUE(client.start("127.0.0.1", port));
    for (uint32_t i = 1; i <= 25; ++i)
        sendSample(client, i);
    EXPECT_EQ(client.queued(), 10u);
    EXPECT_EQ(client.dropped(), 15u);

    Peer later(port);
    ASSERT_TRUE(later.accept());
    auto lines = later.readLines(10);
    ASSERT_EQ(lines.size(), 10u);
    for (uint32_t i = 16; i <= 25; ++i)
        EXPECT_EQ(lines[i - 16], sampleLine(i));
    EXPECT_TRUE(waitFor([&] { return log.contains("15 messages dropped while disconnected"); }));
}

TEST_F(ClientQueue, APeerThatStopsReadingNeverBlocksSend) {
    cObjectClient& client = makeClient(50);
    ASSERT_TRUE(startAndAccept());  // and then never reads
    ASSERT_TRUE(waitFor([&] { return client.connected(); }));

    // Far more than the socket buffers hold; if send waited for the network this would hang.
    std::atomic<bool> done{false};
    std::string pad(4000, 'p');
    std::thread sender([&] {
        for (uint32_t i = 1; i <= 3000; ++i)
            sendSample(client, i, pad);
        done = true;
    });
    bool finished = waitFor([&] { return done.load(); }, 30s);
    sender.join();
    ASSERT_TRUE(finished);
    EXPECT_GT(client.dropped(), 0u);
    EXPECT_LE(client.queued(), 50u);
    EXPECT_TRUE(log.contains("vexad is not reading"));
    // The destructor stops the client although a write is stuck.
}

// Senders write themselves while the writer is idle; a socket that takes only part of a line
// leaves the rest to the writer, and what the full queue drops are whole lines: vexad reads
// whole lines in order, all of them while the queue holds them, the newest when it drops.
TEST_F(ClientQueue, LinesCutShortByAFullSocketArriveWholeWhateverIsDropped) {
    for (size_t limit : {size_t{1000}, size_t{2}}) {
        SCOPED_TRACE("queue limit " + std::to_string(limit));
        cObjectClient& client = makeClient(limit);
        ASSERT_TRUE(startAndAccept());
        sendSample(client, 0);
        ASSERT_EQ(peer.readLines(1).size(), 1u);
        peer.write(requestLine(1) + "\n");  // vexad speaks: the connection lives

        // More than the socket buffers hold, sent before vexad reads again.
        const uint32_t kLines = 200;
        std::string pad(60000, 'p');
        for (uint32_t i = 1; i <= kLines; ++i)
            sendSample(client, i, pad);
        std::vector<uint32_t> seqs;
        ASSERT_TRUE(readSamplesUntil(peer, kLines, seqs));
        for (size_t i = 1; i < seqs.size(); ++i)
            ASSERT_GT(seqs[i], seqs[i - 1]);
        if (limit > kLines) {
            EXPECT_EQ(seqs.size(), kLines);
        }
    }
}

// A batch holds the burst back; the end of the outermost one sends it, in one write.
TEST_F(ClientBatch, ABurstGoesOutInOneWriteWhenTheOutermostBatchEnds) {
    cObjectClient& client = makeClient();
    ASSERT_TRUE(startAndAccept());
    ASSERT_TRUE(waitFor([&] { return client.connected(); }));
    std::thread other;
    {
        cObjectClient::Batch outer(client);
        {
            cObjectClient::Batch inner(client);
            for (uint32_t i = 1; i <= 19; ++i)
                sendSample(client, i);
        }
        // Another thread's send waits for the batch too, and does not block.
        other = std::thread([&] { sendSample(client, 20); });
        other.join();
        EXPECT_EQ(client.queued(), 20u);
    }
    std::string chunk = peer.readChunk();
    std::string expected;
    for (uint32_t i = 1; i <= 20; ++i)
        expected += sampleLine(i) + "\n";
    EXPECT_EQ(chunk, expected);
}

TEST(ClientFlush, TellsWhetherTheQueueReachedVexad) {
    {
        cObjectClient idle;  // not started
        EXPECT_TRUE(idle.flush(0ms));
        sendSample(idle, 1);
        EXPECT_FALSE(idle.flush(0ms));
    }
    int port = testsupport::freeTcpPort();
    cObjectClient client(fastOptions());
    ASSERT_TRUE(client.start("127.0.0.1", port));
    sendSample(client, 1);
    EXPECT_FALSE(client.flush(100ms));  // vexad away

    Peer peer(port);
    ASSERT_TRUE(peer.accept());
    {
        // A flush made inside a batch is not held back by it.
        cObjectClient::Batch batch(client);
        for (uint32_t i = 2; i <= 50; ++i)
            sendSample(client, i);
        EXPECT_TRUE(client.flush(10s));
        EXPECT_EQ(client.queued(), 0u);
    }
    client.stop();
    auto lines = peer.readLines(50);  // all of them, though the client has stopped
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(lines.front(), sampleLine(1));
    EXPECT_EQ(lines.back(), sampleLine(50));
}

}  // namespace
