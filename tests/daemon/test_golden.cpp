// Recorded exchanges: bytes from the controller and lines from vexad in, frames to the controller
// and messages to vexad out, compared with the files next to them in golden/.
//
// An .exchange file is an exchange file as the daemon's capture writes it (docs/capture.md), so
// that a field capture can become a golden test. Its records are steps:
//   <t> rx <hex bytes>            bytes the controller sent: the receive step
//   <t> set-recorded <p> <v>      vexad's set of analogue output p to v, as vexad sends it
//   <t> tx <hex bytes>            one receive-loop pick-up and the frame the transmit thread
//                                 sends next, which must be the recorded one
// the others (start, open, online, set-confirmed ...) are outcomes and are not replayed.
// The .expected file lists what came out: "tx <hex>" per frame sent, "out <json>" per message.
// BORL1D_UPDATE_GOLDEN=1 rewrites the .expected files (review the diff before committing).
// A recording keeps checking the inputs it was made with when inputs are added to the point table
// after it: their samples are left out and the device's input count read as the recording's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "cObjectCodec.h"
#include "dornManager.h"
#include "exchangeFile.h"
#include "inProcess.h"
#include "southDevice.h"
#include "testClient.h"
#include "testSupport.h"

namespace fs = std::filesystem;

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

// Runs one recorded exchange through the daemon's receive steps and returns its output lines.
std::vector<std::string> replay(const fs::path& file) {
    testsupport::resetExchangeState();  // capability publication is process-wide
    testsupport::ScratchDir site("golden");
    testsupport::useConfRoot(site / "etc/vexa");  // empty: the manager keeps its defaults
    testsupport::TestClient client;
    dornManager manager;
    SouthDevice device(&client, 4711, 1, "golden");
    manager.devA = &device;
    manager.mObjectClient = &client;

    std::vector<std::string> out;
    size_t reported = 0;
    auto collect = [&] {
        auto msgs = client.messages();
        for (; reported < msgs.size(); ++reported)
            out.push_back("out " + msgs[reported].json);
    };

    std::ifstream in(file);
    exchangefile::File exchange;
    size_t line = 0;
    std::string why;
    if (!exchangefile::read(in, exchange, line, why)) {
        ADD_FAILURE() << file << ":" << line << ": " << why;
        return out;
    }
    using exchangefile::Kind;
    for (const exchangefile::Record& r : exchange.records) {
        if (r.kind == Kind::Rx) {
            manager.link().receiveBytes(r.bytes.data(), r.bytes.size());
        } else if (r.kind == Kind::SetRecorded) {
            cObjectList message;
            std::string reason;
            const std::string json =
                "{\"msgType\":0,\"objects\":[{\"objType\":11,\"deviceSerial\":4294967295,"
                "\"portId\":" +
                std::to_string(r.param) + ",\"sampledValue\":" + std::to_string(r.value) + "}]}";
            EXPECT_TRUE(vexaobj::decodeMessage(json, message, reason)) << reason;
            device.handleObjectAction(&message);
            message.deleteObjects();
        } else if (r.kind == Kind::Tx) {
            manager.link().pickUpSet();
            const TxFrame frame = manager.link().nextFrame();
            manager.link().frameWritten(TxOutcome::whole(frame.len));
            const std::string sent = hex(frame.bytes, frame.len);
            EXPECT_EQ(exchangefile::hex(r.bytes.data(), r.bytes.size()), sent)
                << file << ":" << r.line << ": the daemon sent another frame";
            out.push_back("tx " + sent);
        }
        collect();
    }
    return out;
}

// The output as a daemon with the recording's inputs (its device's analogInCount) gives it.
void asRecorded(std::vector<std::string>& actual, const std::vector<std::string>& expected) {
    std::smatch m;
    const std::regex count("\"analogInCount\":([0-9]+)");
    int recorded = points::kInputs;
    for (const std::string& line : expected)
        if (std::regex_search(line, m, count))
            recorded = std::stoi(m[1]);
    const std::regex sample("\"objType\":9,\"deviceSerial\":[0-9]+,\"portNum\":([0-9]+)");
    std::vector<std::string> kept;
    for (const std::string& line : actual) {
        const bool added = std::regex_search(line, m, sample) && std::stoi(m[1]) > recorded &&
                           std::stoi(m[1]) <= points::kInputs;
        if (!added)
            kept.push_back(std::regex_replace(
                line, std::regex("\"analogInCount\":" + std::to_string(points::kInputs) + ","),
                "\"analogInCount\":" + std::to_string(recorded) + ","));
    }
    actual = kept;
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, ReplayMatchesTheRecordedOutput) {
    const fs::path dir = fs::path(BORL1D_SOURCE_DIR) / "tests/daemon/golden";
    const fs::path input = dir / (GetParam() + ".exchange");
    const fs::path expectedFile = dir / (GetParam() + ".expected");
    std::vector<std::string> actual = replay(input);

    if (const char* update = std::getenv("BORL1D_UPDATE_GOLDEN"); update && *update == '1') {
        std::ofstream o(expectedFile);
        for (const auto& l : actual)
            o << l << "\n";
        GTEST_SKIP() << "rewrote " << expectedFile;
    }
    std::ifstream e(expectedFile);
    ASSERT_TRUE(e) << "missing " << expectedFile << " (BORL1D_UPDATE_GOLDEN=1 writes it)";
    std::vector<std::string> expected;
    for (std::string l; std::getline(e, l);)
        expected.push_back(l);
    asRecorded(actual, expected);
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(actual[i], expected[i]) << "line " << i;
}

INSTANTIATE_TEST_SUITE_P(Exchanges, Golden, ::testing::Values("publish", "set", "noise"));

}  // namespace
