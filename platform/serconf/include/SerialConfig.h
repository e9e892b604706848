// Serial-port configuration: which ports of the unit belong to an owner, with their line settings,
// read from the serial configuration XML file; and opening a port with those settings.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qserial {

enum eBaudRate { BR_115200 = 0, BR_57600 = 1, BR_38400 = 2, BR_19200 = 3, BR_9600 = 4 };
enum eDataBits { DB_8 = 0, DB_7 = 1, DB_6 = 2, DB_5 = 3 };
enum eStopBits { SB_1 = 0, SB_2 = 1 };
enum ePortMode { PM_RS232 = 0, PM_RS485 = 1 };

struct SerialPort {
    std::string device;            // "/dev/ttySN", N = position of the port element
    eBaudRate baudRate = BR_9600;  // line speed
    eDataBits dataBits = DB_8;     // character size
    eStopBits stopBits = SB_1;     // stop bits; parity is always none
    ePortMode mode = PM_RS232;     // RS485 switches on the driver's RS485 mode
};

class SerialConfig {
public:
    // Reads `path` and keeps the ports whose owner equals `owner`. A missing, malformed or
    // unsafe file (not a regular file, over 1 MiB, runaway entities) leaves the list empty with
    // an error line naming the file; connect then uses the defaults.
    SerialConfig(const char* path, const char* owner);

    // Opens `path` read/write without becoming its controlling terminal, takes it for this
    // process alone (an advisory lock and the tty's exclusive mode), sets raw 8-bit mode (VMIN 1,
    // VTIME 0) with the configured settings, or 9600 8N1 RS232 for a device that has no entry.
    // Returns the descriptor, or -1 with an error line naming path and reason. A port that
    // another process holds gives -1 with errno EBUSY, and the line names the holder's pid where
    // /proc/locks tells it. With `report` false a port that is missing or held gives no line
    // (a caller retrying it counts the failures and reports them in its own lines).
    int connect(std::string path, bool report = true);

    // Opens `path` with the given settings, as connect does with the settings it looks up.
    static int openPort(const std::string& path, const SerialPort& settings, bool report = true);
    // Closes a descriptor from connect or openPort, giving up the tty's exclusive mode first.
    static void closePort(int fd);
    // The pid of the process holding the advisory lock on the serial device `path`, or -1.
    static pid_t holderOf(const std::string& path);
    // "9600 8N1 RS232".
    static std::string settingsText(const SerialPort& port);

    const std::vector<SerialPort>& ports() const { return mPortList; }
    const SerialPort* find(const std::string& device) const;
    const std::string& path() const { return mPath; }
    // The error line logged when the file gave no ports at all (not read, wrong root); empty
    // when it was read.
    const std::string& problem() const { return mProblem; }

private:
    // Logs the holder (when `report`), sets errno EBUSY, returns -1.
    static int held(const std::string& path, bool report);

    std::string mOwner;                 // owner name ports are kept for
    std::string mPath;                  // the serial configuration file
    std::string mProblem;               // why the file was not used; empty when it was
    std::vector<SerialPort> mPortList;  // the owner's ports, in file order
};

}  // namespace qserial
