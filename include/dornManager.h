// The daemon manager: configuration, start-up, the two XML scans, the controller frame
// builders, and the serial exchange with its set-point write-back.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <sys/types.h>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SerialConfig.h"
#include "cObject.h"
#include "cQlog.h"
#include "exchangeCapture.h"
#include "pendingSet.h"
#include "repeatLimit.h"
#include "txHandshake.h"
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

constexpr int kFrameSize = 128;     // every frame, in both directions
constexpr int kDataBlockSize = 60;  // controller data block, reply bytes 9..68

uint8_t checksum(uint8_t* data, uint32_t len);
// Poll frame into a zeroed 128-byte buffer; returns 128.
uint8_t getBuffer(uint8_t* buffer);
// Set frame for parameter `port` (1..19) with `value` into a zeroed 128-byte buffer; returns 128.
// Any other parameter number gives the poll frame's bytes.
uint8_t getBuffer(uint8_t* buffer, uint8_t value, int port);
// Dumps a frame to the debug log of "dornManager".
void printBuffer(uint8_t* buffer, uint8_t len);

// ---- The transmit thread ----
// Its body; `arg` is the dornManager. It writes one frame per cycle and waits on the link's
// handshake (txHandshake.h) for the receive loop's answer.
void* request(void* arg);

// Timings of the exchange: the production cadence unless --timing shortens it for tests.
struct ExchangeTiming {
    unsigned startDelayMs = 1000;  // pause before the receive loop starts
    unsigned pauseMs = 1000;       // transmit pause after an answered cycle
    unsigned waitMs = 2000;        // transmit wait for the receive side
    unsigned offlineMs = 10000;    // no valid reply this long: device reported offline
    unsigned reopenMinMs = 1000;   // first serial re-open delay, doubled up to reopenMaxMs
    unsigned reopenMaxMs = 30000;
    unsigned statsIntervalMs = 15 * 60 * 1000;  // link statistics log line
    unsigned rxHungMs = 10000;  // receive loop busy this long: no more watchdog pings
    unsigned repeatMs = 60000;  // a repeating fault's log: one summary line this often
};

// Counters of the serial link, logged every statsIntervalMs. Written by both exchange threads.
struct LinkStats {
    std::atomic<uint64_t> pollFrames{0};
    std::atomic<uint64_t> setFrames{0};
    std::atomic<uint64_t> validReplies{0};
    std::atomic<uint64_t> headerErrors{0};
    std::atomic<uint64_t> terminatorErrors{0};
    std::atomic<uint64_t> checksumErrors{0};
    std::atomic<uint64_t> closingErrors{0};
    std::atomic<uint64_t> rejectedStarts{0};
    std::atomic<uint64_t> timeouts{0};
    std::atomic<uint64_t> reopens{0};
    std::atomic<uint64_t> txCycles{0};  // transmit cycles, whether a frame was written or not
    std::atomic<uint64_t> givenUpSets{0};
    std::atomic<uint64_t> abandonedFrames{0};  // frames the line did not take within the cycle
};

// Gathers the controller's reply bytes into a frame, one byte at a time. A frame start is
// accepted only with the controller's header ("A", "O", "I"), tested from the fifth byte on; the
// frame is complete when its last position is filled. Pure: no descriptor, no logging.
struct ReplyGatherer {
    enum Result { More, Rejected, Complete };

    uint8_t respbuff[kFrameSize];  // the reply frame being gathered
    int idx = 0;                   // where the next byte goes, 0..127

    ReplyGatherer() { restart(); }
    // Ready for a new frame at position 0; no stale byte can complete it.
    void restart();
    Result push(uint8_t byte);
};

// One frame of the transmit thread: the poll frame, or the set frame of the pending set.
struct TxFrame {
    uint8_t bytes[kFrameSize];
    uint8_t len = 0;
    bool isSet = false;  // a set frame for port/value below
    int port = 0;        // parameter number of a set frame
    uint8_t value = 0;   // value of a set frame
};

// What became of one frame's write: the counters, the log and the capture take it from here.
struct TxOutcome {
    enum Result {
        NoPort,     // the port was closed: nothing was written
        Whole,      // the line took the whole frame
        Abandoned,  // the line had not taken it by the cycle's end (`sent` bytes of it)
        Stopped,    // a stop came while the line had not taken it
        Failed,     // the write failed after `sent` bytes (`err`; 0: the port was closed)
    };
    Result result = NoPort;
    size_t sent = 0;           // bytes of the frame that reached the line
    int err = 0;               // Failed: the write's errno
    capture::TxTicket ticket;  // the frame's tx record in a running capture

    // A frame the line took whole, outside a capture (the replays and fuzz targets' cycles).
    static TxOutcome whole(size_t sent) {
        TxOutcome o;
        o.result = Whole;
        o.sent = sent;
        return o;
    }
};

// The state of the serial link besides the descriptor: what the transmit thread and the receive
// loop share, and what the receive loop keeps between its wake-ups.
struct SerialLink {
    SerialLink();  // opens the two eventfds
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    ExchangeTiming timing;
    LinkStats stats;

    // Shared by both threads, each guarded by its own lock or atomic.
    TxHandshake handshake;  // the transmit thread's wait and the receive loop's answer
    PendingSet pending;     // the set being written to the controller
    std::atomic<bool> stopRequested{false};  // ends both threads
    const int wakeFd;  // eventfd: wakes the receive loop (a set recorded, a stop)
    const int stopFd;  // eventfd: readable once a stop is requested (the transmit wait)
    // When the receive loop left its wait, 0 while it waits: the transmit thread pings the
    // service watchdog only while the loop is waiting or busy for a short time.
    std::atomic<uint64_t> rxBusySinceMs{0};

    // Set before the threads start.
    pthread_t myThread{};          // the transmit thread
    int signalFd = -1;             // signalfd of SIGTERM, SIGINT, SIGHUP, SIGUSR1; -1: not ours
    void (*watchdog)() = nullptr;  // the service watchdog ping; null: the service manager's
    // The line's write and output flush: write(2) and tcflush(3), unless a test puts its own.
    ssize_t (*lineWrite)(int fd, const void* bytes, size_t n) = ::write;
    int (*lineFlush)(int fd, int queue) = ::tcflush;
    // Sets a new port's status flags: fcntl(2) F_SETFL, unless a test puts its own.
    int (*lineSetFlags)(int fd, int flags) = [](int fd, int flags) {
        return fcntl(fd, F_SETFL, flags);
    };

    // Receive loop only.
    ReplyGatherer rx;
    uint64_t lastValidMs = 0;      // time of the last valid reply
    bool everOnline = false;       // a valid reply has been seen
    bool offlineReported = false;  // the device was reported offline after silence
    uint64_t nextStatsMs = 0;      // next link statistics line
    unsigned reopenDelayMs = 0;    // current re-open back-off
    uint64_t nextReopenMs = 0;     // when to try the closed port again
    int lineMin = 0;               // VMIN set on the tty; 0: not known, -1: no tty
    termios lineTermios{};         // the tty's settings, read once per open
};

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
    SerialLink link;

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
    int start();  // returns after an ordered stop (0), or -1 when the exchange cannot start
    // The exchange until a stop is requested: the transmit thread and the receive loop. False
    // (and logged) when the transmit thread cannot be started.
    bool runExchange();
    // Ends runExchange from any thread (and from the signal path).
    void requestStop();
    // Starts a capture of the exchange to `file` (src/dornManagerCapture.cpp); false when one
    // runs already. SIGUSR1 toggles one: the configured file's ring, else a timestamped file in
    // captureDir.
    bool beginCapture(const std::string& file);
    void toggleCapture();

    // ---- Steps of the exchange: the loops, the recorded-exchange replay, the fuzz targets and
    // the benchmarks all call these ----
    void pickUpSet();                      // moves a requested set into the pending set
    void confirmSet(const uint8_t* data);  // ends the pending set when the data block shows it
    // Validates one complete frame; a valid one is published and may confirm the pending set.
    bool handleFrame(uint8_t* respbuff);
    // Receive step: bytes read from the line go through the frame gatherer; each complete frame
    // is handled and answered to the transmit thread.
    void receiveBytes(const uint8_t* bytes, size_t n);
    // Frame choice: while a set is pending, builds its set frame into `frame` and returns true;
    // otherwise returns false and the poll frame goes out.
    bool chooseFrame(TxFrame& frame);
    // Records what became of a frame's write: the counters, the log, the capture.
    void frameWritten(const TxFrame& frame, const TxOutcome& outcome);
    // Work due by time, whatever the line does: offline detection, link statistics, re-opening a
    // closed port. Returns the time of the next due work.
    uint64_t housekeeping(uint64_t nowMs);
    // The port is lost (`err`, 0 for end of file): closed, and re-opened after the shortest
    // back-off, which doubles with every failed attempt.
    void closePort(int err);
    // Takes a newly opened port into use: non-blocking, so that neither thread ever waits in a
    // read or a write, and counted as a new line for the transmit thread. A port that cannot be
    // made non-blocking is closed and not taken: false, with errno.
    bool adoptPort(int fd);

private:
    friend void* request(void* arg);
    void transmitLoop();
    void startReceiving();
    void receiveStep();
    void receiveFromPort();
    void waitUntil(uint64_t deadlineMs);
    void handleSignals();
    void tryReopen(uint64_t nowMs);
    // Writes one frame without blocking, waiting for room on the line at most until
    // `deadlineMs`. `flushFirst`: the line may still hold part of a frame that did not go out
    // whole; it is flushed before this frame, and set again when this one does not go out whole.
    TxOutcome writeFrame(const TxFrame& frame, uint64_t deadlineMs, bool& flushFirst);
    void frameAbandoned(size_t sent);
    void lineTakesFramesAgain();
    void replyInvalid(uint64_t now, const char* reason);
    void reopenFailed(uint64_t now, int err);
    void wentOffline(uint64_t now);
    void logOffline(uint64_t now, const std::string& spells);
    void endQuietEpisode(qlog::RepeatLimit& episode, uint64_t now, const char* state,
                         const char* items);
    void forgetSetWakeUp();  // vexad's sets no longer wake the loop
    void logStatistics();
    void gatherOnLine();
    void updateServiceStatus();

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
    void readCaptureKeys();
    std::string describeBus() const;
    std::string describeLine() const;
    std::string describeSerial() const;
    // --check-config: where captures go; a file or directory the daemon could not write there
    // is a warning.
    std::vector<std::string> describeCapture();

    bool confLoaded = false;      // the configuration file was read
    bool vexadAddressOk = false;  // vexad's host and port can name a connection

    uint8_t decodebuff[kFrameSize];  // data block of the frame being decoded
    std::string statusText;          // last STATUS= sent to the service manager
    std::string lastSetText;         // the last set-point written, for the service status
    // The log lines of repeating faults (repeatLimit.h): the stalled line's episode (transmit
    // thread only), invalid replies and a port that does not open again (receive loop only).
    qlog::RepeatLimit stallLog;
    qlog::RepeatLimit invalidLog;
    qlog::RepeatLimit reopenLog;
    qlog::RepeatLimit offlineLog;  // offline spells (receive loop only)
    bool offlineLogged = false;    // the current offline spell has its line
};
