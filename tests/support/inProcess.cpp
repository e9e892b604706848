// Apart from site.cpp so that a test that only writes sites and starts the binary does not need
// the daemon's library.
#include "inProcess.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "dornManager.h"
#include "southDevice.h"

namespace testsupport {

void useConfRoot(const std::string& root) {
    setConfPaths(root.c_str(), nullptr);
}

namespace {

// Never destroyed: the exit handler reads it after the static objects are gone.
const std::string* gPrivateRoot = nullptr;

void removePrivateRoot() {
    std::error_code ec;
    std::filesystem::remove_all(*gPrivateRoot, ec);
}

}  // namespace

const std::string& privateConfRoot() {
    static const std::string& dir = *[] {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/borl1d-root-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            throw std::runtime_error("mkdtemp " + pattern);
        gPrivateRoot = new std::string(buf.data());
        std::filesystem::create_directories(*gPrivateRoot + "/etc/vexa/borl1d/devices");
        useConfRoot(*gPrivateRoot + "/etc/vexa");
        std::atexit(removePrivateRoot);
        return gPrivateRoot;
    }();
    return dir;
}

void resetExchangeState(dornManager* manager) {
    count = 0;
    addCap_status = true;
    if (manager != nullptr)
        manager->link().resetState();
}

}  // namespace testsupport
