// Process-wide key=value configuration (Java-properties style): '#' and '!' start comments,
// blank lines are skipped, white space around the key, the '=' and the value is trimmed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class cConfig {
public:
    // Longest text value the daemon takes from the file; longer ones end start-up.
    static constexpr size_t kMaxValueLength = 255;

    // Reads the file; false when it cannot be read: missing, not permitted, not a regular file
    // (a FIFO, a device: never opened for reading) or larger than 1 MiB. A later load replaces
    // the keys it holds, but texts returned earlier stay valid for the life of the process.
    static bool load(const char* path);
    // The same, with the reason of a failure in `why` (when not null), e.g. "a FIFO, not a
    // regular file" or "No such file or directory".
    static bool load(const char* path, std::string* why);
    // Every key of the last successful load, sorted.
    static std::vector<std::string> keys();
    // The value of `key`, or `def` when the key is absent. The text stays valid for the life of
    // the process.
    static const char* getString(const char* key, const char* def);
    // The value of `key` as a decimal (or 0x hexadecimal) integer; `def` when the key is absent,
    // and `def` with a warning in the log when the value is not a number that fits an int.
    static int getInt(const char* key, int def);
};
