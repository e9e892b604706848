#include "logCapture.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "cQlog.h"

namespace testsupport {

LogCapture::LogCapture(const std::string& category, Keep keep)
    : log4cpp::AppenderSkeleton("capture-" + category),
      mCategory(cQlog::getLog(category.c_str())),
      mKeep(keep),
      mRoot(false),
      mOldPriority(mCategory.getPriority()),
      mOldAdditivity(mCategory.getAdditivity()) {
    mCategory.setPriority(log4cpp::Priority::DEBUG);
    mCategory.setAdditivity(false);
    mCategory.addAppender(*this);  // by reference: log4cpp does not own it
}

LogCapture::LogCapture(Root, log4cpp::Priority::Value priority, Keep keep)
    : log4cpp::AppenderSkeleton("capture-everything"),
      mCategory(log4cpp::Category::getRoot()),
      mKeep(keep),
      mRoot(true),
      mOldPriority(mCategory.getPriority()),
      mOldAdditivity(mCategory.getAdditivity()) {
    cQlog::getLog("");  // the logging library's defaults first, so that they do not come later
    mCategory.removeAllAppenders();
    mCategory.setPriority(priority);
    mCategory.addAppender(*this);
}

LogCapture* LogCapture::everything(log4cpp::Priority::Value priority, Keep keep) {
    return new LogCapture(Root{}, priority, keep);
}

LogCapture::~LogCapture() {
    mCategory.removeAppender(this);
    mCategory.setPriority(mOldPriority);
    if (!mRoot)
        mCategory.setAdditivity(mOldAdditivity);
}

void LogCapture::_append(const log4cpp::LoggingEvent& event) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto& c = mCounts[event.message];
    if (c.first++ == 0)
        c.second = event.priority;
    if (mKeep == Keep::Lines)
        mLines.push_back({event.priority, event.message});
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> out;
    for (const Line& r : lines())
        out.push_back(r.message);
    return out;
}

size_t LogCapture::count(const std::string& message) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mCounts.find(message);
    return it == mCounts.end() ? 0 : static_cast<size_t>(it->second.first);
}

size_t LogCapture::countStarting(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (auto it = mCounts.lower_bound(prefix);
         it != mCounts.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
        n += static_cast<size_t>(it->second.first);
    return n;
}

size_t LogCapture::countContaining(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (const auto& c : mCounts) {
        if (c.first.find(part) != std::string::npos)
            n += static_cast<size_t>(c.second.first);
    }
    return n;
}

int LogCapture::priorityOf(const std::string& message) const {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mCounts.find(message);
    return it == mCounts.end() ? -1 : it->second.second;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.clear();
    mCounts.clear();
}

namespace {

class Discard : public log4cpp::AppenderSkeleton {
public:
    Discard() : log4cpp::AppenderSkeleton("discard") {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }
    void close() override {}
    bool reopen() override { return true; }

protected:
    void _append(const log4cpp::LoggingEvent&) override {}
};

void dropXmlMessage(void*, const char*, ...) {}
void dropStructuredXmlMessage(void*, xmlErrorPtr) {}

}  // namespace

void discardLogs(log4cpp::Priority::Value priority) {
    cQlog::getLog("");  // the logging library's defaults first
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.addAppender(new Discard());  // owned by the root category
    root.setPriority(priority);
    xmlSetGenericErrorFunc(nullptr, dropXmlMessage);
    xmlSetStructuredErrorFunc(nullptr, dropStructuredXmlMessage);
}

}  // namespace testsupport
