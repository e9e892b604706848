// The table of configuration keys in-process: a key from the file or its default into its field,
// a bad value warned about with the default kept, an unknown key named with the nearest one, and
// the exchange's timing settled in one place: the timing keys, the command line's --timing over
// them, then --time-scale, which the configured serial line (19200 baud here) may refuse.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dornManager.h"
#include "inProcess.h"
#include "testSupport.h"

namespace {

struct Case {
    const char* legend;
    std::string conf;     // borl1d.conf
    std::string problem;  // in the one start-up problem, an error when the scale is refused
    std::vector<std::pair<const char*, unsigned>> timing = {};  // --timing's items
    unsigned scale = 1;                                         // --time-scale
    unsigned pauseMs = 1000, waitMs = 2000;                     // in force, when not refused
};

}  // namespace

TEST(ConfigKeys, EachKeyReachesItsFieldAndTheTimingIsSettledInOnePlace) {
    const Case cases[] = {
        {"no keys", "", ""},
        {"the timing keys", "borl1d.poll.pause=300\nborl1d.poll.wait=0x2bc", "", {}, 1, 300, 700},
        {"--timing over a key", "borl1d.poll.pause = 300\n", "", {{"pause", 20}}, 1, 20},
        {"--time-scale over both", "borl1d.poll.pause = 300\n", "", {{"wait", 900}}, 3, 100, 300},
        {"a wait out of bounds", "borl1d.poll.wait = 100\n",
         "\"100\" is not a number of milliseconds 500..5000; 2000 is used"},
        {"a size too small", "borl1d.capture.maxsize = 3k\n",
         "\"3k\" is not a size of at least 4096 bytes"},
        {"a mistyped key", "borl1d.poll.paus = 5\n", "the nearest known key is borl1d.poll.pause"},
        {"the fastest time scale the line allows", "", "", {}, 49, 20, 40},
        {"a time scale the line cannot carry",
         "",
         "this line allows --time-scale 49 at most",
         {},
         50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        testsupport::ScratchDir dir("config");
        testsupport::useConfRoot(dir / "etc/vexa");
        testsupport::writeFile(dir / "etc/vexa/borl1d.conf", c.conf);
        testsupport::writeFile(dir / "etc/vexa/serialconf.xml",
                               "<config><serialconfig><port/><port><owner>Borl100</owner><baud>"
                               "19200</baud></port></serialconfig></config>");
        config::Overrides given;
        for (const auto& [item, ms] : c.timing)
            given.timing.emplace_back(config::timingItem(item), ms);
        given.timeScale = c.scale;
        dornManager manager(true, given);  // a check's: the logging set-up is left alone
        const std::unique_ptr<qserial::SerialConfig> line(
            manager.mSerconf = new qserial::SerialConfig(manager.serConf, manager.devOwner));
        const bool refused = c.scale == 50;
        EXPECT_EQ(manager.settleTiming(), !refused);
        const auto& problems = refused ? manager.startupErrors() : manager.startupWarnings();
        ASSERT_EQ(problems.size(), c.problem.empty() ? 0u : 1u);
        EXPECT_TRUE(c.problem.empty() || problems[0].find(c.problem) != std::string::npos)
            << problems[0];
        if (!refused) {
            EXPECT_EQ(manager.link().timing().pauseMs, c.pauseMs);
            EXPECT_EQ(manager.link().timing().waitMs, c.waitMs);
        }
        EXPECT_STREQ(manager.serBusPort, "/dev/ttyS2");  // the other keys' defaults
        EXPECT_EQ(manager.southPort, 50000);
    }
}
