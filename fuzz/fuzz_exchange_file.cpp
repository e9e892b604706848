// The exchange file's reader (docs/capture.md), a door for hostile input: borl-decode and
// borl-sim --replay read files that come from the field. The input is an exchange file.
//
// Checks: the reader never fails without a line and a reason, and never accepts a file it cannot
// write back: every record it accepted, written with the writer and read again, gives the same
// record, and the timestamps it accepted never go back.
#include <cstdint>
#include <string>

#include "exchangeFile.h"
#include "fuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    exchangefile::File file;
    size_t line = 0;
    std::string why;
    if (!exchangefile::read(text, file, line, why)) {
        FUZZ_CHECK(line >= 1 && !why.empty(), why);
        return 0;
    }
    uint64_t last = 0;
    std::string again = exchangefile::header(file.wallUs) + "\n";
    for (const exchangefile::Record& r : file.records) {
        FUZZ_CHECK(r.t >= last, std::to_string(r.t));
        last = r.t;
        const std::string written = exchangefile::format(r);
        exchangefile::Record back;
        FUZZ_CHECK(exchangefile::parse(written, back, why), written + ": " + why);
        FUZZ_CHECK(back.t == r.t && back.kind == r.kind && back.bytes == r.bytes &&
                       back.param == r.param && back.value == r.value && back.text == r.text,
                   written);
        again += written + "\n";
    }
    exchangefile::File reread;
    FUZZ_CHECK(exchangefile::read(again, reread, line, why), why);
    FUZZ_CHECK(reread.wallUs == file.wallUs && reread.records.size() == file.records.size(),
               "records lost in writing");
    return 0;
}
