#include "fuzzSupport.h"

#include <cstdio>

#include "cObjectCodec.h"
#include "dornManager.h"
#include "inProcess.h"
#include "logCapture.h"

namespace fuzzsupport {

dornManager* manager() {
    static dornManager* m = [] {
        testsupport::discardLogs(log4cpp::Priority::DEBUG);
        testsupport::privateConfRoot();
        dornManager* mgr = new dornManager();
        // the manager's start may have touched the set-up
        testsupport::discardLogs(log4cpp::Priority::DEBUG);
        return mgr;
    }();
    return m;
}

void writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        fail("fopen", path);
    if (size > 0 && fwrite(data, 1, size, f) != size)
        fail("fwrite", path);
    fclose(f);
}

void fail(const char* what, const std::string& detail) {
    fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    abort();
}

void checkEncodes(cObjectList& message) {
    // The real client serialises before it returns; a message it could not encode would be a
    // fault of the daemon's objects.
    const std::string line = vexaobj::encodeMessage(message);
    FUZZ_CHECK(!line.empty() && line.find('\n') == std::string::npos, line);
}

}  // namespace fuzzsupport
