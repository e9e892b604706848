// The connection to vexad. The daemon is the TCP client; messages are JSON lines (see
// docs/wire-protocol.md). start() returns at once; connecting, re-connecting, reading and writing
// happen on the client's own threads (a sender may write its own messages when the writer is
// idle: see cObjectClient.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

class cObjectList;
class cObjectListener;

class cObjectClient {
public:
    struct Options {
        int backoffMinMs = 1000;   // first re-connection delay, doubled after every failure
                                   // until a connection lives
        int backoffMaxMs = 30000;  // longest re-connection delay
        size_t queueLimit = 1000;  // messages kept while disconnected; the oldest are dropped
        // The connection's send buffer in the kernel. What vexad has not read beyond it waits
        // in the queue above, where the newest are kept and a status goes before samples; left
        // to the kernel, a vexad that stops reading would have megabytes of old samples queued
        // ahead of everything the daemon says after.
        int sendBufferBytes = 64 * 1024;
        int repeatSummaryMs = 300000;  // repeated connection failures: one summary line at most
                                       // this often
        // The user vexad runs as (the daemon's vexad.user), -1 when not named. On a connection
        // to this host the user of vexad's end is looked up once: another user's (root
        // excepted) is closed unused when this is set, and warned about when it is not.
        int64_t vexadUid = -1;
    };

    // Holds back the writing of messages sent while it lives, so that a burst from one thread
    // (the events of one controller reply) goes out in one write. While any batch is open on
    // the client, send() queues without writing; the end of the outermost batch writes the
    // burst at once or wakes the writer for it. Batches nest and may be opened on any thread; keep
    // them short, since messages sent from other threads wait for them too.
    class Batch {
    public:
        explicit Batch(cObjectClient& client);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        cObjectClient& mClient;
    };

    cObjectClient();
    explicit cObjectClient(const Options& options);
    virtual ~cObjectClient();  // stops the threads and closes the connection
    cObjectClient(const cObjectClient&) = delete;
    cObjectClient& operator=(const cObjectClient&) = delete;

    // Resolves host:port and starts the threads. True when the address resolves; the connection
    // itself is made in the background and re-made whenever it is lost. Call once.
    bool start(const char* host, int port);
    // The one listener that receives vexad's messages, one at a time, in order.
    void addListener(cObjectListener* listener);
    // Serialises the message, queues it and returns without waiting for the network. Safe from
    // any thread, also from inside handleObjectAction. The caller may destroy the list and its
    // objects as soon as it returns.
    virtual void send(cObjectList* message);
    // Gives the queued messages up to `timeout` to reach vexad, open batches notwithstanding:
    // true once nothing is left to write and vexad's host has acknowledged every byte written
    // (at once when nothing is queued and no connection is up); false at the deadline, for
    // example while vexad is away or does not read. For a graceful end call it before stop().
    bool flush(std::chrono::milliseconds timeout);
    // Stops the threads; queued messages not yet written are discarded. Idempotent.
    void stop();
    // Observations for tests and statistics.
    bool connected() const;
    size_t queued() const;
    size_t dropped() const;  // messages dropped from a full queue since start

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
