#include "fuzzSupport.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>
#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <cerrno>
#include <cstdio>

#include "cObjectCodec.h"
#include "cQlog.h"

namespace fuzzsupport {

namespace {

class NullAppender : public log4cpp::AppenderSkeleton {
public:
    NullAppender() : log4cpp::AppenderSkeleton("fuzz-null") {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }
    void close() override {}
    bool reopen() override { return true; }

protected:
    void _append(const log4cpp::LoggingEvent&) override {}
};

void dropXmlMessage(void*, const char*, ...) {}
void dropStructuredXmlMessage(void*, xmlErrorPtr) {}

void makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        fail("mkdir", path);
}

}  // namespace

void quietLogging() {
    // The category of the platform's stderr fallback exists once any cQlog ran: replace every
    // appender of the root with the discarding one.
    log4cpp::Category& root = cQlog::getLog("");
    root.removeAllAppenders();
    root.addAppender(new NullAppender());  // owned by the root category
    root.setPriority(log4cpp::Priority::DEBUG);
    xmlSetGenericErrorFunc(nullptr, dropXmlMessage);
    xmlSetStructuredErrorFunc(nullptr, dropStructuredXmlMessage);
}

const std::string& enterScratchRoot() {
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/borl1d-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            fail("mkdtemp", pattern);
        std::string root(buf.data());
        if (chdir(root.c_str()) != 0)
            fail("chdir", root);
        makeDir("etc");
        makeDir("etc/vexa");
        makeDir("etc/vexa/borl1d");
        makeDir("etc/vexa/borl1d/devices");
        return root;
    }();
    return dir;
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

void EncodingClient::send(cObjectList* message) {
    // The real client serialises before it returns; a message it could not encode would be a
    // fault of the daemon's objects.
    std::string line = vexaobj::encodeMessage(*message);
    FUZZ_CHECK(!line.empty() && line.find('\n') == std::string::npos, line);
    sent.push_back(Sent{message->getMsgType(), message->numObjects()});
}

}  // namespace fuzzsupport
