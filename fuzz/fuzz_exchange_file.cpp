// The exchange file's reader (docs/capture.md), a door for hostile input: borl-decode and
// borl-sim --replay read files that come from the field. The input is an exchange file, of
// version 1 or 2.
//
// Checks: the streaming reader ends every file with End, Cut or Fault, a fault with a line and a
// reason, a cut only at the file's last line; the timestamps it gives never go back. Every record
// it accepted, written again by the capture's writer (a repeated frame in its short form) and
// read back, gives the same record, and the whole-file reader agrees with the streaming one.
#include <cstdint>
#include <string>
#include <vector>

#include "exchangeFile.h"
#include "fuzzSupport.h"

namespace {

using exchangefile::Reader;
using exchangefile::Record;

bool same(const Record& a, const Record& b) {
    return a.t == b.t && a.kind == b.kind && a.bytes == b.bytes && a.param == b.param &&
           a.value == b.value && a.text == b.text;
}

// The records of `text` through the streaming reader, and how it ended.
Reader::Result readAll(const std::string& text, std::vector<Record>& out, uint64_t& wallUs) {
    Reader reader(text);
    Record r;
    uint64_t last = 0;
    for (;;) {
        const Reader::Result got = reader.next(r);
        if (got != Reader::Got) {
            FUZZ_CHECK(got != Reader::Fault || (reader.line() >= 1 && !reader.why().empty()),
                       reader.why());
            wallUs = reader.wallUs();
            return got;
        }
        FUZZ_CHECK(r.t >= last, std::to_string(r.t));
        FUZZ_CHECK(r.line == reader.line(), std::to_string(r.line));
        last = r.t;
        out.push_back(r);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<Record> records;
    uint64_t wallUs = 0;
    const Reader::Result end = readAll(text, records, wallUs);

    exchangefile::File file;
    size_t line = 0;
    std::string why;
    const bool whole = exchangefile::read(text, file, line, why);
    // A version line cut short is a cut to the streaming reader, a fault to the whole-file one.
    FUZZ_CHECK(whole == (end != Reader::Fault) || (end == Reader::Cut && !whole), why);
    if (!whole)
        return 0;
    FUZZ_CHECK(file.records.size() == records.size() && (file.cutLine != 0) == (end == Reader::Cut),
               "the whole-file reader disagrees");

    // Written again as the capture writes it, short forms included, and read back.
    exchangefile::Writer writer;
    writer.restart();
    std::string again = exchangefile::header(wallUs) + "\n";
    for (const Record& r : records)
        writer.append(again, r.t, r.kind, r.bytes.data(), r.bytes.size(), r.param, r.value, r.text);
    std::vector<Record> back;
    uint64_t wallBack = 0;
    FUZZ_CHECK(readAll(again, back, wallBack) == Reader::End, "written file not read whole");
    FUZZ_CHECK(wallBack == wallUs && back.size() == records.size(), "records lost in writing");
    for (size_t i = 0; i < back.size(); ++i)
        FUZZ_CHECK(same(back[i], records[i]), exchangefile::format(records[i]));
    return 0;
}
