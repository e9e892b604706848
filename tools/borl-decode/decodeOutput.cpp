// The decoded capture printed: text for a person, one JSON object per line for scripts. The
// printer is on the hot path of a capture of gigabytes: it appends to one large buffer, formats
// numbers with to_chars, keeps the date of the current second and the values text of the last
// reply, which a steady line repeats cycle after cycle.
#include <nlohmann/json.hpp>

#include <charconv>
#include <cstring>
#include <ctime>
#include <sstream>

#include "exchangeDecode.h"

namespace borldecode {

using exchangefile::Kind;

namespace {

constexpr size_t kFlushAt = 1 << 20;

void number(std::string& s, uint64_t n) {
    char b[24];
    s.append(b, static_cast<size_t>(std::to_chars(b, b + sizeof b, n).ptr - b));
}

void real(std::string& s, float v) {
    char b[32];
    s.append(b,
             static_cast<size_t>(std::to_chars(b, b + sizeof b, static_cast<double>(v)).ptr - b));
}

// "12.000345": seconds with µs.
void seconds(std::string& s, uint64_t us) {
    number(s, us / 1000000);
    char b[8];
    uint64_t frac = us % 1000000;
    for (int i = 6; i > 0; --i, frac /= 10)
        b[i] = static_cast<char>('0' + frac % 10);
    b[0] = '.';
    s.append(b, 7);
}

void jsonString(std::string& s, const std::string& raw) {
    const std::string text = utf8(raw);
    s += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            s += b;
        } else {
            s += c;
        }
    }
    s += '"';
}

// ", label value unit" for each of `n` points (text), or "[v,v,...]" (JSON).
void valuesText(std::string& s, int n, const points::Point& (*info)(int), const float* values) {
    for (int i = 0; i < n; ++i) {
        const points::Point p = info(i);
        s += i ? ", " : " ";
        s += p.label;
        s += ' ';
        real(s, values[i]);
        if (*p.unit) {
            s += ' ';
            s += p.unit;
        }
    }
}

void valuesJson(std::string& s, int n, const float* values) {
    s += '[';
    for (int i = 0; i < n; ++i) {
        if (i)
            s += ',';
        real(s, values[i]);
    }
    s += ']';
}

std::string setpointName(int param) {
    return param >= 1 && param <= points::kSetpoints ? points::setpoint(param - 1).label
                                                     : "parameter " + std::to_string(param);
}

}  // namespace

namespace {

// The length of the UTF-8 sequence at `p` (at most `n` bytes), 0 when it is not one.
size_t sequence(const unsigned char* p, size_t n) {
    const size_t len = p[0] < 0x80         ? 1
                       : (p[0] >> 5) == 6  ? 2
                       : (p[0] >> 4) == 14 ? 3
                       : (p[0] >> 3) == 30 ? 4
                                           : 0;
    if (len == 0 || len > n || (len == 2 && p[0] < 0xC2))
        return 0;
    for (size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return len;
}

}  // namespace

std::string utf8(const std::string& text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t len = sequence(p + i, text.size() - i);
        if (len == 0) {
            out += "\ufffd";
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    return out;
}

Printer::Printer(std::FILE* out, bool json) : mOut(out), mJson(json) {
    mBuf.reserve(kFlushAt + 8192);
}

Printer::~Printer() {
    flush();
}

void Printer::flush() {
    if (!mBuf.empty() && std::fwrite(mBuf.data(), 1, mBuf.size(), mOut) != mBuf.size())
        mFailed = true;
    mBuf.clear();
}

// The wall-clock time of `t`, "2026-12-08T09:00:01.103Z"; in JSON with "t" before it.
void Printer::wall(uint64_t t) {
    const uint64_t us = mWallUs + t;
    const int64_t second = static_cast<int64_t>(us / 1000000);
    if (second / 86400 != mSecond / 86400 || mSecond < 0) {
        const time_t secs = static_cast<time_t>(second);
        tm utc{};
        gmtime_r(&secs, &utc);
        std::strftime(mDate, sizeof mDate, "%Y-%m-%dT%H:%M:%S", &utc);
    }
    if (second != mSecond) {
        // The time of day in place after the date, "2026-12-08T": computed, not formatted.
        mSecond = second;
        const unsigned day = static_cast<unsigned>(second % 86400);
        const unsigned hms[3] = {day / 3600, day / 60 % 60, day % 60};
        for (int i = 0; i < 3; ++i) {
            mDate[11 + 3 * i] = static_cast<char>('0' + hms[i] / 10);
            mDate[12 + 3 * i] = static_cast<char>('0' + hms[i] % 10);
        }
    }
    if (mJson) {
        mBuf += "{\"t\":";
        seconds(mBuf, t);
        mBuf += ",\"wall\":\"";
    }
    mBuf.append(mDate, 19);
    const unsigned ms = static_cast<unsigned>(us / 1000 % 1000);
    const char frac[] = {'.', static_cast<char>('0' + ms / 100),
                         static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10),
                         'Z'};
    mBuf.append(frac, sizeof frac);
    if (mJson)
        mBuf += '"';
}

void Printer::entry(const Entry& e) {
    wall(e.t);
    if (mJson) {
        mBuf += e.tx ? ",\"dir\":\"tx\",\"kind\":\"" : ",\"dir\":\"rx\",\"kind\":\"";
        mBuf += e.kind;
        mBuf += e.valid ? "\",\"valid\":true" : "\",\"valid\":false,\"reason\":\"";
        if (!e.valid) {
            mBuf += e.reason;
            mBuf += '"';
        }
    } else {
        mBuf += e.tx ? "  tx " : "  rx ";
        mBuf += e.kind;
    }
    if (*e.kind == 's') {  // set
        mBuf += mJson ? ",\"param\":" : " of parameter ";
        number(mBuf, static_cast<uint64_t>(e.param));
        mBuf += mJson ? ",\"value\":" : " to ";
        number(mBuf, static_cast<uint64_t>(e.value));
    }
    if (e.status >= 0) {
        mBuf += mJson ? ",\"status\":" : " status ";
        number(mBuf, static_cast<uint64_t>(e.status));
        if (!mJson && e.status == 2)
            mBuf += " (set refused)";
    }
    if (*e.kind == 'g') {
        mBuf += mJson ? ",\"bytes\":" : "";
    }
    if (!mJson)
        textVerdict(e);
    else if (*e.kind == 'g')
        number(mBuf, e.bytes);
    if (e.hasValues)
        values(e);
    // In text, a reply of the same frame as the reply before says so rather than repeat its
    // values: a steady line reads as what changed.
    const bool same = !mJson && e.hasValues && e.replyId == mShownId;
    mBuf += mJson ? ",\"line\":" : same ? "  (same frame as the reply before)  [line " : "  [line ";
    number(mBuf, e.line);
    mBuf += mJson ? "}\n" : "]\n";
    if (!mJson && e.hasValues && !same) {
        mBuf += mValues;
        mShownId = e.replyId;
    }
    if (mBuf.size() >= kFlushAt)
        flush();
}

// "  valid", or "  INVALID: <reason> (<what>)" with a garbage entry's count of bytes.
void Printer::textVerdict(const Entry& e) {
    if (e.valid) {
        mBuf += "  valid";
        return;
    }
    mBuf += "  INVALID: ";
    mBuf += e.reason;
    mBuf += " (";
    if (e.tx && *e.kind == 'g') {
        number(mBuf, e.bytes);
        mBuf += " bytes written)";
    } else if (*e.kind == 'g') {
        mBuf += "frame starts without the controller's header: ";
        number(mBuf, e.bytes);
        mBuf += " bytes dropped)";
    } else {
        mBuf += e.why;
        mBuf += ')';
    }
}

// A valid reply's values: in JSON in the object, in text on two lines after it (kept in
// mValues for the replies of the same frame that follow).
void Printer::values(const Entry& e) {
    if (e.replyId != mValuesId) {
        mValuesId = e.replyId;
        mValues.clear();
        if (mJson) {
            mValues += ",\"setpoints\":";
            valuesJson(mValues, points::kSetpoints, e.setpoints);
            mValues += ",\"inputs\":";
            valuesJson(mValues, points::kInputs, e.inputs);
        } else {
            mValues += "    set-points:";
            valuesText(mValues, points::kSetpoints, points::setpoint, e.setpoints);
            mValues += "\n    inputs:";
            valuesText(mValues, points::kInputs, points::input, e.inputs);
            mValues += '\n';
        }
    }
    if (mJson)
        mBuf += mValues;
}

void Printer::event(const Event& e) {
    wall(e.t);
    const bool set =
        e.kind == Kind::SetRecorded || e.kind == Kind::SetConfirmed || e.kind == Kind::SetGivenUp;
    const bool count = e.kind == Kind::Abandoned || e.kind == Kind::WriteFailed;
    if (mJson) {
        mBuf += ",\"kind\":\"event\",\"event\":\"";
        mBuf += exchangefile::kindName(e.kind);
        mBuf += '"';
        if (set) {
            mBuf += ",\"param\":";
            number(mBuf, static_cast<uint64_t>(e.param));
            mBuf += ",\"value\":";
            number(mBuf, static_cast<uint64_t>(e.value));
        }
        if (count) {
            mBuf += ",\"bytes\":";
            number(mBuf, static_cast<uint64_t>(e.value));
        }
        if (!e.text.empty()) {
            mBuf += ",\"text\":";
            jsonString(mBuf, e.text);
        }
        mBuf += ",\"line\":";
        number(mBuf, e.line);
        mBuf += "}\n";
        return;
    }
    mBuf += "  -- ";
    mBuf += exchangefile::kindName(e.kind);
    if (set) {
        mBuf += " parameter ";
        number(mBuf, static_cast<uint64_t>(e.param));
        mBuf += " (" + setpointName(e.param) + ") = ";
        number(mBuf, static_cast<uint64_t>(e.value));
    }
    if (count) {
        mBuf += e.kind == Kind::Abandoned ? ": the line did not take the frame; "
                                          : ": the write of the frame failed; ";
        number(mBuf, static_cast<uint64_t>(e.value));
        mBuf += " bytes of it reached the line";
    }
    if (!e.text.empty()) {
        mBuf += count ? ": " : " ";
        mBuf += e.text;
    }
    mBuf += "  [line ";
    number(mBuf, e.line);
    mBuf += "]\n";
}

// A new run of the daemon: "restart", with whether the exchange began anew and the start
// record's fields.
void Printer::restart(const Event& e) {
    wall(e.t);
    const bool resumed = resumesExchange(e.text);
    if (mJson) {
        mBuf += ",\"kind\":\"event\",\"event\":\"restart\",\"exchange\":\"";
        mBuf += resumed ? "running\"" : "new\"";
        mBuf += ",\"text\":";
        jsonString(mBuf, e.text);
        mBuf += ",\"line\":";
    } else {
        mBuf += resumed ? "  -- restart: a capture begun on the running daemon: "
                        : "  -- restart: the daemon started again: ";
        mBuf += e.text;
        mBuf += "  [line ";
    }
    number(mBuf, e.line);
    mBuf += mJson ? "}\n" : "]\n";
}

void Printer::file(uint64_t t, const std::string& name) {
    wall(t);
    if (mJson) {
        mBuf += ",\"kind\":\"file\",\"name\":";
        jsonString(mBuf, name);
        mBuf += "}\n";
    } else {
        mBuf += "  == file " + name + "\n";
    }
}

void Printer::dropped(const Drop& d) {
    wall(d.t);
    if (mJson) {
        mBuf += ",\"kind\":\"dropped\",\"count\":";
        number(mBuf, d.count);
    } else {
        mBuf += "  -- ";
        number(mBuf, d.count);
        mBuf += " records dropped here by the daemon's capture";
        mBuf += d.why.empty() ? "" : ": " + d.why;
    }
    mBuf += mJson ? ",\"line\":" : "  [line ";
    number(mBuf, d.line);
    mBuf += mJson ? "}\n" : "]\n";
}

bool Printer::finish(const Summary& s) {
    mBuf += mJson ? jsonSummary(s) + "\n" : textSummary(s);
    flush();
    if (std::fflush(mOut) != 0)
        mFailed = true;
    return !mFailed;
}

namespace {

// "8 h 02 min 05.250 s" for a duration.
std::string span(uint64_t us) {
    char b[64];
    const uint64_t s = us / 1000000;
    if (s >= 3600)
        std::snprintf(b, sizeof b, "%llu h %02llu min %02llu s", (unsigned long long)(s / 3600),
                      (unsigned long long)(s / 60 % 60), (unsigned long long)(s % 60));
    else
        std::snprintf(b, sizeof b, "%.3f s", static_cast<double>(us) / 1e6);
    return b;
}

const char* outcomeText(const SetRun& set) {
    return set.outcome == Kind::SetConfirmed ? "confirmed"
           : set.outcome == Kind::SetGivenUp ? "given up"
           : set.replaced                    ? "replaced"
                                             : "none";
}

// What the capture does not hold: the files gone from the ring before it, the records dropped.
void textGaps(std::ostringstream& o, const Summary& s) {
    if (s.continues)
        o << "  the capture continues a file that is gone: nothing before "
          << exchangefile::wallText(s.wallUs + s.firstUs, 3) << " is here\n";
    if (s.droppedRecords > 0) {
        o << "  records dropped by the daemon's capture: " << s.droppedRecords << ", at "
          << s.drops.size() << (s.drops.size() == 1 ? " place" : " places") << ":\n";
        for (const Drop& d : s.drops)
            o << "    " << d.count << " after " << exchangefile::wallText(s.wallUs + d.t, 3) << " ("
              << d.file << ":" << d.line << ")" << (d.why.empty() ? "" : ": " + d.why) << "\n";
    }
    if (s.continues || s.droppedRecords > 0)
        o << "  so the counts below are short of the daemon's own statistics\n";
}

// Every set: its first set frame (or its record, when none went out), what ended it, when.
void textSets(std::ostringstream& o, const Summary& s) {
    if (!s.sets.empty())
        o << "  each set, from its first set frame to the reply that ended it:\n";
    for (const SetRun& set : s.sets) {
        o << "    " << exchangefile::wallText(s.wallUs + set.shownAt(), 3) << "  parameter "
          << set.param << " (" << setpointName(set.param) << ") = " << set.value << ": ";
        if (set.ended != SetRun::kNever)
            o << outcomeText(set) << " by the reply at "
              << exchangefile::wallText(s.wallUs + set.ended, 3);
        else
            o << (set.replaced ? "replaced by the next set" : "no outcome in the capture");
        o << ", " << set.frames << (set.frames == 1 ? " set frame" : " set frames")
          << (set.sent == SetRun::kNever ? " (none went out)" : "") << "\n";
    }
    if (s.setsNotListed > 0)
        o << "    and " << s.setsNotListed << " more sets (the list holds the first "
          << Summary::kMaxSets << ")\n";
}

// Each run of the daemon with its own statistics, when the capture has more than one.
void textRuns(std::ostringstream& o, const Summary& s) {
    if (s.runs.size() + s.runsNotListed < 2)
        return;
    o << "  runs of the daemon: " << s.runs.size() + s.runsNotListed
      << " (the time between two is no silence of the line):\n";
    for (size_t i = 0; i < s.runs.size(); ++i) {
        const Run& r = s.runs[i];
        const uint64_t invalid = r.invalid[0] + r.invalid[1] + r.invalid[2] + r.invalid[3];
        o << "    run " << i + 1 << ", " << exchangefile::wallText(s.wallUs + r.fromUs, 3) << " to "
          << exchangefile::wallText(s.wallUs + r.toUs, 3) << " (" << span(r.toUs - r.fromUs)
          << (r.resumed ? ", a capture begun on the running daemon" : "") << "): poll frames "
          << r.polls << ", set frames " << r.setFrames << ", valid replies " << r.valid
          << ", invalid replies " << invalid << ", rejected frame starts " << r.rejectedStarts
          << ", timeouts " << r.timeouts << ", serial re-opens " << r.of(Kind::Reopen)
          << ", abandoned frames " << r.of(Kind::Abandoned) << "; longest silence "
          << span(r.longestSilenceUs) << "; online " << r.of(Kind::Online) << ", offline "
          << r.of(Kind::Offline) << "; sets confirmed " << r.of(Kind::SetConfirmed) << ", given up "
          << r.of(Kind::SetGivenUp) << "\n";
    }
    if (s.runsNotListed > 0)
        o << "    and " << s.runsNotListed << " more runs (the list holds the first "
          << Summary::kMaxRuns << ")\n";
}

}  // namespace

std::string textSummary(const Summary& s) {
    std::ostringstream o;
    const uint64_t invalid = s.invalid[0] + s.invalid[1] + s.invalid[2] + s.invalid[3];
    if (s.wallUs == 0)
        o << "summary of an input without records\n";
    else
        o << "summary over " << span(s.durationUs - s.firstUs) << ", "
          << exchangefile::wallText(s.wallUs + s.firstUs, 3) << " to "
          << exchangefile::wallText(s.wallUs + s.durationUs, 3) << " (UTC)\n";
    if (s.fromLog) {
        o << "  from a daemon log: only the frames the daemon dumped at DEBUG (the poll frame\n"
             "  once, every set frame); no replies, answers or silences\n";
    }
    textGaps(o, s);
    if (!s.start.empty())
        o << "  daemon: " << s.start << "\n";
    o << "  link statistics: poll frames " << s.polls << ", set frames " << s.setFrames
      << ", valid replies " << s.valid << ", invalid replies (header " << s.invalid[0]
      << ", terminator " << s.invalid[1] << ", checksum " << s.invalid[2] << ", closing byte "
      << s.invalid[3] << "), rejected frame starts " << s.rejectedStarts << ", timeouts "
      << s.timeouts << ", serial re-opens " << s.of(Kind::Reopen) << ", abandoned frames "
      << s.of(Kind::Abandoned) << "\n";
    o << "  frames written: " << s.txFrames << " (poll " << s.polls << ", set " << s.setFrames
      << ", other " << s.txOther << "); writes failed " << s.of(Kind::WriteFailed) << "\n";
    o << "  frames read: " << s.rxFrames << " (valid " << s.valid << ", invalid " << invalid
      << ")\n";
    o << "  longest silence: " << span(s.longestSilenceUs) << " from "
      << exchangefile::wallText(s.wallUs + s.silenceFromUs, 3) << "\n";
    o << "  sets: recorded " << s.of(Kind::SetRecorded) << ", set frames written " << s.setFrames
      << ", confirmed " << s.of(Kind::SetConfirmed) << ", given up " << s.of(Kind::SetGivenUp)
      << "\n";
    textSets(o, s);
    o << "  port lost " << s.of(Kind::Lost) << ", re-opened " << s.of(Kind::Reopen) << "; online "
      << s.of(Kind::Online) << ", offline " << s.of(Kind::Offline) << "\n";
    textRuns(o, s);
    return o.str();
}

namespace {

// The gaps and the sets of the summary, in JSON: times as wall-clock text, null for never.
void jsonGaps(nlohmann::ordered_json& j, const Summary& s) {
    const auto at = [&s](uint64_t t) {
        return t == SetRun::kNever
                   ? nlohmann::ordered_json()
                   : nlohmann::ordered_json(exchangefile::wallText(s.wallUs + t, 3));
    };
    j["continues"] = s.continues;
    nlohmann::ordered_json places = nlohmann::ordered_json::array();
    for (const Drop& d : s.drops)
        places.push_back({{"wall", at(d.t)},
                          {"count", d.count},
                          {"file", utf8(d.file)},
                          {"line", d.line},
                          {"why", utf8(d.why)}});
    j["dropped_records"] = {{"count", s.droppedRecords}, {"at", places}};
    nlohmann::ordered_json sets = nlohmann::ordered_json::array();
    for (const SetRun& set : s.sets)
        sets.push_back({{"param", set.param},
                        {"value", set.value},
                        {"recorded", at(set.recorded)},
                        {"first_frame", at(set.sent)},
                        {"frames", set.frames},
                        {"outcome", outcomeText(set)},
                        {"ended", at(set.ended)}});
    j["sets"] = sets;
    j["sets_not_listed"] = s.setsNotListed;
}

}  // namespace

namespace {

// The counts of the whole capture or of one run.
void jsonCounts(nlohmann::ordered_json& j, const Counts& s, uint64_t wallUs) {
    j["tx_frames"] = s.txFrames;
    j["polls"] = s.polls;
    j["set_frames"] = s.setFrames;
    j["tx_other"] = s.txOther;
    j["timeouts"] = s.timeouts;
    j["abandoned_frames"] = s.of(Kind::Abandoned);
    j["write_failed"] = s.of(Kind::WriteFailed);
    j["serial_reopens"] = s.of(Kind::Reopen);
    j["rx_frames"] = s.rxFrames;
    j["valid"] = s.valid;
    nlohmann::ordered_json inv = nlohmann::ordered_json::object();
    for (size_t i = 0; i < 4; ++i)
        inv[kInvalidReasons[i]] = s.invalid[i];
    j["invalid"] = inv;
    j["rejected_starts"] = s.rejectedStarts;
    j["longest_silence"] = static_cast<double>(s.longestSilenceUs) / 1e6;
    j["longest_silence_from"] = static_cast<double>(s.silenceFromUs) / 1e6;
    j["longest_silence_from_wall"] = exchangefile::wallText(wallUs + s.silenceFromUs, 3);
    j["sets_recorded"] = s.of(Kind::SetRecorded);
    j["sets_written"] = s.setFrames;
    j["sets_confirmed"] = s.of(Kind::SetConfirmed);
    j["sets_given_up"] = s.of(Kind::SetGivenUp);
    j["port_lost"] = s.of(Kind::Lost);
    j["port_reopened"] = s.of(Kind::Reopen);
    j["online"] = s.of(Kind::Online);
    j["offline"] = s.of(Kind::Offline);
}

nlohmann::ordered_json jsonRuns(const Summary& s) {
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    for (const Run& r : s.runs) {
        nlohmann::ordered_json j;
        j["from"] = exchangefile::wallText(s.wallUs + r.fromUs, 3);
        j["to"] = exchangefile::wallText(s.wallUs + r.toUs, 3);
        j["duration"] = static_cast<double>(r.toUs - r.fromUs) / 1e6;
        j["exchange"] = r.resumed ? "running" : "new";
        jsonCounts(j, r, s.wallUs);
        j["start"] = utf8(r.start);
        runs.push_back(std::move(j));
    }
    return runs;
}

}  // namespace

std::string jsonSummary(const Summary& s) {
    nlohmann::ordered_json j;
    j["source"] = s.fromLog ? "log" : "exchange";
    if (s.wallUs != 0) {  // an input with records
        j["from"] = exchangefile::wallText(s.wallUs + s.firstUs, 3);
        j["to"] = exchangefile::wallText(s.wallUs + s.durationUs, 3);
    }
    j["duration"] = static_cast<double>(s.durationUs - s.firstUs) / 1e6;
    jsonCounts(j, s, s.wallUs);
    j["start"] = utf8(s.start);
    jsonGaps(j, s);
    j["runs"] = jsonRuns(s);
    j["runs_not_listed"] = s.runsNotListed;
    nlohmann::ordered_json out;
    out["summary"] = j;
    return out.dump();
}

}  // namespace borldecode
