// vexa-console, the binary: what it prints of received messages, what it sends for typed
// commands and raw lines, connection replacement and the ways it exits. The daemon end is the
// messaging library's client or a raw socket on 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cObject.h"
#include "cObjectClient.h"
#include "cObjectCodec.h"
#include "cObjectList.h"
#include "cObjectListener.h"
#include "logCapture.h"
#include "testSupport.h"
#include "vexaConsole.h"

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::waitFor;

namespace {

class Recorder : public cObjectListener {
public:
    void handleObjectAction(cObjectList* objects) override {
        std::lock_guard<std::mutex> lk(mMutex);
        mLines.push_back(vexaobj::encodeMessage(*objects));
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lk(mMutex);
        return mLines;
    }
    size_t count() const { return lines().size(); }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
};

// A plain TCP connection to the console, for the cases the client would hide.
class RawConn {
public:
    explicit RawConn(int port) {
        mFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~RawConn() { close(mFd); }
    void write(const std::string& s) {
        EXPECT_EQ(::send(mFd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    // The next line, or "" at the deadline or at the end of the stream.
    std::string readLine(std::chrono::milliseconds timeout = 10s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        size_t nl;
        while ((nl = mBuf.find('\n')) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{mFd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
                return "";
            char buf[4096];
            ssize_t r = recv(mFd, buf, sizeof buf, 0);
            if (r <= 0)
                return "";
            mBuf.append(buf, static_cast<size_t>(r));
        }
        std::string line = mBuf.substr(0, nl);
        mBuf.erase(0, nl + 1);
        return line;
    }

private:
    int mFd = -1;
    std::string mBuf;
};

class ConsoleTest : public ::testing::Test {
protected:
    // Starts the console on a free port and learns the port from its "listening on" line.
    void startConsole(bool json) {
        std::vector<std::string> argv{testsupport::builtBinary("vexa-console"), "--port", "0"};
        if (json)
            argv.push_back("--json");
        console = std::make_unique<Process>(argv);
        auto& statusOut = json ? console->err() : console->out();
        int idx = statusOut.waitForLine("listening on 127.0.0.1:");
        ASSERT_GE(idx, 0) << console->err().text();
        std::string line = statusOut.lines()[static_cast<size_t>(idx)];
        port = std::stoi(line.substr(line.rfind(':') + 1));
    }

    // Connects the messaging client and waits until the console has seen it.
    void connectClient() {
        cObjectClient::Options o;
        o.backoffMinMs = 10;
        o.backoffMaxMs = 40;
        client = std::make_unique<cObjectClient>(o);
        client->addListener(&rec);
        ASSERT_TRUE(client->start("127.0.0.1", port));
        ASSERT_TRUE(waitFor([&] { return client->connected(); }));
    }

    void type(const std::string& line) { console->writeStdin(line + "\n"); }

    std::unique_ptr<Process> console;
    int port = 0;
    Recorder rec;
    std::unique_ptr<cObjectClient> client;
};

std::string sampleEvent(uint32_t seq) {
    cObjectList m;
    m.setMsgType(cObjectList::MSG_EVENT);
    auto* s = new cObjectAnalogSample;
    s->setDeviceSerial(1234);
    s->setPortNum(3);
    s->setSeqNum(seq);
    s->setSample(25.5f);
    m.add(s);
    std::string line = vexaobj::encodeMessage(m);
    m.deleteObjects();
    return line;
}

// The readable line shows every field of the object's type with the value the wire carries,
// whatever the received line left out or spelt differently.
TEST(DescribeMessage, ShowsTheDecodedFieldsAsTheWireWritesThem) {
    struct Case {
        const char* line;
        const char* shown;
    } cases[] = {
        {R"({"msgType":0,"objects":[{"objType":11,"deviceSerial":-1,"portId":3,)"
         R"("portLabel":"Fan Pull-in","displayUnit":"deg °C","sampledValue":27.1}]})",
         R"(set | aout deviceSerial=-1 portId=3 portLabel="Fan Pull-in" displayUnit="deg °C" )"
         R"(gain=0.0 offset=0.0 sampledValue=27.1)"},
        {R"({"objects":[{"objType":4,"portId":4294967295,"deviceSerial":7,"sampleRate":-1,)"
         R"("gain":0.1,"offset":-40.5,"sampledValue":1e10,"extra":[1]}],"msgType":1})",
         R"(request | ain deviceSerial=7 portId=-1 portLabel="" displayUnit="" gain=0.1 )"
         R"(offset=-40.5 sampleRate=-1 sampledValue=10000000000.0)"},
        {R"({"msgType":3,"objects":[{"objType":9,"deviceSerial":1,"portNum":2,"seqNum":3,)"
         R"("sample":16777217},{"objType":9,"deviceSerial":1,"portNum":2,"sample":3.4e38},)"
         R"({"objType":9,"deviceSerial":1,"portNum":2,"sample":1e-7}]})",
         "event | sample deviceSerial=1 portNum=2 seqNum=3 sample=16777216.0 | sample "
         "deviceSerial=1 portNum=2 seqNum=0 sample=3.4e+38 | sample deviceSerial=1 portNum=2 "
         "seqNum=0 sample=1e-07"},
        {R"({"msgType":3,"objects":[{"objType":0,"deviceSerial":1234,"deviceLabel":"tab\there )"
         R"(\"q\" \\","version":1,"deviceType":5,"deviceStatus":2,"analogInCount":19}]})",
         R"(event | device deviceSerial=1234 deviceLabel="tab\there \"q\" \\" version=1 )"
         R"(deviceType=5 deviceStatus=2 analogInCount=19 analogOutCount=0 digitalInCount=0 )"
         R"(digitalOutCount=0)"},
        {R"({"msgType":4,"objects":[{"objType":2,"deviceSerial":1,"portId":1,"inputState":1},)"
         R"({"objType":3,"deviceSerial":1,"portId":2,"outputState":2},)"
         R"({"objType":1,"deviceSerial":1,"portId":3,"portLabel":"p"},{"objType":7,"x":1}]})",
         "delete | din deviceSerial=1 portId=1 portLabel=\"\" inputState=1 | dout deviceSerial=1 "
         "portId=2 portLabel=\"\" outputState=2 | port deviceSerial=1 portId=3 portLabel=\"p\" | "
         "sitecfg"},
        {R"({"msgType":200,"objects":[{"objType":12,"deviceSerial":-1,"capId":1,"value":"42"},)"
         R"({"objType":4000000000}]})",
         R"(msgType 200 | capability deviceSerial=-1 capId=1 label="" value="42" | )"
         R"(objType 4000000000)"},
        {R"({"msgType":5,"objects":[]})", "reply | (no objects)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        cObjectList m;
        std::string reason;
        ASSERT_TRUE(vexaobj::decodeMessage(c.line, m, reason)) << reason;
        EXPECT_EQ(vexaconsole::describeMessage(m), c.shown);
        m.deleteObjects();
    }
}

struct CommandCase {
    const char* typed;
    const char* sent;
};

const CommandCase kCommands[] = {
    {"device",
     R"({"msgType":1,"objects":[{"objType":0,"deviceSerial":4294967295,"deviceLabel":"",)"
     R"("version":0,"deviceType":0,"deviceStatus":0,"analogInCount":0,"analogOutCount":0,)"
     R"("digitalInCount":0,"digitalOutCount":0}]})"},
    {"ports ain",
     R"({"msgType":1,"objects":[{"objType":4,"deviceSerial":4294967295,"portId":4294967295,)"
     R"("portLabel":"","displayUnit":"","gain":1.0,"offset":0.0,"sampleRate":0,)"
     R"("sampledValue":0.0}]})"},
    {"ports aout 3",
     R"({"msgType":1,"objects":[{"objType":11,"deviceSerial":4294967295,"portId":3,)"
     R"("portLabel":"","displayUnit":"","gain":1.0,"offset":0.0,"sampledValue":0.0}]})"},
    {"caps",
     R"({"msgType":1,"objects":[{"objType":12,"deviceSerial":4294967295,"capId":4294967295,)"
     R"("label":"","value":""}]})"},
    {"set 2 27.5",
     R"({"msgType":0,"objects":[{"objType":11,"deviceSerial":4294967295,"portId":2,)"
     R"("portLabel":"","displayUnit":"","gain":1.0,"offset":0.0,"sampledValue":27.5}]})"},
    {"  rate 4 10  ",
     R"({"msgType":0,"objects":[{"objType":4,"deviceSerial":4294967295,"portId":4,)"
     R"("portLabel":"","displayUnit":"","gain":1.0,"offset":0.0,"sampleRate":10,)"
     R"("sampledValue":0.0}]})"},
};

TEST_F(ConsoleTest, CommandsBecomeTheirMessages) {
    startConsole(true);
    connectClient();
    for (const auto& c : kCommands)
        type(c.typed);
    ASSERT_TRUE(waitFor([&] { return rec.count() == std::size(kCommands); }));
    auto lines = rec.lines();
    for (size_t i = 0; i < std::size(kCommands); ++i) {
        EXPECT_EQ(lines[i], kCommands[i].sent) << kCommands[i].typed;
    }
}

TEST_F(ConsoleTest, BadCommandsSendNothingAndShowHelp) {
    startConsole(true);
    connectClient();
    for (const char* bad : {"bogus", "set 2", "set 2 abc", "set 2 nan", "set x 1", "ports xyz",
                            "rate 4 -1", "ports ain 99999999999"}) {
        type(bad);
    }
    type("device");
    ASSERT_TRUE(waitFor([&] { return rec.count() == 1; }));
    EXPECT_NE(rec.lines()[0].find("\"objType\":0"), std::string::npos);
    EXPECT_GE(console->err().waitForLine("unknown command: bogus"), 0);
    EXPECT_GE(console->err().waitForLine("bad value: abc"), 0);
    EXPECT_GE(console->err().waitForLine("set <port> <value>"), 0);
}

TEST_F(ConsoleTest, JsonModePrintsExactlyTheReceivedLines) {
    startConsole(true);
    connectClient();
    for (uint32_t i = 1; i <= 3; ++i) {
        cObjectList m;
        std::string reason;
        ASSERT_TRUE(vexaobj::decodeMessage(sampleEvent(i), m, reason));
        client->send(&m);
        m.deleteObjects();
    }
    ASSERT_TRUE(waitFor([&] { return console->out().size() == 3; }));
    auto out = console->out().lines();
    for (uint32_t i = 1; i <= 3; ++i)
        EXPECT_EQ(out[i - 1], sampleEvent(i));
    EXPECT_GE(console->err().waitForLine("connected from 127.0.0.1:"), 0);
}

TEST_F(ConsoleTest, RawLinesAreSentVerbatimSoHostileInputReachesTheDaemon) {
    testsupport::LogCapture log("vexaobj");
    startConsole(true);
    connectClient();
    type(R"({"msgType":1,"objects":[{"objType":4}]})");  // lacks deviceSerial
    type(R"({"msgType":1,"objects":[{"objType":4,"deviceSerial":-1,"portId":7}]})");
    ASSERT_TRUE(waitFor([&] { return rec.count() == 1; }));
    EXPECT_NE(rec.lines()[0].find("\"portId\":7,"), std::string::npos);
    EXPECT_TRUE(log.contains("\"deviceSerial\" is missing"));
}

TEST_F(ConsoleTest, ReadableModeNamesTypesAndFields) {
    startConsole(false);
    RawConn conn(port);
    ASSERT_GE(console->out().waitForLine("connected from"), 0);
    conn.write(sampleEvent(1) + "\n");
    conn.write(R"({"msgType":9,"objects":[{"objType":12,"deviceSerial":-1,"capId":1,)"
               R"("value":"7"},{"objType":99}]})"
               "\n");
    conn.write("{\"msgType\":5,\"objects\":[]}\n");
    EXPECT_GE(console->out().waitForLine(
                  "event | sample deviceSerial=1234 portNum=3 seqNum=1 sample=25.5"),
              0)
        << console->out().text();
    EXPECT_GE(console->out().waitForLine("msgType 9 | capability deviceSerial=-1 capId=1 "
                                         "label=\"\" value=\"7\" | objType 99"),
              0)
        << console->out().text();
    EXPECT_GE(console->out().waitForLine("reply | (no objects)"), 0);
}

TEST_F(ConsoleTest, GarbageFromTheDaemonIsReportedOnStandardErrorOnly) {
    startConsole(true);
    RawConn conn(port);
    ASSERT_GE(console->err().waitForLine("connected from"), 0);
    conn.write("junk\n{\"msgType\":1}\n" + sampleEvent(2) + "\n");
    ASSERT_GE(console->out().waitForLine("\"seqNum\":2"), 0);
    EXPECT_EQ(console->out().size(), 1u);
    EXPECT_GE(console->err().waitForLine("rejected: not JSON"), 0);
    EXPECT_GE(console->err().waitForLine("rejected: \"objects\" is missing"), 0);
}

TEST_F(ConsoleTest, ANewConnectionReplacesTheOldOne) {
    startConsole(true);
    RawConn first(port);
    ASSERT_GE(console->err().waitForLine("connected from"), 0);
    RawConn second(port);
    ASSERT_GE(console->err().waitForLine("replaced"), 0);
    type("caps");
    EXPECT_NE(second.readLine().find("\"objType\":12"), std::string::npos);
    EXPECT_EQ(first.readLine(1s), "");  // closed, nothing received
}

TEST_F(ConsoleTest, LinesTypedWhileNobodyIsConnectedAreNotSent) {
    startConsole(true);
    type("device");
    EXPECT_GE(console->err().waitForLine("not connected"), 0);
}

TEST_F(ConsoleTest, QuitSendsWhatWasTypedBeforeAndExitsZero) {
    startConsole(true);
    RawConn conn(port);
    ASSERT_GE(console->err().waitForLine("connected from"), 0);
    console->writeStdin("caps\nquit\ndevice\n");
    EXPECT_EQ(console->wait(), 0);
    EXPECT_NE(conn.readLine().find("\"objType\":12"), std::string::npos);
    EXPECT_EQ(conn.readLine(1s), "");  // nothing after quit
}

TEST_F(ConsoleTest, EndOfInputAndSignalsExitZero) {
    startConsole(true);
    console->closeStdin();
    EXPECT_EQ(console->wait(), 0);
    for (int sig : {SIGTERM, SIGINT}) {
        startConsole(true);
        console->kill(sig);
        EXPECT_EQ(console->wait(), 0) << sig;
    }
}

// --help and --version print on standard output and exit 0; a bad option or value is named on
// standard error with a hint to --help and exit status 64, before anything listens.
TEST(ConsoleCommandLine, HelpVersionAndBadOptions) {
    const std::string version = std::string("vexa-console ") + BORL1D_VERSION;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string shown;  // a line on standard output, or the error on standard error
    } cases[] = {
        {{"--help"}, 0, "  set <port> <value>       set an analogue output"},
        {{"-h"}, 0, "usage: vexa-console --port N [--bind ADDRESS] [--json]"},
        {{"--version"}, 0, version},
        {{"-V"}, 0, version},
        {{}, 64, "vexa-console: --port is required (0 takes any free port)"},
        {{"--port", "abc"}, 64, "vexa-console: --port takes a TCP port 0..65535, not \"abc\""},
        {{"--port=65536"}, 64, "vexa-console: --port takes a TCP port 0..65535, not \"65536\""},
        {{"--port"}, 64, "vexa-console: --port needs a value"},
        {{"--port", "0", "--bind", "localhost"},
         64,
         "vexa-console: --bind takes a numeric IPv4 or IPv6 address, not \"localhost\""},
        {{"--port", "0", "--json=1"}, 64, "vexa-console: --json takes no value"},
        {{"--port", "0", "--jsn"}, 64, "vexa-console: unknown option --jsn"},
        {{"--port", "0", "extra"}, 64, "vexa-console: unexpected argument \"extra\""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        c.args.insert(c.args.begin(), testsupport::builtBinary("vexa-console"));
        Process p(c.args);
        ASSERT_EQ(p.wait(), c.status);
        ASSERT_TRUE(p.out().waitForEof() && p.err().waitForEof());
        if (c.status == 0) {
            EXPECT_GE(p.out().waitForLine(c.shown, 0ms), 0) << p.out().text();
            EXPECT_EQ(p.err().size(), 0u) << p.err().text();
        } else {
            EXPECT_EQ(p.out().size(), 0u) << p.out().text();
            EXPECT_EQ(p.err().text(),
                      c.shown + "\nTry 'vexa-console --help' for more information.\n");
        }
    }
}

}  // namespace
