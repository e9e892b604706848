// The daemon manager, split by concern: the configuration and the two XML scans
// (src/dornManager.cpp, src/dornManagerConfig.cpp with the table of keys,
// src/dornManagerScans.cpp), the controller frame builders (src/dornManagerFrames.cpp), the
// exchange's shell (SerialLink, src/serialLink.cpp), the capture's control
// (src/dornManagerCapture.cpp) and the check (src/dornManagerCheck.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SerialConfig.h"
#include "cObject.h"
#include "cQlog.h"
#include "configKeys.h"
#include "exchangeCapture.h"
#include "frame.h"
#include "serialLink.h"
#include "xmlFile.h"

class SouthDevice;
class cObjectClient;

// ---- Fixed paths: all below one configuration root, the build's default unless the command
// line names another ----
extern const char* ConfDir;   // configuration root ("@" in the defaults of the keys)
extern const char* ConfFile;  // the key/value configuration file
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
    // ---- Configuration read at start-up; each key's default is its row in kKeys ----
    const char* devOwner = nullptr;     // owner name for the serial-port configuration service
    const char* vexaHost = nullptr;     // host of vexad
    int southPort = 0;                  // vexad's TCP port for south devices
    const char* serConf = nullptr;      // serial-port configuration file
    const char* devDir = nullptr;       // directory of the device description files
    const char* serBusPort = nullptr;   // serial device path
    const char* devDispName = nullptr;  // display name of the device object

    // ---- What start-up found ----
    int devSerial = 0;              // device serial number from the device description files
    bool cConfFile_status = false;  // configuration loaded and serial bus found

    // ---- The device and vexad ----
    SouthDevice* devA = nullptr;             // the device object
    cObjectClient* mObjectClient = nullptr;  // connection to vexad

    // ---- The serial line ----
    qserial::SerialConfig* mSerconf = nullptr;  // serial-port configuration and opener
    int serFd = -1;                             // serial descriptor; -1 while the port is closed

    // The configuration keys, one row each (src/dornManagerConfig.cpp).
    static const std::vector<config::Key> kKeys;

    // ---- Start-up ----
    // Loads the configuration (its keys from kKeys, the command line's `given` over them) and
    // runs the serial-port assignment scan. `checkOnly` (the --check-config run) leaves the
    // logging set-up of the file alone, so that no log file is opened, and goes on past a
    // failure so that every problem is found.
    explicit dornManager(bool checkOnly = false, config::Overrides given = {});
    bool readSerialConf();
    bool loadXml();
    bool initDorn();
    // The exchange's timing, in its one place: the timing keys, the command line's --timing items
    // over them, then its --time-scale, handed to the link. False (a start-up error) when the
    // scale leaves the offline time shorter than one answered poll on the configured line.
    bool settleTiming();
    // --check-config: the rest of start-up's reading (the serial-port configuration and the
    // device description scan), without opening the serial port or connecting to vexad; prints
    // what the daemon would use and every problem found. Returns the exit status: 0 when the
    // daemon would start and do its whole job, 1 when it would start without part of it or not
    // as the operator meant, 255 when start-up would end.
    int checkConfig();
    // Start-up problems, one text per cause, also logged: errors end start-up; warnings do not,
    // but each leaves part of the job undone or done otherwise than the operator meant.
    const std::vector<std::string>& startupErrors() const { return mStartupErrors; }
    const std::vector<std::string>& startupWarnings() const { return mStartupWarnings; }
    void clearStartupProblems() {
        mStartupErrors.clear();
        mStartupWarnings.clear();
    }

    // ---- The exchange ----
    // The serial exchange (serialLink.h): its threads, the rules they feed, the port's fate.
    SerialLink& link() { return mLink; }
    int start();  // returns after an ordered stop (0), or -1 when the exchange cannot start

    // ---- The capture's control ----
    // Starts a capture of the exchange to `file` (src/dornManagerCapture.cpp); false when one
    // runs already. SIGUSR1 toggles one: the configured file's ring, else a timestamped file in
    // the capture directory.
    // `running`: the exchange runs already (SIGUSR1), and the start record says how it stands.
    bool beginCapture(const std::string& file, bool running = false);
    void toggleCapture();

private:
    // The exchange's shell shares the port's guard and starts the configured capture.
    friend class SerialLink;

    // ---- Configuration (dornManagerConfig.cpp) ----
    // Reads every row of kKeys (the defaults alone when the file was not read), then each key's
    // own check and the unknown keys; false when a value ends start-up.
    bool readKeys();
    void readKey(const config::Key& key);
    void warnUnknownKeys();
    std::string keyReport(const config::Key& key);  // --check-config's line of a key
    // Logs a start-up problem at `priority` and keeps it as an error (start-up ends) or a warning.
    void startupProblem(bool fatal, int priority, const char* fmt, ...) QLOG_PRINTF(4, 5);
    // The checks of single keys.
    void checkVexadAddress(const config::Key& port);  // no port or host to reach (warning)
    void readVexadUser(const config::Key& key);       // names no user (fatal)

    config::Overrides mGiven;          // what the command line sets over the keys
    bool confLoaded = false;           // the configuration file was read
    bool vexadAddressOk = false;       // vexad's host and port can name a connection
    const char* serConfDir = nullptr;  // directory scanned for serial-port assignment files
    // vexad.user: the user vexad runs as, by name or uid (empty: not named), and its uid (-1:
    // not named). A listener of any other user on vexad's port is refused.
    std::string vexadUser;
    int64_t vexadUid = -1;
    proto::ExchangeTiming mTiming;  // the timing keys' (settleTiming takes it from here)

    // ---- Scans (dornManagerScans.cpp) ----
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
    // Where start-up found what it uses, for the start-up banner and --check-config.
    std::string serBusFrom;     // assignment file and port that gave serBusPort; empty: the key
    std::string devSerialFile;  // device description whose <serial> gave devSerial; empty: none
    std::vector<std::string> mStartupErrors;
    std::vector<std::string> mStartupWarnings;

    // ---- What start-up found, in words (dornManager.cpp, for the banner and the check) ----
    std::string describeBus() const;
    std::string describeLine() const;
    std::string describeSerial() const;
    std::string describeVexadUser() const;
    void checkCapturePlaces();  // --check-config: the capture's file and directory writable

    // ---- The exchange: the port's guard, shared with its shell ----
    // fdMutex guards the descriptor and its generation against a close or re-open during the
    // transmit thread's write; it is held for one non-blocking write, never longer.
    std::mutex fdMutex;
    unsigned portGeneration = 0;  // counts the ports adopted: a re-open is a new line
    SerialLink mLink{*this};

    // ---- The capture's control (dornManagerCapture.cpp): the file taken from the start
    // (borl1d.capture.file, --capture; empty: none), the bound of a file and the files of its
    // ring, and where SIGUSR1 puts one ----
    std::string captureFile;
    uint64_t captureMaxSize = 0;
    uint64_t captureFiles = 0;
    std::string captureDir;
};
