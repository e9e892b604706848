// The daemon manager: configuration, start-up, the two XML scans, the controller frame
// builders, and the serial exchange with its set-point write-back.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SerialConfig.h"
#include "cObject.h"
#include "cQlog.h"
#include "exchangeCapture.h"
#include "frame.h"
#include "serialLink.h"
#include "xmlFile.h"

class SouthDevice;
class cObjectClient;

// ---- Fixed paths: all below one configuration root, the build's default unless the command
// line names another ----
extern const char* ConfDir;            // configuration root; default of "borl1d.serialconf.dir"
extern const char* ConfFile;           // the key/value configuration file
extern const char* DefaultSerialConf;  // default of "borl1d.serialconf.file"
extern const char* DefaultDeviceDir;   // default of "borl1d.device.dir"
// Moves every path below `root` (when not null) and names the configuration file `file` (when
// not null). Called once, before the manager is created.
void setConfPaths(const char* root, const char* file);

// ---- Frame constants ----
extern const uint8_t head0;      // 'A'
extern const uint8_t head1;      // 'I'
extern const uint8_t head2;      // 'O'
extern const uint8_t dornid;     // controller identifier, byte 8 of outgoing frames
extern const uint8_t closeByte;  // end byte, byte 127 of every frame
extern int data_size;            // last body byte of the poll frame (122)

uint8_t checksum(uint8_t* data, uint32_t len);
// Poll frame into a zeroed 128-byte buffer; returns 128.
uint8_t getBuffer(uint8_t* buffer);
// Set frame for parameter `port` (1..19) with `value` into a zeroed 128-byte buffer; returns 128.
// Any other parameter number gives the poll frame's bytes.
uint8_t getBuffer(uint8_t* buffer, uint8_t value, int port);
// Dumps a frame to the debug log of "dornManager".
void printBuffer(uint8_t* buffer, uint8_t len);

class dornManager : public cQlog {
public:
    // ---- Configuration read at start-up (the defaults stand for absent keys) ----
    const char* devOwner = "Borl100";    // owner name for the serial-port configuration service
    const char* vexaHost = "localhost";  // host of vexad
    int southPort = 50000;               // vexad's TCP port for south devices
    const char* serConf = DefaultSerialConf;  // serial-port configuration file
    const char* devDir = DefaultDeviceDir;    // directory of the device description files
    const char* serBusPort = "/dev/ttyS2";    // serial device path
    const char* devDispName = "BORL1_Retro_Controller";  // display name of the device object
    const char* serConfDir = ConfDir;  // directory scanned for serial-port assignment files
    // vexad.user: the user vexad runs as, by name or uid (empty: not named), and its uid (-1:
    // not named). A listener of any other user on vexad's port is refused.
    std::string vexadUser;
    int64_t vexadUid = -1;
    // The capture of the exchange (docs/capture.md): the file taken from the start
    // (borl1d.capture.file, --capture; empty: none), the bound of a file and the files of its
    // ring, and where SIGUSR1 puts one.
    std::string captureFile;
    uint64_t captureMaxSize = capture::kDefaultMaxSize;
    unsigned captureFiles = capture::kDefaultFiles;
    std::string captureDir;

    // ---- What start-up found ----
    int devSerial = 0;              // device serial number from the device description files
    bool cConfFile_status = false;  // configuration loaded and serial bus found
    // Where start-up found what it uses, for the start-up banner and --check-config.
    std::string serBusFrom;     // assignment file and port that gave serBusPort; empty: the key
    std::string devSerialFile;  // device description whose <serial> gave devSerial; empty: none
    // Start-up problems, one text per cause, also logged: errors end start-up; warnings do not,
    // but each leaves part of the job undone or done otherwise than the operator meant.
    std::vector<std::string> startupErrors;
    std::vector<std::string> startupWarnings;

    // ---- The device and vexad ----
    SouthDevice* devA = nullptr;             // the device object
    cObjectClient* mObjectClient = nullptr;  // connection to vexad

    // ---- The serial line ----
    qserial::SerialConfig* mSerconf = nullptr;  // serial-port configuration and opener
    // fdMutex guards the descriptor and its generation against a close or re-open during the
    // transmit thread's write; it is held for one non-blocking write, never longer.
    std::mutex fdMutex;
    int serFd = -1;               // serial descriptor; -1 while the port is closed
    unsigned portGeneration = 0;  // counts the ports adopted: a re-open is a new line

    // ---- Start-up ----
    // Loads the configuration and runs the serial-port assignment scan. `checkOnly` (the
    // --check-config run) leaves the logging set-up of the file alone, so that no log file is
    // opened, and goes on past a failure so that every problem is found.
    explicit dornManager(bool checkOnly = false);
    bool readSerialConf();
    bool loadXml();
    bool initDorn();
    // --check-config: the rest of start-up's reading (the serial-port configuration and the
    // device description scan), without opening the serial port or connecting to vexad; prints
    // what the daemon would use and every problem found. Returns the exit status: 0 when the
    // daemon would start and do its whole job, 1 when it would start without part of it or not
    // as the operator meant, 255 when start-up would end.
    int checkConfig();

    // ---- The exchange ----
    // The serial exchange (serialLink.h): its threads, the rules they feed, the port's fate.
    SerialLink link{*this};
    int start();  // returns after an ordered stop (0), or -1 when the exchange cannot start
    // Starts a capture of the exchange to `file` (src/dornManagerCapture.cpp); false when one
    // runs already. SIGUSR1 toggles one: the configured file's ring, else a timestamped file in
    // captureDir.
    // `running`: the exchange runs already (SIGUSR1), and the start record says how it stands.
    bool beginCapture(const std::string& file, bool running = false);
    void toggleCapture();

private:
    // Logs a start-up problem at `priority` and keeps it as an error (start-up ends) or a warning.
    void startupProblem(bool fatal, int priority, const char* fmt, ...) QLOG_PRINTF(4, 5);
    bool checkKeys();  // value lengths (fatal) and unknown keys (warnings)
    // Steps of the two start-up scans (dornManagerScans.cpp).
    struct AssignmentScan;
    using FileVisit =
        std::function<bool(const char* file, const std::string& name, const qutils::XmlFile&)>;
    bool scanFiles(const char* dir, const char* separator, const char* needle, const char* what,
                   const FileVisit& visit);
    bool readAssignmentFile(const char* file, const qutils::XmlFile& xml, AssignmentScan& scan);
    void readSerialconfig(const char* file, const qutils::XmlFile& xml, const xmlNode* sc,
                          AssignmentScan& scan);
    void readOwner(const char* file, int position, AssignmentScan& scan);
    void reportAssignmentScan(AssignmentScan& scan);
    void readDeviceFile(const char* file, const char* dir, const qutils::XmlFile& xml,
                        bool& serialRefused);
    void checkVexadAddress();  // a port or host no connection can be made to (warning)
    bool readVexadUser();      // vexad.user; false (fatal) when it names no user
    void readCaptureKeys();
    std::string describeBus() const;
    std::string describeLine() const;
    std::string describeSerial() const;
    std::string describeVexadUser() const;
    // --check-config: where captures go; a file or directory the daemon could not write there
    // is a warning.
    std::vector<std::string> describeCapture();

    bool confLoaded = false;      // the configuration file was read
    bool vexadAddressOk = false;  // vexad's host and port can name a connection
};
