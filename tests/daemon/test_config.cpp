// The table of configuration keys in-process: a key from the file or its default into its field,
// a bad value warned about with the default kept, an unknown key named with the nearest one, and
// the exchange's timing settled in one place: the timing keys, the command line's --timing over
// them, then --time-scale, which the configured serial line may refuse.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dornManager.h"
#include "inProcess.h"
#include "testSupport.h"

namespace {

struct Case {
    const char* legend;
    std::string conf;                                           // borl1d.conf
    std::vector<std::pair<const char*, unsigned>> timing = {};  // --timing's items
    unsigned scale = 1;                                         // --time-scale
    unsigned pauseMs = 1000, waitMs = 2000;                     // in force, when not refused
    std::string problem = "";  // the one start-up problem, an error when the scale is refused
};

}  // namespace

TEST(ConfigKeys, EachKeyReachesItsFieldAndTheTimingIsSettledInOnePlace) {
    const std::string in = " in etc/vexa/borl1d.conf: ";
    const Case cases[] = {
        {"no keys", ""},
        {"the timing keys", "borl1d.poll.pause = 300\nborl1d.poll.wait = 0x2bc\n", {}, 1, 300, 700},
        {"--timing over a key", "borl1d.poll.pause = 300\n", {{"pause", 20}}, 1, 20},
        {"--time-scale over both", "borl1d.poll.pause = 300\n", {{"wait", 900}}, 3, 100, 300},
        {"a wait out of bounds",
         "borl1d.poll.wait = 100\n",
         {},
         1,
         1000,
         2000,
         "Configuration key borl1d.poll.wait" + in +
             "\"100\" is not a number of milliseconds 500..5000; 2000 is used"},
        {"a size too small",
         "borl1d.capture.maxsize = 3k\n",
         {},
         1,
         1000,
         2000,
         "Configuration key borl1d.capture.maxsize" + in +
             "\"3k\" is not a size of at least 4096 bytes (a number, with k, M or G); 16777216 "
             "is used"},
        {"a mistyped key",
         "borl1d.poll.paus = 5\n",
         {},
         1,
         1000,
         2000,
         "Unknown configuration key \"borl1d.poll.paus\" in etc/vexa/borl1d.conf is ignored; "
         "the nearest known key is borl1d.poll.pause"},
        // 19200 baud: a poll and its reply take 134 ms on the line.
        {"the fastest time scale the line allows", "", {}, 49, 20, 40},
        {"a time scale the line cannot carry",
         "",
         {},
         50,
         0,
         0,
         "--time-scale 50 is too fast for serial port /dev/ttyS2 (19200 8N1 RS232): the offline "
         "time would be 200 ms, shorter than one answered poll (134 ms for the poll and its "
         "reply on the line, the pause of 20 ms and 50 ms for the controller to answer), so the "
         "device would be reported offline while it answers; this line allows --time-scale 49 "
         "at most"},
    };
    const std::string cwd = std::filesystem::current_path();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        testsupport::ScratchDir dir("config");
        std::filesystem::current_path(dir.path());  // the messages name etc/vexa/borl1d.conf
        testsupport::useConfRoot("etc/vexa");
        testsupport::writeFile("etc/vexa/borl1d.conf", c.conf);
        testsupport::writeFile("etc/vexa/serialconf.xml",
                               "<config><serialconfig><port/><port><owner>Borl100</owner><baud>"
                               "19200</baud></port></serialconfig></config>");
        config::Overrides given;
        for (const auto& [item, ms] : c.timing)
            given.timing.emplace_back(config::timingItem(item), ms);
        given.timeScale = c.scale;
        dornManager manager(true, given);  // a check's: the logging set-up is left alone
        manager.mSerconf = new qserial::SerialConfig(manager.serConf, manager.devOwner);
        const std::unique_ptr<qserial::SerialConfig> line(manager.mSerconf);
        const bool refused = c.problem.rfind("--time-scale", 0) == 0;
        EXPECT_EQ(manager.settleTiming(), !refused);
        const std::vector<std::string>& problems =
            refused ? manager.startupErrors() : manager.startupWarnings();
        EXPECT_EQ(problems, c.problem.empty() ? std::vector<std::string>{}
                                              : std::vector<std::string>{c.problem});
        if (!refused) {
            EXPECT_EQ(manager.link().timing().pauseMs, c.pauseMs);
            EXPECT_EQ(manager.link().timing().waitMs, c.waitMs);
        }
        EXPECT_STREQ(manager.serBusPort, "/dev/ttyS2");  // the other keys' defaults
        EXPECT_EQ(manager.southPort, 50000);
        std::filesystem::current_path(cwd);
    }
}
