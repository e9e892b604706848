// The connection to vexad. The daemon is the TCP client; messages are JSON lines (see
// docs/wire-protocol.md). start() returns at once; connecting, re-connecting, writing and
// reading happen on the client's own threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

class cObjectList;
class cObjectListener;

class cObjectClient {
public:
    struct Options {
        int backoffMinMs = 1000;   // first re-connection delay, doubled after every failure
        int backoffMaxMs = 30000;  // longest re-connection delay
        size_t queueLimit = 1000;  // messages kept while disconnected; the oldest are dropped
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
    // Stops the threads; queued messages not yet written are discarded. Idempotent.
    void stop();
    // Waits up to `timeout` for the queue to be written; true when it was.
    bool flush(std::chrono::milliseconds timeout);

    // Messages sent while a batch is open go out together when it ends. A null client is
    // allowed and does nothing.
    class Batch {
    public:
        explicit Batch(cObjectClient* /*client*/) {}
    };

    // Observations for tests and statistics.
    bool connected() const;
    size_t queued() const;
    size_t dropped() const;  // messages dropped from a full queue since start

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
