// Serial-port configuration: the ports of one owner with their line settings, and opening a port
// in raw 8-bit mode with those settings.
//
// File layout (one element per setting, all optional but `owner`):
//   <config>
//     <serialconfig>
//       <port>                       first port of this serialconfig: /dev/ttyS1
//         <owner>Borl100</owner>     party the port belongs to (several owners allowed)
//         <baud>9600</baud>          115200, 57600, 38400, 19200 or 9600
//         <databits>8</databits>     5 to 8
//         <stopbits>1</stopbits>     1 or 2
//         <mode>RS485</mode>         RS232 or RS485
//       </port>
//     </serialconfig>
//   </config>
#include "SerialConfig.h"

#include <fcntl.h>
#include <libxml/tree.h>
#include <linux/serial.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cQlog.h"
#include "xmlFile.h"

namespace qserial {

namespace {

const cQlog& logger() {
    static const cQlog* log = new cQlog("SerialConfig");
    return *log;
}

bool named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// Text content of an element, white space around it removed when `trim`; empty when it has none.
std::string textOf(const qutils::XmlFile& xml, const xmlNode* node, bool trim) {
    std::string s;
    if (!xml.text(node, s))
        return std::string();
    if (trim) {
        const char* ws = " \t\r\n";
        size_t b = s.find_first_not_of(ws);
        if (b == std::string::npos)
            return std::string();
        s = s.substr(b, s.find_last_not_of(ws) - b + 1);
    }
    return s;
}

// Every line setting once: its text in the file, its value and what the terminal needs for it.
struct BaudEntry {
    const char* text;
    eBaudRate value;
    speed_t speed;
};
constexpr BaudEntry kBauds[] = {
    {"115200", BR_115200, B115200}, {"57600", BR_57600, B57600}, {"38400", BR_38400, B38400},
    {"19200", BR_19200, B19200},    {"9600", BR_9600, B9600},
};
struct DataBitsEntry {
    const char* text;
    eDataBits value;
    tcflag_t size;
};
constexpr DataBitsEntry kDataBits[] = {
    {"5", DB_5, CS5}, {"6", DB_6, CS6}, {"7", DB_7, CS7}, {"8", DB_8, CS8}};
struct StopBitsEntry {
    const char* text;
    eStopBits value;
};
constexpr StopBitsEntry kStopBits[] = {{"1", SB_1}, {"2", SB_2}};
struct ModeEntry {
    const char* text;  // compared without regard to case
    ePortMode value;
};
constexpr ModeEntry kModes[] = {{"RS232", PM_RS232}, {"RS485", PM_RS485}};

// The entry of `table` whose value is `v`; the last (9600 baud, 8 data bits: the defaults) when
// none is.
template <class Table, class Value>
const auto& entryOf(const Table& table, Value v) {
    for (const auto& e : table) {
        if (e.value == v)
            return e;
    }
    return table[std::size(table) - 1];
}

// Sets `out` from the entry whose text is `text`; false when none is.
template <class Table, class Value>
bool parseInto(const Table& table, const std::string& text, Value& out, bool anyCase = false) {
    for (const auto& e : table) {
        if (anyCase ? strcasecmp(text.c_str(), e.text) == 0 : text == e.text) {
            out = e.value;
            return true;
        }
    }
    return false;
}

// Reads the settings elements of one port; a bad value is logged and the default kept.
void readSettings(const qutils::XmlFile& xml, const xmlNode* portNode, SerialPort& port,
                  const char* path) {
    for (const xmlNode* c = portNode->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || named(c, "owner"))
            continue;
        const char* name = reinterpret_cast<const char*>(c->name);
        std::string v = textOf(xml, c, true);
        bool ok;
        if (named(c, "baud")) {
            ok = parseInto(kBauds, v, port.baudRate);
        } else if (named(c, "databits")) {
            ok = parseInto(kDataBits, v, port.dataBits);
        } else if (named(c, "stopbits")) {
            ok = parseInto(kStopBits, v, port.stopBits);
        } else if (named(c, "mode")) {
            ok = parseInto(kModes, v, port.mode, true);
        } else {
            continue;  // elements of other programs are none of our business
        }
        if (!ok) {
            logger().warn("%s: %s: bad <%s> value \"%s\", setting left at its default", path,
                          port.device.c_str(), name, v.c_str());
        }
    }
}

}  // namespace

SerialConfig::SerialConfig(const char* path, const char* owner)
    : mOwner(owner ? owner : ""), mPath(path ? path : "") {
    if (!path) {
        mProblem = "No serial configuration file given";
        logger().error("%s", mProblem.c_str());
        return;
    }
    qutils::XmlFile xml(path);
    if (xml.doc() == nullptr) {
        mProblem = "Serial configuration " + mPath + " not read: " + xml.reason();
        logger().error("%s", mProblem.c_str());
        return;
    }
    xmlNode* root = xmlDocGetRootElement(xml.doc());
    if (!root || !named(root, "config")) {
        mProblem = "Serial configuration " + mPath + ": root element is not <config>";
        logger().error("%s", mProblem.c_str());
        return;
    }
    for (xmlNode* sc = root->children; sc; sc = sc->next) {
        if (!named(sc, "serialconfig"))
            continue;
        int position = 0;  // each serialconfig numbers its ports from 1
        for (xmlNode* p = sc->children; p; p = p->next) {
            if (!named(p, "port"))
                continue;
            ++position;
            bool mine = false;
            for (xmlNode* o = p->children; o; o = o->next) {
                if (named(o, "owner") && !mOwner.empty() && textOf(xml, o, false) == mOwner)
                    mine = true;
            }
            if (!mine)
                continue;
            SerialPort port;
            port.device = "/dev/ttyS" + std::to_string(position);
            readSettings(xml, p, port, path);
            logger().debug("%s: %s for %s: %s", path, port.device.c_str(), mOwner.c_str(),
                           settingsText(port).c_str());
            mPortList.push_back(port);
        }
    }
    if (mPortList.empty())
        logger().info("No serial port of %s in %s", mOwner.c_str(), path);
}

std::string SerialConfig::settingsText(const SerialPort& port) {
    return std::string(entryOf(kBauds, port.baudRate).text) + " " +
           entryOf(kDataBits, port.dataBits).text + "N" + (port.stopBits == SB_2 ? "2" : "1") +
           " " + (port.mode == PM_RS485 ? "RS485" : "RS232");
}

const SerialPort* SerialConfig::find(const std::string& device) const {
    // The last entry for a device wins, as later entries of the file override earlier ones.
    for (auto it = mPortList.rbegin(); it != mPortList.rend(); ++it) {
        if (it->device == device)
            return &*it;
    }
    return nullptr;
}

int SerialConfig::connect(std::string path, bool report) {
    SerialPort settings;  // 9600 8N1 RS232 for a device without an entry
    settings.device = path;
    if (const SerialPort* p = find(path))
        settings = *p;
    return openPort(path, settings, report);
}

namespace {

// Raw 8-bit line: no echo, no signals, no canonical editing, no CR/LF or XON/XOFF translation,
// no parity, no output processing; the frame size and stop bits of the settings.
void makeRaw(termios& tio, const SerialPort& settings) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= entryOf(kDataBits, settings.dataBits).size | CLOCAL | CREAD;
    if (settings.stopBits == SB_2)
        tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 1;   // read returns as soon as one byte is there
    tio.c_cc[VTIME] = 0;  // and waits for it without a timeout
}

// Sets the open line up as the settings say and makes its reads blocking again: null, or the
// step that failed, with errno telling why.
const char* setUpLine(int fd, const SerialPort& settings) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return "tcgetattr";
    // No further open of the tty while it is ours (root is not bound by this; the lock binds
    // it).
    if (ioctl(fd, TIOCEXCL) != 0)
        return "exclusive use";
    makeRaw(tio, settings);
    speed_t speed = entryOf(kBauds, settings.baudRate).speed;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return "line speed";
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return "tcsetattr";
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return "blocking mode";
    return nullptr;
}

void switchToRs485(int fd, const std::string& path) {
    struct serial_rs485 rs485;
    memset(&rs485, 0, sizeof rs485);
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(fd, TIOCSRS485, &rs485) != 0) {
        // The line may still work when the transceiver switches direction by itself.
        logger().error("Could not switch %s to RS485 mode: %s", path.c_str(), strerror(errno));
    }
}

}  // namespace

int SerialConfig::openPort(const std::string& path, const SerialPort& settings, bool report) {
    // O_NONBLOCK only for the open itself: a port without carrier must not block it. The
    // descriptor is switched back to blocking reads by setUpLine.
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == EBUSY)
        return held(path, report);  // in exclusive use (TIOCEXCL) by another process
    if (fd < 0) {
        const int err = errno;
        if (report)
            logger().error("Could not open serial port %s: %s", path.c_str(), strerror(err));
        errno = err;
        return -1;
    }
    // One owner per port: two pollers on one line garble each other's frames. The advisory lock
    // names the holder to the next one (through /proc/locks) and also binds root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            ::close(fd);
            return held(path, report);
        }
        logger().warn("Could not lock serial port %s: %s", path.c_str(), strerror(errno));
    }
    if (const char* step = setUpLine(fd, settings)) {
        int err = errno;
        logger().error("Could not set up serial port %s (%s): %s", path.c_str(), step,
                       strerror(err));
        closePort(fd);
        return -1;
    }
    if (settings.mode == PM_RS485)
        switchToRs485(fd, path);
    tcflush(fd, TCIFLUSH);  // bytes that arrived before we opened belong to no frame of ours
    logger().info("Serial port %s open: %s", path.c_str(), settingsText(settings).c_str());
    return fd;
}

int SerialConfig::held(const std::string& path, bool report) {
    const pid_t pid = report ? holderOf(path) : -1;
    if (report && pid > 0) {
        logger().error("Serial port %s is held by another process (pid %d)", path.c_str(),
                       static_cast<int>(pid));
    } else if (report) {
        logger().error("Serial port %s is held by another process", path.c_str());
    }
    errno = EBUSY;
    return -1;
}

pid_t SerialConfig::holderOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5 0 EOF": pid, then the device of the file system
    // (hexadecimal major:minor) and the inode. Lines of waiting lockers carry "->" and are
    // passed over.
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::string number, type, kind, mode, pidText, where;
        if (!(in >> number >> type) || type != "FLOCK" || !(in >> kind >> mode >> pidText >> where))
            continue;
        unsigned long maj = 0, min = 0;
        unsigned long long ino = 0;
        if (sscanf(where.c_str(), "%lx:%lx:%llu", &maj, &min, &ino) != 3)
            continue;
        if (maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino)
            return static_cast<pid_t>(strtol(pidText.c_str(), nullptr, 10));
    }
    return -1;
}

void SerialConfig::closePort(int fd) {
    if (fd < 0)
        return;
    // The exclusive flag belongs to the tty, not to the descriptor: while another descriptor
    // keeps the tty open (a simulator's pty) it would refuse the next open of a non-root owner.
    ioctl(fd, TIOCNXCL);
    // Output the line has not taken is dropped: a line held by flow control would otherwise
    // keep close() waiting for it.
    tcflush(fd, TCOFLUSH);
    ::close(fd);
}

}  // namespace qserial
