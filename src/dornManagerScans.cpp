// The two start-up scans: the serial-port assignment files, which tell on which bus the
// controller hangs, and the device description files, which give the device serial number.
#include <dirent.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cConfig.h"
#include "dornManager.h"

namespace {

// Owner text that marks the controller's bus in the serial-port assignment files.
const char* const kOwnerKeyword = "Borl100";

constexpr size_t kPathSize = 500;  // composed path of one directory entry
constexpr size_t kTextSize = 128;  // one owner or serial text, cut to 127 characters

bool isElement(const xmlNode* node, const char* name) {
    return xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// Bus of the port at `position` (from 1) within its serialconfig; nullptr beyond the fourth.
const char* busDevice(int position) {
    switch (position) {
        case 1:
            return "/dev/ttyS1";
        case 2:
            return "/dev/ttyS2";
        case 3:
            return "/dev/ttyS3";
        case 4:
            return "/dev/ttyS4";
        default:
            return nullptr;
    }
}

}  // namespace

bool dornManager::readSerialConf() {
    info("loading serialconf.xml:.");
    DIR* dir = opendir(serConfDir);
    if (!dir)
        return false;

    bool readSuccess = false;
    char file[kPathSize];
    char owner[kTextSize];
    while (struct dirent* entry = readdir(dir)) {
        int n = snprintf(file, sizeof file, "%s/%s", serConfDir, entry->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof file) {
            debug("Path too long, entry skipped: %s", entry->d_name);
            continue;
        }
        if (!strstr(file, "serialconf.xml"))
            continue;

        xmlDoc* doc = xmlParseFile(file);
        if (!doc) {
            info("serialconf.xml not parsed:.");
            break;
        }
        xmlNode* root = xmlDocGetRootElement(doc);
        if (!root) {
            info("serialconf.xml is Empty:.");
            xmlFreeDoc(doc);
            break;
        }
        if (!isElement(root, "config")) {
            info("serialconfig.xml content error:.");
            xmlFreeDoc(doc);
            break;
        }

        memset(owner, 0, sizeof owner);
        info("Checking for serialconfig tag");
        for (xmlNode* sc = root->xmlChildrenNode; sc; sc = sc->next) {
            if (!isElement(sc, "serialconfig"))
                continue;
            int iteration = 0;
            for (xmlNode* port = sc->xmlChildrenNode; port; port = port->next) {
                debug("port: %s", reinterpret_cast<const char*>(port->name));
                if (!isElement(port, "port"))
                    continue;
                debug("Iteration: %d", iteration);
                ++iteration;  // now the position of this port, from 1
                for (xmlNode* o = port->xmlChildrenNode; o; o = o->next) {
                    if (!isElement(o, "owner"))
                        continue;
                    xmlChar* keyword = xmlNodeListGetString(doc, o->xmlChildrenNode, 1);
                    if (!keyword)
                        continue;  // an empty owner names nobody
                    strncpy(owner, reinterpret_cast<const char*>(keyword), sizeof owner - 1);
                    debug("keyword: %s", reinterpret_cast<const char*>(keyword));
                    xmlFree(keyword);
                    debug("owner: %s", owner);
                    if (strcmp(owner, kOwnerKeyword) != 0)
                        continue;
                    readSuccess = true;
                    if (const char* bus = busDevice(iteration)) {
                        info("Borl100 using bus ttyS%d", iteration);
                        serBusPort = bus;
                    } else {
                        error("Could not determine bus");
                    }
                }
            }
        }
        xmlFreeDoc(doc);
    }
    closedir(dir);
    return readSuccess;
}

bool dornManager::loadXml() {
    info("loading xml");
    const char* DeviceDir = cConfig::getString("borl1d.device.dir", DefaultDeviceDir);
    DIR* dir = opendir(DeviceDir);
    if (!dir) {
        debug("Error: Could not load .xml file\n");
        return false;
    }
    // A directory configured without its trailing slash still names the same files.
    size_t dirLen = strlen(DeviceDir);
    const char* separator = (dirLen > 0 && DeviceDir[dirLen - 1] != '/') ? "/" : "";

    bool start_requirement = false;
    char file[kPathSize];
    char serial[kTextSize];
    while (struct dirent* entry = readdir(dir)) {
        int n = snprintf(file, sizeof file, "%s%s%s", DeviceDir, separator, entry->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof file) {
            debug("Path too long, entry skipped: %s", entry->d_name);
            continue;
        }
        if (!strstr(file, ".xml"))
            continue;
        start_requirement = true;

        xmlDoc* doc = xmlParseFile(file);
        if (!doc) {
            debug("Document not parsed successfully:.");
            continue;
        }
        xmlNode* root = xmlDocGetRootElement(doc);
        if (!root) {
            debug("Document is Empty:.");
            xmlFreeDoc(doc);
            continue;
        }
        if (!isElement(root, "Borl100")) {
            debug("Document is of the wrong type, root node != device:.");
            xmlFreeDoc(doc);
            continue;
        }
        memset(serial, 0, sizeof serial);
        for (xmlNode* node = root->xmlChildrenNode; node; node = node->next) {
            if (!isElement(node, "serial"))
                continue;
            xmlChar* keyword = xmlNodeListGetString(doc, node->xmlChildrenNode, 1);
            if (!keyword)
                continue;  // an empty serial element gives no number
            strncpy(serial, reinterpret_cast<const char*>(keyword), sizeof serial - 1);
            xmlFree(keyword);
            // strtoul is 64 bits wide here: clamp to the 32 bits of a device serial.
            unsigned long value = strtoul(serial, nullptr, 0);
            if (value > UINT32_MAX)
                value = UINT32_MAX;
            devSerial = static_cast<int>(static_cast<uint32_t>(value));
        }
        xmlFreeDoc(doc);
    }
    closedir(dir);
    return start_requirement;
}
