// Decoding of an exchange file with the daemon's own code (see exchangeDecode.h), and the three
// ways of printing it: text for a person, one JSON object per line for scripts, an SVG drawing.
#include "exchangeDecode.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <istream>
#include <sstream>

#include "dornDecode.h"

namespace borldecode {

using exchangefile::Kind;
using exchangefile::Record;

namespace {

const char* checkName(dornDecode::Failure f) {
    return f == dornDecode::HeaderMismatch       ? "header"
           : f == dornDecode::TerminatorMismatch ? "terminator"
           : f == dornDecode::ChecksumFail       ? "checksum"
                                                 : "end";
}

std::string seconds(uint64_t us) {
    char b[32];
    std::snprintf(b, sizeof b, "%.6f", static_cast<double>(us) / 1e6);
    return b;
}

// An entry for what record `r` completed.
Entry entryOf(const Record& r, const char* kind, size_t bytes) {
    Entry e;
    e.t = r.t;
    e.line = r.line;
    e.kind = kind;
    e.bytes = bytes;
    return e;
}

// ", label value unit" for each of `n` points, without the first comma.
std::string valuesText(int n, points::Info (*info)(int), const float* values) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        const points::Info p = info(i);
        char v[32];
        std::snprintf(v, sizeof v, "%g", static_cast<double>(values[i]));
        s += std::string(i ? "," : "") + " " + p.label + " " + v +
             (*p.unit ? std::string(" ") + p.unit : "");
    }
    return s;
}

}  // namespace

Decoder::Decoder() {
    getBuffer(mPoll);
}

void Decoder::heard(uint64_t t) {
    const uint64_t gap = t - std::min(t, mLastHeard);
    if (gap > summary.longestSilenceUs) {
        summary.longestSilenceUs = gap;
        summary.silenceFromUs = mLastHeard;
    }
    mLastHeard = t;
}

void Decoder::feed(const Record& r) {
    mLastT = std::max(mLastT, r.t);
    if (r.kind == Kind::Tx)
        return txFrame(r);
    if (r.kind == Kind::Rx)
        return rxBytes(r);
    ++summary.records[static_cast<size_t>(r.kind)];
    if (r.kind == Kind::Start && summary.start.empty())
        summary.start = r.text;
    // The daemon starts a frame afresh on every open.
    if (r.kind == Kind::Open || r.kind == Kind::Lost || r.kind == Kind::Reopen)
        mGather.restart();
    events.push_back(Event{r.t, r.kind, r.param, r.value, r.text});
}

void Decoder::txFrame(const Record& r) {
    if (!mAnswered)
        ++summary.unanswered;
    mAnswered = false;
    Entry e = entryOf(r, "", r.bytes.size());
    e.tx = true;
    ++summary.txFrames;
    if (r.bytes.size() == kFrameSize && std::memcmp(r.bytes.data(), mPoll, kFrameSize) == 0) {
        e.kind = "poll";
        e.valid = true;
        ++summary.polls;
    }
    // A set frame is the one the daemon's builder makes for its parameter and value.
    for (int p = 1; p <= 19 && !e.valid && r.bytes.size() == kFrameSize; ++p) {
        uint8_t built[kFrameSize] = {};
        getBuffer(built, r.bytes[8 + p], p);
        if (std::memcmp(built, r.bytes.data(), kFrameSize) == 0) {
            e.kind = "set";
            e.valid = true;
            e.param = p;
            e.value = r.bytes[8 + p];
            ++summary.setFrames;
        }
    }
    if (!e.valid) {
        e.kind = "garbage";
        e.reason = r.bytes.size() == kFrameSize ? "not a poll or set frame" : "partial frame";
        e.why = e.reason + " (" + std::to_string(r.bytes.size()) + " bytes)";
        ++summary.txOther;
    }
    entries.push_back(std::move(e));
}

void Decoder::rxBytes(const Record& r) {
    heard(r.t);
    for (uint8_t b : r.bytes) {
        switch (mGather.push(b)) {
            case ReplyGatherer::More:
                break;
            case ReplyGatherer::Rejected: {
                // The daemon's gatherer drops a frame start without its header at the fifth byte.
                mAnswered = true;
                ++summary.rejectedStarts;
                // Starts dropped one after the other within one read make one garbage entry.
                if (!entries.empty() && !entries.back().tx && entries.back().kind == "garbage" &&
                    entries.back().line == r.line && r.line != 0) {
                    entries.back().bytes += 5;
                    entries.back().why = "frame starts without the controller's header: " +
                                         std::to_string(entries.back().bytes) + " bytes dropped";
                    break;
                }
                Entry e = entryOf(r, "garbage", 5);
                e.reason = "header";
                e.why = "frame start without the controller's header: 5 bytes dropped";
                entries.push_back(std::move(e));
                break;
            }
            case ReplyGatherer::Complete:
                mAnswered = true;
                replyFrame(r);
                mGather.restart();
                break;
        }
    }
}

void Decoder::replyFrame(const Record& r) {
    Entry e = entryOf(r, "reply", kFrameSize);
    e.status = mGather.respbuff[3];
    ++summary.rxFrames;
    uint8_t frame[kFrameSize];
    std::memcpy(frame, mGather.respbuff, kFrameSize);
    dornDecode check(head0, head1, head2);
    uint8_t block[kFrameSize] = {};
    e.valid = check.decoder(frame, block);
    if (e.valid) {
        ++summary.valid;
        e.hasValues = true;
        for (int i = 0; i < points::kSetpoints; ++i)
            e.setpoints[i] = points::setpointValue(block, i);
        for (int i = 0; i < points::kInputs; ++i)
            e.inputs[i] = points::inputValue(block, i);
    } else {
        e.reason = checkName(check.failure);
        e.why = check.errorStr ? check.errorStr : e.reason;
        ++summary.invalid[e.reason];
    }
    entries.push_back(std::move(e));
}

void Decoder::finish() {
    heard(mLastT);
    summary.durationUs = mLastT;
}

bool fromDebugLog(std::istream& in, exchangefile::File& out) {
    out = exchangefile::File{};
    std::string line;
    size_t lineNo = 0;
    Record current;
    size_t want = 0;
    uint64_t t = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.size() > exchangefile::kMaxLine)
            continue;
        // "2026-12-08 08:59:41,214 ..." gives the time of day; the records' time is from the
        // first dump on.
        unsigned h = 0, m = 0, s = 0, ms = 0;
        if (std::sscanf(line.c_str(), "%*4d-%*2d-%*2d %2u:%2u:%2u,%3u", &h, &m, &s, &ms) == 4)
            t = ((h * 60ull + m) * 60ull + s) * 1000000ull + ms * 1000ull;
        const size_t dump = line.find("DORNBuffer(");
        if (dump != std::string::npos) {
            unsigned n = 0;
            if (std::sscanf(line.c_str() + dump, "DORNBuffer(%u)", &n) == 1 && n > 0 &&
                n <= kFrameSize) {
                current = Record{};
                current.kind = Kind::Tx;
                current.t = t;
                current.line = lineNo;
                want = n;
            }
            continue;
        }
        if (want == 0)
            continue;
        // One dumped byte per record: the message is "0xHH" and nothing else (a line such as
        // "AC-1 Hours = 0x04D2" of another thread is not one).
        size_t end = line.size();
        while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\r'))
            --end;
        const size_t x = end >= 4 ? end - 4 : std::string::npos;
        unsigned byte = 0;
        if (x != std::string::npos && line.compare(x, 2, "0x") == 0 &&
            (x == 0 || line[x - 1] == ' ' || line[x - 1] == ':') &&
            std::isxdigit(static_cast<unsigned char>(line[x + 2])) &&
            std::isxdigit(static_cast<unsigned char>(line[x + 3])) &&
            std::sscanf(line.c_str() + x, "0x%2X", &byte) == 1) {
            current.bytes.push_back(static_cast<uint8_t>(byte));
            if (--want == 0)
                out.records.push_back(current);
        }
    }
    if (out.records.empty())
        return false;
    const uint64_t t0 = out.records.front().t;
    uint64_t last = 0;
    for (Record& r : out.records) {
        r.t = r.t >= t0 ? r.t - t0 : 0;  // a log that crosses midnight starts the day again
        r.t = std::max(r.t, last);
        last = r.t;
    }
    return true;
}

std::string textEntry(const Entry& e) {
    std::string s = seconds(e.t) + "  " + (e.tx ? "tx " : "rx ") + e.kind;
    if (e.kind == "set")
        s += " of parameter " + std::to_string(e.param) + " to " + std::to_string(e.value);
    if (e.kind == "reply")
        s += " status " + std::to_string(e.status) + (e.status == 2 ? " (set refused)" : "");
    s += e.valid ? "  valid" : "  INVALID: " + e.reason + " (" + e.why + ")";
    s += "  [line " + std::to_string(e.line) + "]";
    if (e.hasValues) {
        s += "\n    set-points:" + valuesText(points::kSetpoints, points::setpoint, e.setpoints);
        s += "\n    inputs:" + valuesText(points::kInputs, points::input, e.inputs);
    }
    return s;
}

std::string textEvent(const Event& e) {
    std::string s = seconds(e.t) + "  -- " + exchangefile::kindName(e.kind);
    switch (e.kind) {
        case Kind::SetRecorded:
        case Kind::SetConfirmed:
        case Kind::SetGivenUp:
            s += " parameter " + std::to_string(e.param) + " = " + std::to_string(e.value);
            break;
        default:
            if (!e.text.empty())
                s += " " + e.text;
    }
    return s;
}

std::string textSummary(const Summary& s) {
    std::ostringstream o;
    o << "summary over " << seconds(s.durationUs) << " s\n";
    if (s.fromLog) {
        o << "  from a daemon log: only the frames the daemon dumped at DEBUG (the poll frame\n"
             "  once, every set frame); no replies, answers or silences\n";
    }
    if (!s.start.empty())
        o << "  daemon: " << s.start << "\n";
    o << "  frames written: " << s.txFrames << " (poll " << s.polls << ", set " << s.setFrames
      << ", other " << s.txOther << "); unanswered " << s.unanswered << "\n";
    o << "  frames read: " << s.rxFrames << " (valid " << s.valid << ", invalid";
    uint64_t invalid = 0;
    for (const auto& kv : s.invalid)
        invalid += kv.second;
    o << " " << invalid;
    for (const auto& kv : s.invalid)
        o << ", " << kv.first << " " << kv.second;
    o << "); rejected frame starts " << s.rejectedStarts << "\n";
    o << "  longest silence: " << seconds(s.longestSilenceUs) << " s from "
      << seconds(s.silenceFromUs) << " s\n";
    o << "  sets: recorded " << s.of(Kind::SetRecorded) << ", set frames written " << s.setFrames
      << ", confirmed " << s.of(Kind::SetConfirmed) << ", given up " << s.of(Kind::SetGivenUp)
      << "\n";
    o << "  port lost " << s.of(Kind::Lost) << ", re-opened " << s.of(Kind::Reopen) << "; online "
      << s.of(Kind::Online) << ", offline " << s.of(Kind::Offline) << "\n";
    return o.str();
}

std::string jsonEntry(const Entry& e) {
    nlohmann::ordered_json j;
    j["t"] = static_cast<double>(e.t) / 1e6;
    j["dir"] = e.tx ? "tx" : "rx";
    j["kind"] = e.kind;
    j["valid"] = e.valid;
    if (!e.valid)
        j["reason"] = e.reason;
    if (e.kind == "set") {
        j["param"] = e.param;
        j["value"] = e.value;
    }
    if (e.status >= 0)
        j["status"] = e.status;
    if (e.hasValues) {
        j["setpoints"] = std::vector<float>(e.setpoints, e.setpoints + points::kSetpoints);
        j["inputs"] = std::vector<float>(e.inputs, e.inputs + points::kInputs);
    }
    if (e.kind == "garbage")
        j["bytes"] = e.bytes;
    j["line"] = e.line;
    return j.dump();
}

std::string jsonSummary(const Summary& s) {
    nlohmann::ordered_json j;
    j["source"] = s.fromLog ? "log" : "exchange";
    j["duration"] = static_cast<double>(s.durationUs) / 1e6;
    j["tx_frames"] = s.txFrames;
    j["polls"] = s.polls;
    j["set_frames"] = s.setFrames;
    j["tx_other"] = s.txOther;
    j["unanswered"] = s.unanswered;
    j["rx_frames"] = s.rxFrames;
    j["valid"] = s.valid;
    nlohmann::ordered_json inv = nlohmann::ordered_json::object();
    for (const char* r : {"header", "terminator", "checksum", "end"})
        inv[r] = s.invalid.count(r) ? s.invalid.at(r) : 0;
    j["invalid"] = inv;
    j["rejected_starts"] = s.rejectedStarts;
    j["longest_silence"] = static_cast<double>(s.longestSilenceUs) / 1e6;
    j["longest_silence_from"] = static_cast<double>(s.silenceFromUs) / 1e6;
    j["sets_recorded"] = s.of(Kind::SetRecorded);
    j["sets_written"] = s.setFrames;
    j["sets_confirmed"] = s.of(Kind::SetConfirmed);
    j["sets_given_up"] = s.of(Kind::SetGivenUp);
    j["port_lost"] = s.of(Kind::Lost);
    j["port_reopened"] = s.of(Kind::Reopen);
    j["online"] = s.of(Kind::Online);
    j["offline"] = s.of(Kind::Offline);
    nlohmann::ordered_json out;
    out["summary"] = j;
    return out.dump();
}

}  // namespace borldecode
