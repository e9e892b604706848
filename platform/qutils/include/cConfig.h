// Process-wide key=value configuration (Java-properties style): '#' and '!' start comments,
// blank lines are skipped, white space around the key, the '=' and the value is trimmed.
#pragma once

class cConfig {
public:
    // Reads the file; false when it cannot be opened or read. A later load replaces the keys
    // it holds, but texts returned earlier stay valid for the life of the process.
    static bool load(const char* path);
    // The value of `key`, or `def` when the key is absent. The text stays valid for the life of
    // the process.
    static const char* getString(const char* key, const char* def);
    // The value of `key` as a decimal (or 0x hexadecimal) integer; `def` when the key is absent,
    // and `def` with a warning in the log when the value is not a number that fits an int.
    static int getInt(const char* key, int def);
};
