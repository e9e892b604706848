// The two start-up scans: the serial-port assignment files, which tell on which bus the
// controller hangs, and the device description files, which give the device serial number.
// Entries are read in sorted name order, so that "the last match wins" does not depend on the
// file system; only regular files of at most 1 MiB are read, and each problem is logged with the
// file it is in and what to do about it.
#include <dirent.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dornManager.h"
#include "xmlFile.h"

using qutils::XmlFile;

namespace {

// Owner text that marks the controller's bus in the serial-port assignment files.
const char* const kOwnerKeyword = "Borl100";

constexpr size_t kPathSize = 500;  // composed path of one directory entry
constexpr size_t kTextSize = 128;  // one owner or serial text, cut to 127 characters
constexpr size_t kListed = 8;      // files and owners named in one line at most

bool isElement(const xmlNode* node, const char* name) {
    return xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// Bus of the port at `position` (from 1) within its serialconfig; nullptr beyond the fourth.
const char* busDevice(int position) {
    static const char* const kBuses[] = {"/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyS4"};
    return position >= 1 && position <= 4 ? kBuses[position - 1] : nullptr;
}

// The entry names of `dir` in byte order; false with errno set when it cannot be listed.
bool sortedEntries(const char* dir, std::vector<std::string>& names) {
    DIR* d = opendir(dir);
    if (!d)
        return false;
    while (struct dirent* entry = readdir(d))
        names.push_back(entry->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

// "a, b, c" of at most kListed items, then how many more; `none` when empty.
std::string listed(const std::vector<std::string>& items, const char* none) {
    if (items.empty())
        return none;
    std::string out;
    for (size_t i = 0; i < items.size() && i < kListed; ++i)
        out += (i ? ", " : "") + items[i];
    if (items.size() > kListed)
        out += " and " + std::to_string(items.size() - kListed) + " more";
    return out;
}

// A device serial: what strtoul reads with base 0, and it has to lie in 0 ... 0xFFFFFFFE. A
// negative number or one beyond that range (0xFFFFFFFF is the wildcard "any device") is refused.
bool parseDeviceSerial(const char* text, uint32_t& serial) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!isdigit(static_cast<unsigned char>(*p))) {  // no digits: strtoul gives 0
        serial = 0;
        return true;
    }
    errno = 0;
    unsigned long long value = strtoull(p, nullptr, 0);
    if (errno == ERANGE || value > 0xFFFFFFFEull || (negative && value != 0))
        return false;
    serial = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

// The one directory loop of both scans: each entry of `dir` in sorted order whose composed path
// (`dir`, `separator`, name) contains `needle`, opened as a start-up XML file and handed to
// `visit`, which returns false to end the scan. An entry that is no regular file is passed over
// with a warning naming it as `what`. False with errno set when `dir` cannot be listed.
bool dornManager::scanFiles(const char* dir, const char* separator, const char* needle,
                            const char* what, const FileVisit& visit) {
    std::vector<std::string> names;
    if (!sortedEntries(dir, names))
        return false;
    char file[kPathSize];
    for (const std::string& name : names) {
        int n = snprintf(file, sizeof file, "%s%s%s", dir, separator, name.c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof file) {
            debug("Path too long, entry skipped: %s", name.c_str());
            continue;
        }
        if (!strstr(file, needle))
            continue;
        XmlFile xml(file);
        if (xml.status() == XmlFile::NotRegular) {
            startupProblem(false, WARN, "%s %s is %s: passed over", what, file,
                           xml.reason().c_str());
            continue;
        }
        if (!visit(file, name, xml))
            break;
    }
    return true;
}

// What the serial-port assignment scan has found so far.
struct dornManager::AssignmentScan {
    bool readSuccess = false;
    std::string stoppedAt;             // the problem with the file that ended the scan
    std::vector<std::string> scanned;  // assignment files read
    std::vector<std::string> owners;   // other owners found, quoted
    std::string keyword;
};

bool dornManager::readSerialConf() {
    info("loading serialconf.xml:.");
    AssignmentScan scan;
    const bool listed =
        scanFiles(serConfDir, "/", "serialconf.xml", "Serial-port assignment file",
                  [&](const char* file, const std::string& name, const XmlFile& xml) {
                      scan.scanned.push_back(name);
                      return readAssignmentFile(file, xml, scan);
                  });
    if (!listed) {
        startupProblem(true, ERROR,
                       "Serial-port assignment directory %s cannot be read (%s): it must hold "
                       "serialconf.xml with a <port> owned by \"%s\"",
                       serConfDir, strerror(errno), kOwnerKeyword);
        return false;
    }
    reportAssignmentScan(scan);
    return scan.readSuccess;
}

// One assignment file: false when it is not a usable one, which stops the scan.
bool dornManager::readAssignmentFile(const char* file, const XmlFile& xml, AssignmentScan& scan) {
    auto stopScan = [&](const std::string& what) {
        scan.stoppedAt = std::string("Serial-port assignment file ") + file + what +
                         "; the scan stops here: fix the file or move it out of " + serConfDir;
        error("%s", scan.stoppedAt.c_str());
    };
    xmlDoc* doc = xml.doc();
    if (!doc) {
        stopScan(" not parsed (" + xml.reason() + ")");
        info("serialconf.xml not parsed:.");
        return false;
    }
    xmlNode* root = xmlDocGetRootElement(doc);
    if (!root) {
        stopScan(" has no root element");
        info("serialconf.xml is Empty:.");
        return false;
    }
    if (!isElement(root, "config")) {
        stopScan(std::string(": root element <") + reinterpret_cast<const char*>(root->name) +
                 "> instead of <config>");
        info("serialconfig.xml content error:.");
        return false;
    }
    info("Checking for serialconfig tag");
    for (xmlNode* sc = root->xmlChildrenNode; sc; sc = sc->next) {
        if (isElement(sc, "serialconfig"))
            readSerialconfig(file, xml, sc, scan);
    }
    return true;
}

// The ports of one <serialconfig>, numbered from 1 in document order.
void dornManager::readSerialconfig(const char* file, const XmlFile& xml, const xmlNode* sc,
                                   AssignmentScan& scan) {
    int iteration = 0;
    for (xmlNode* port = sc->xmlChildrenNode; port; port = port->next) {
        debug("port: %s", reinterpret_cast<const char*>(port->name));
        if (!isElement(port, "port"))
            continue;
        debug("Iteration: %d", iteration);
        ++iteration;  // now the position of this port, from 1
        for (xmlNode* o = port->xmlChildrenNode; o; o = o->next) {
            // An empty owner names nobody.
            if (isElement(o, "owner") && xml.text(o, scan.keyword))
                readOwner(file, iteration, scan);
        }
    }
}

// One owner text of the port at `position`: the controller's keyword takes the bus.
void dornManager::readOwner(const char* file, int position, AssignmentScan& scan) {
    const std::string owner = scan.keyword.substr(0, kTextSize - 1);
    debug("keyword: %s", scan.keyword.c_str());
    debug("owner: %s", owner.c_str());
    if (owner != kOwnerKeyword) {
        std::string quoted = "\"" + owner.substr(0, 40) + "\"";
        if (std::find(scan.owners.begin(), scan.owners.end(), quoted) == scan.owners.end())
            scan.owners.push_back(quoted);
        return;
    }
    scan.readSuccess = true;
    if (const char* bus = busDevice(position)) {
        info("Borl100 using bus ttyS%d", position);
        serBusPort = bus;
        serBusFrom = std::string("assignment file ") + file + ", port " + std::to_string(position);
    } else {
        error("Could not determine bus");
    }
}

// The problems of a finished assignment scan: where it stopped, or why no bus was found.
void dornManager::reportAssignmentScan(AssignmentScan& scan) {
    if (!scan.stoppedAt.empty()) {
        // Fatal unless an earlier file gave the bus.
        (scan.readSuccess ? mStartupWarnings : mStartupErrors).push_back(scan.stoppedAt);
    }
    if (scan.readSuccess || (!scan.stoppedAt.empty() && scan.scanned.size() < 2))
        return;  // the bus is found, or the scan stopped at its first file: nothing more to say
    if (scan.scanned.empty()) {
        startupProblem(true, ERROR,
                       "No serial-port assignment file in %s (no regular file whose name "
                       "contains \"serialconf.xml\"): add serialconf.xml with a <port> owned by "
                       "\"%s\"",
                       serConfDir, kOwnerKeyword);
        return;
    }
    if (!scan.stoppedAt.empty())
        scan.scanned.pop_back();  // the file the scan stopped at gave no owners
    startupProblem(true, ERROR,
                   "No port owned by \"%s\" in the serial-port assignment files of %s (read: "
                   "%s; owners found: %s): put <owner>%s</owner> in the <port> of the "
                   "controller's bus (exact text: case and white space count)",
                   kOwnerKeyword, serConfDir, listed(scan.scanned, "none").c_str(),
                   listed(scan.owners, "none").c_str(), kOwnerKeyword);
}

bool dornManager::loadXml() {
    info("loading xml");
    const char* DeviceDir = devDir;
    // A directory configured without its trailing slash still names the same files.
    size_t dirLen = strlen(DeviceDir);
    const char* separator = (dirLen > 0 && DeviceDir[dirLen - 1] != '/') ? "/" : "";

    bool start_requirement = false;
    bool serialRefused = false;
    const bool listed = scanFiles(DeviceDir, separator, ".xml", "Device description",
                                  [&](const char* file, const std::string&, const XmlFile& xml) {
                                      start_requirement = true;
                                      readDeviceFile(file, DeviceDir, xml, serialRefused);
                                      return true;  // no file ends the scan early
                                  });
    if (!listed) {
        int err = errno;
        debug("Error: Could not load .xml file\n");
        startupProblem(true, ERROR,
                       "Device directory %s cannot be read (%s): create it and put the device "
                       "description in it (a .xml file holding <Borl100><serial>N</serial>"
                       "</Borl100>)",
                       DeviceDir, strerror(err));
        return false;
    }
    if (start_requirement && devSerialFile.empty() && !serialRefused) {
        startupProblem(false, WARN,
                       "No device serial in the device descriptions of %s: the device is "
                       "published with serial %u; put <serial>N</serial> in its description",
                       DeviceDir, static_cast<unsigned>(devSerial));
    }
    if (!start_requirement) {
        startupProblem(true, ERROR,
                       "Device directory %s holds no device description (no regular file whose "
                       "name contains \".xml\"): add one holding <Borl100><serial>N</serial>"
                       "</Borl100>",
                       DeviceDir);
    }
    return start_requirement;
}

// One device description: its <serial> elements, the last one read wins.
void dornManager::readDeviceFile(const char* file, const char* dir, const XmlFile& xml,
                                 bool& serialRefused) {
    xmlDoc* doc = xml.doc();
    if (!doc) {
        debug("Document not parsed successfully:.");
        startupProblem(false, ERROR,
                       "Device description %s not parsed (%s): passed over; fix the file", file,
                       xml.reason().c_str());
        return;
    }
    xmlNode* root = xmlDocGetRootElement(doc);
    if (!root) {
        debug("Document is Empty:.");
        startupProblem(false, ERROR,
                       "Device description %s has no root element: passed over; fix the file",
                       file);
        return;
    }
    if (!isElement(root, "Borl100")) {
        debug("Document is of the wrong type, root node != device:.");
        startupProblem(false, ERROR,
                       "Device description %s: root element <%s> instead of <Borl100>: "
                       "passed over; fix the file or move it out of %s",
                       file, reinterpret_cast<const char*>(root->name), dir);
        return;
    }
    std::string keyword;
    for (xmlNode* node = root->xmlChildrenNode; node; node = node->next) {
        // An empty serial element gives no number.
        if (!isElement(node, "serial") || !xml.text(node, keyword))
            continue;
        const std::string serial = keyword.substr(0, kTextSize - 1);
        uint32_t value = 0;
        if (!parseDeviceSerial(serial.c_str(), value)) {
            startupProblem(false, ERROR,
                           "Device description %s: serial \"%s\" is not a number from 0 to "
                           "4294967294: ignored; write the device's serial number there",
                           file, serial.c_str());
            serialRefused = true;
            continue;
        }
        devSerial = static_cast<int>(value);
        devSerialFile = file;
    }
}
