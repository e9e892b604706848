// The daemon's paths in this process: apart from site.cpp so that a test that only writes sites
// and starts the binary does not need the daemon's library.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "dornManager.h"
#include "site.h"

namespace testsupport {

void useConfRoot(const std::string& root) {
    setConfPaths(root.c_str(), nullptr);
}

const std::string& privateConfRoot() {
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/borl1d-root-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            throw std::runtime_error("mkdtemp " + pattern);
        std::string d(buf.data());
        for (const char* sub :
             {"/etc", "/etc/vexa", "/etc/vexa/borl1d", "/etc/vexa/borl1d/devices"})
            if (mkdir((d + sub).c_str(), 0700) != 0 && errno != EEXIST)
                throw std::runtime_error("mkdir " + d + sub);
        useConfRoot(d + "/etc/vexa");
        return d;
    }();
    return dir;
}

}  // namespace testsupport
