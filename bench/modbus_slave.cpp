// A Modbus RTU slave on a pseudo-terminal: the controller side for the reference poller (mbpoll)
// that bench/cycle_cost.py measures beside the daemon.
//
//     modbus_slave [--registers N] [--address A]
//
// Opens a pty, prints "pty: <slave path>" for the poller to open, and answers every request for
// slave address A (default 1) from N holding registers (default 60). The registers change with
// every reply, as a controller's readings would. After each reply it prints "reply t=SECONDS"
// (monotonic clock), so the script can count the poll cycles. Runs until a signal ends it (the
// library's receive restarts its wait after a caught signal, so none is caught).
#include <modbus.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char kUsage[] =
    "Usage: modbus_slave [--registers N] [--address A]\n"
    "A Modbus RTU slave on a new pseudo-terminal, the controller side for the reference poller of\n"
    "bench/cycle_cost.py: prints \"pty: PATH\", then \"reply t=SECONDS\" after each reply. Runs\n"
    "until a signal ends it. Exit status 2 for a bad command line, 1 when the pty or the\n"
    "library cannot be set up.\n";

int main(int argc, char** argv) {
    int registers = 60;
    int address = 1;
    for (int i = 1; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 < argc && std::strcmp(argv[i], "--registers") == 0) {
            registers = std::atoi(argv[i + 1]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--address") == 0) {
            address = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "usage: modbus_slave [--registers N] [--address A]\n");
            return 2;
        }
    }
    if (registers < 1 || registers > 125 || address < 1 || address > 247) {
        std::fprintf(stderr, "modbus_slave: registers 1..125, address 1..247\n");
        return 2;
    }

    int master = -1;
    int slave = -1;
    char path[128];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        std::perror("modbus_slave: openpty");
        return 1;
    }
    // Raw line until the poller opens it and sets its own mode. Our slave descriptor stays open,
    // so the master never sees a hang-up when the poller closes the line.
    termios tio;
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }

    // The context serves the master side directly: the device name is never opened.
    modbus_t* ctx = modbus_new_rtu(path, 9600, 'N', 8, 1);
    modbus_mapping_t* map = ctx ? modbus_mapping_new(0, 0, registers, 0) : nullptr;
    if (!ctx || !map || modbus_set_slave(ctx, address) != 0 ||
        modbus_set_socket(ctx, master) != 0) {
        std::fprintf(stderr, "modbus_slave: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < registers; ++i)
        map->tab_registers[i] = static_cast<uint16_t>(200 + 7 * i);

    std::printf("pty: %s\n", path);
    std::fflush(stdout);

    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int n = modbus_receive(ctx, query);
        if (n == 0)
            continue;  // addressed to another slave
        if (n < 0) {
            // A garbled or cut-off request: the poller times out and asks again. Any other
            // failure is the line's, and would repeat at once.
            if (errno > MODBUS_ENOBASE || errno == ETIMEDOUT)
                continue;
            std::fprintf(stderr, "modbus_slave: %s\n", modbus_strerror(errno));
            break;
        }
        if (modbus_reply(ctx, query, n, map) < 0) {
            std::fprintf(stderr, "modbus_slave: reply: %s\n", modbus_strerror(errno));
            continue;
        }
        for (int i = 0; i < registers; i += 3)
            ++map->tab_registers[i];
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        std::printf("reply t=%ld.%09ld\n", static_cast<long>(ts.tv_sec), ts.tv_nsec);
        std::fflush(stdout);
    }
    modbus_mapping_free(map);
    modbus_free(ctx);  // leaves the descriptor it was given open
    close(master);
    close(slave);
    return 0;
}
