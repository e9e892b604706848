// Serial-port configuration: which ports of the unit belong to an owner, with their line settings,
// read from the serial configuration XML file; and opening a port with those settings.
#pragma once

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
    // Reads `path` and keeps the ports whose owner equals `owner`. A missing or malformed
    // file leaves the list empty (with a log line); connect then uses the defaults.
    SerialConfig(const char* path, const char* owner);

    // Opens `path` read/write without becoming its controlling terminal, sets raw 8-bit mode
    // (VMIN 1, VTIME 0) with the configured settings, or 9600 8N1 RS232 for a device that has
    // no entry. Returns the descriptor, or -1 with an error line naming path and reason.
    int connect(std::string path);

    // Opens `path` with the given settings, as connect does with the settings it looks up.
    static int openPort(const std::string& path, const SerialPort& settings);

    const std::vector<SerialPort>& ports() const { return mPortList; }
    const SerialPort* find(const std::string& device) const;

private:
    std::string mOwner;                 // owner name ports are kept for
    std::vector<SerialPort> mPortList;  // the owner's ports, in file order
};

}  // namespace qserial
