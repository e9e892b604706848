// The picture of a capture (--svg), for a service engineer who opens it in a browser: the
// temperatures with their set-points, the humidity, the run-hour counters' increase, a state
// strip (controller online, port lost, line stalled, invalid frames, sets), all on one wall-clock
// axis. The data are reduced while the records stream by: a fixed number of time bins, each
// holding per series the least and the greatest value; when the capture outgrows them, the bins'
// width doubles and neighbours merge. The memory and the picture's size do not grow with the
// capture.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "exchangeDecode.h"

namespace borldecode {

using exchangefile::Kind;

namespace {

constexpr size_t kBins = 1000;  // one per pixel column of the plots
constexpr size_t kSeries = points::kInputs + points::kSetpoints;
constexpr uint64_t kFirstWidthUs = 100000;  // a bin's width while the capture is short

// What the count lanes of the state strip count, bin by bin.
enum Counted { kStalled, kInvalid, kDropped, kCounted };

struct Bin {
    float lo[kSeries];
    float hi[kSeries];
    uint32_t replies = 0;  // valid replies
    uint64_t firstReply = 0, lastReply = 0;
    // Frames the line did not take (abandoned, failed writes); invalid replies and rejected
    // frame starts; records the daemon's capture dropped. When the last of each came.
    uint64_t counts[kCounted] = {};
    uint64_t lastAt[kCounted] = {};
    bool touched = false;  // a record fell in the bin: the states below are its end's
    bool sawOffline = false, sawLost = false;
    int8_t online = -1;  // at the bin's end: -1 not known yet, 0 offline, 1 online
    bool lost = false;   // at the bin's end: the port lost

    void count(Counted what, uint64_t n, uint64_t t) {
        counts[what] += n;
        lastAt[what] = t;
    }

    void merge(const Bin& b) {
        for (size_t s = 0; s < kSeries && b.replies > 0; ++s) {
            lo[s] = replies ? std::min(lo[s], b.lo[s]) : b.lo[s];
            hi[s] = replies ? std::max(hi[s], b.hi[s]) : b.hi[s];
        }
        if (b.replies > 0) {
            firstReply = replies ? firstReply : b.firstReply;
            lastReply = b.lastReply;
        }
        replies += b.replies;
        for (size_t c = 0; c < kCounted; ++c) {
            lastAt[c] = b.counts[c] ? b.lastAt[c] : lastAt[c];
            counts[c] += b.counts[c];
        }
        sawOffline = sawOffline || b.sawOffline;
        sawLost = sawLost || b.sawLost;
        if (b.touched) {
            online = b.online;
            lost = b.lost;
        }
        touched = touched || b.touched;
    }
};

}  // namespace

struct Night::State {
    std::vector<Bin> bins = std::vector<Bin>(kBins);
    bool started = false;
    uint64_t t0 = 0, last = 0;
    uint64_t widthUs = kFirstWidthUs;
    int8_t online = -1;
    bool lost = false;
    uint64_t lastTx = 0, cycleSum = 0, cycles = 0;  // the cycle's usual length
    float first[points::kInputs] = {};              // the first valid reply's inputs
    bool haveFirst = false;

    // The bin of `t`, the bins merged pairwise until it fits.
    Bin& at(uint64_t t) {
        if (!started) {
            started = true;
            t0 = t;
        }
        last = std::max(last, t);
        while (t - t0 >= kBins * widthUs) {
            for (size_t i = 0; i < kBins / 2; ++i) {
                Bin merged = bins[2 * i];
                merged.merge(bins[2 * i + 1]);
                bins[i] = merged;
            }
            std::fill(bins.begin() + kBins / 2, bins.end(), Bin{});
            widthUs *= 2;
        }
        Bin& b = bins[(t - t0) / widthUs];
        b.touched = true;
        b.online = online;
        b.lost = lost;
        b.sawOffline = b.sawOffline || online == 0;
        b.sawLost = b.sawLost || lost;
        return b;
    }
};

Night::Night() : m(new State) {}
Night::~Night() = default;

void Night::entry(const Entry& e) {
    if (e.tx && e.t - m->lastTx < 10000000 && m->lastTx > 0) {
        m->cycleSum += e.t - m->lastTx;
        ++m->cycles;
    }
    if (e.tx)
        m->lastTx = e.t;
    Bin& b = m->at(e.t);
    if (!e.valid && !e.tx)
        b.count(kInvalid, *e.kind == 'g' ? e.bytes / 5 : 1, e.t);
    if (!e.hasValues)
        return;
    if (!m->haveFirst) {
        m->haveFirst = true;
        std::copy(e.inputs, e.inputs + points::kInputs, m->first);
    }
    for (size_t s = 0; s < kSeries; ++s) {
        const float v = s < points::kInputs ? e.inputs[s] : e.setpoints[s - points::kInputs];
        b.lo[s] = b.replies ? std::min(b.lo[s], v) : v;
        b.hi[s] = b.replies ? std::max(b.hi[s], v) : v;
    }
    b.firstReply = b.replies ? b.firstReply : e.t;
    b.lastReply = e.t;
    ++b.replies;
}

void Night::event(const Event& e) {
    if (e.kind == Kind::Online || e.kind == Kind::Offline)
        m->online = e.kind == Kind::Online ? 1 : 0;
    if (e.kind == Kind::Lost || e.kind == Kind::Reopen || e.kind == Kind::Open)
        m->lost = e.kind == Kind::Lost;
    Bin& b = m->at(e.t);
    if (e.kind == Kind::Abandoned || e.kind == Kind::WriteFailed)
        b.count(kStalled, 1, e.t);
}

// The daemon started again: what it knew of the controller and the port is gone with it.
void Night::restart(const Event& e) {
    m->online = -1;
    m->lost = false;
    event(e);
}

void Night::dropped(const Drop& d) {
    m->at(d.t).count(kDropped, d.count, d.t);
}

namespace {

constexpr double kLeft = 100;   // the plots' left edge
constexpr double kPlot = 1000;  // the plots' width
constexpr double kLegend = kLeft + kPlot + 14;
constexpr double kWidth = kLegend + 300;
constexpr double kLane = 20;  // a lane of the state strip

// Colours that do not repeat within a panel, nor look alike: up to 14 (the temperatures' eight
// and their five set-points among them).
const char* const kFaint = " opacity=\"0.45\"";  // an average beside the value it averages
const char* const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf",
                                "#00a884", "#000000", "#a0006e", "#6b8e23"};

std::string esc(const std::string& text) {
    std::string o;
    for (char c : utf8(text)) {
        switch (c) {
            case '&':
                o += "&amp;";
                break;
            case '<':
                o += "&lt;";
                break;
            case '>':
                o += "&gt;";
                break;
            case '"':
                o += "&quot;";
                break;
            default:
                o += c;
        }
    }
    return o;
}

std::string f1(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

// A value axis' label: whole numbers without decimals.
std::string tick(double v) {
    return std::fmod(v, 1) == 0 ? std::to_string(static_cast<long>(v)) : f1(v);
}

std::string unitText(const char* unit) {
    return std::strcmp(unit, "deg C") == 0 ? "\u00b0C"
           : std::strcmp(unit, "Min") == 0 ? "min"
                                           : unit;
}

// "12 345": counts with a thin space every three digits.
std::string count(uint64_t n) {
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3)
        s.insert(static_cast<size_t>(i), "\u2009");
    return s;
}

// A count in a lane's narrow interval: "987", "1.2k", "34k" (the title holds the exact totals).
std::string shortCount(uint64_t n) {
    if (n < 1000)
        return std::to_string(n);
    char buf[32];
    if (n < 9950)
        std::snprintf(buf, sizeof buf, "%.1fk", static_cast<double>(n) / 1000);
    else
        std::snprintf(buf, sizeof buf, "%lluk", static_cast<unsigned long long>((n + 500) / 1000));
    return buf;
}

enum class Form { Stamp, Minute, Second, Day, DayTime };

// The wall-clock time of `us` (UTC): "2026-12-08 22:00:00", "22:00", "22:00:30",
// "Tue 08 Dec 2026", "Tue 08 Dec 22:00:30".
std::string clock(uint64_t us, Form form) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t secs = static_cast<time_t>(us / 1000000);
    tm u{};
    gmtime_r(&secs, &u);
    char b[48];
    if (form == Form::Stamp)
        std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d", u.tm_year + 1900, u.tm_mon + 1,
                      u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec);
    else if (form == Form::Day)
        std::snprintf(b, sizeof b, "%s %02d %s %04d", kDays[u.tm_wday], u.tm_mday,
                      kMonths[u.tm_mon], u.tm_year + 1900);
    else if (form == Form::DayTime)
        std::snprintf(b, sizeof b, "%s %02d %s %02d:%02d:%02d", kDays[u.tm_wday], u.tm_mday,
                      kMonths[u.tm_mon], u.tm_hour, u.tm_min, u.tm_sec);
    else if (form == Form::Second)
        std::snprintf(b, sizeof b, "%02d:%02d:%02d", u.tm_hour, u.tm_min, u.tm_sec);
    else
        std::snprintf(b, sizeof b, "%02d:%02d", u.tm_hour, u.tm_min);
    return b;
}

std::string duration(uint64_t us) {
    const uint64_t m = us / 60000000;
    char b[48];
    if (m >= 60 && m % 60 == 0 && us % 60000000 == 0)
        std::snprintf(b, sizeof b, "%llu h", static_cast<unsigned long long>(m / 60));
    else if (m >= 60)
        std::snprintf(b, sizeof b, "%llu h %02llu min", static_cast<unsigned long long>(m / 60),
                      static_cast<unsigned long long>(m % 60));
    else if (us >= 60000000 && us % 60000000 == 0)
        std::snprintf(b, sizeof b, "%llu min", static_cast<unsigned long long>(m));
    else
        std::snprintf(b, sizeof b, "%.0f s", static_cast<double>(us) / 1e6);
    return b;
}

// A value axis: `lo`..`hi` onto `top`..`top + height`, with round steps.
struct ValueAxis {
    double lo, hi, top, height, step;
    ValueAxis(double l, double h, double t, double ht) : top(t), height(ht) {
        if (h - l < 2) {
            l -= 1;
            h += 1;
        }
        // Room above and below: no line on the frame.
        const double pad = (h - l) * 0.04;
        l -= pad;
        h += pad;
        const double raw = (h - l) / 5;
        const double mag = std::pow(10, std::floor(std::log10(raw)));
        step = raw <= mag ? mag : raw <= 2 * mag ? 2 * mag : raw <= 5 * mag ? 5 * mag : 10 * mag;
        lo = std::floor(l / step) * step;
        hi = std::ceil(h / step) * step;
    }
    double operator()(double v) const { return top + height - height * (v - lo) / (hi - lo); }
};

// Wall-clock ticks: the major step with at most a dozen labels, the minor one between them.
struct Ticks {
    uint64_t major = 3600, minor = 900;  // seconds
    uint64_t counted = 3600;             // the interval of the counts in the strip: 24 at most
};

Ticks ticksFor(uint64_t spanUs) {
    static const uint64_t kSteps[] = {1,     2,     5,     10,     30,    60,   120,
                                      300,   600,   900,   1800,   3600,  7200, 10800,
                                      21600, 43200, 86400, 172800, 604800};
    Ticks t;
    const double span = static_cast<double>(spanUs) / 1e6;
    for (uint64_t step : kSteps) {
        t.major = step;
        if (span / static_cast<double>(step) <= 12)
            break;
    }
    // The minor step: a round one of the same list that divides the major step.
    t.minor = t.major;
    for (uint64_t step : kSteps) {
        if (step < t.major && t.major % step == 0 && t.major / step <= 6 &&
            span / static_cast<double>(step) <= 60) {
            t.minor = step;
            break;
        }
    }
    t.counted = t.major;
    for (uint64_t c : {t.minor, 2 * t.minor, t.major / 2}) {
        if (c % t.minor == 0 && t.major % c == 0 && span / static_cast<double>(c) <= 24) {
            t.counted = c;
            break;
        }
    }
    return t;
}

// The colours of a set's outcome: confirmed, given up, replaced or none.
const char* const kOutcomeColour[3] = {"#2ca02c", "#d62728", "#1f77b4"};
constexpr size_t kListed = 36;    // sets listed under the picture, in three columns
constexpr double kListLeft = 40;  // where the list begins

std::string outcomeWords(const SetRun& set) {
    return set.outcome == Kind::SetConfirmed ? "confirmed"
           : set.outcome == Kind::SetGivenUp ? "given up"
           : set.replaced                    ? "replaced by the next set"
                                             : "no outcome";
}

// A count over an interval of the plot, labelled above it: for sets by outcome (confirmed,
// given up, other), elsewhere in the first alone.
struct Tally {
    double x0 = 0, x1 = 0;
    uint64_t n[3] = {};
    uint64_t total() const { return n[0] + n[1] + n[2]; }
};

// "1.2k"; for sets each outcome's count, "12+3+1" (coloured when drawn).
std::string tallyText(const Tally& t, bool sets) {
    if (!sets)
        return shortCount(t.total());
    std::string text;
    for (size_t k = 0; k < 3; ++k)
        if (t.n[k] > 0)
            text += (text.empty() ? "" : "+") + shortCount(t.n[k]);
    return text;
}

// The width of a label of 9 px at most (digits are the widest of its characters), with room.
double labelWidth(const std::string& text) {
    return 5.8 * static_cast<double>(text.size()) + 4;
}

// A label's centre: over its interval, within the plot.
double labelCentre(const Tally& t, double width) {
    return std::clamp((t.x0 + t.x1) / 2, kLeft + width / 2, kLeft + kPlot - width / 2);
}

// Neighbouring tallies counted together until no two labels overlap.
std::vector<Tally> grouped(const std::vector<Tally>& tallies, bool sets) {
    std::vector<Tally> out;
    for (const Tally& t : tallies) {
        out.push_back(t);
        while (out.size() >= 2) {
            Tally& a = out[out.size() - 2];
            const Tally& b = out.back();
            const double wa = labelWidth(tallyText(a, sets));
            const double wb = labelWidth(tallyText(b, sets));
            if (labelCentre(a, wa) + wa / 2 <= labelCentre(b, wb) - wb / 2)
                break;
            a.x1 = b.x1;
            for (size_t k = 0; k < 3; ++k)
                a.n[k] += b.n[k];
            out.pop_back();
        }
    }
    return out;
}

// Where a set's label goes: its row, and whether it stands left of its mark.
struct Placed {
    const SetRun* set;
    double sx;
    size_t row;
    bool left;
    std::string label;
};

// The width a label of 10 px takes at most.
double textWidth(const std::string& text) {
    size_t chars = 0;
    for (char c : text)
        chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return 6.2 * static_cast<double>(chars) + 8;
}

size_t outcomeIndex(const SetRun& set) {
    return set.outcome == Kind::SetConfirmed ? 0 : set.outcome == Kind::SetGivenUp ? 1 : 2;
}

}  // namespace

// The drawing: the bins, where they go on the page, and the SVG text being written.
struct Picture {
    const Night::State& m;
    const Summary& s;
    std::string o;
    uint64_t gapUs;
    size_t used;  // bins that hold the capture

    Picture(const Night::State& state, const Summary& summary) : m(state), s(summary) {
        const uint64_t cycle = m.cycles ? m.cycleSum / m.cycles : 2000000;
        gapUs = std::max<uint64_t>(1000000, 4 * cycle);
        used = std::min<size_t>(kBins, (m.last - m.t0) / m.widthUs + 1);
    }
    double x(uint64_t t) const {
        const double span = std::max<double>(1, static_cast<double>(m.last - m.t0));
        return kLeft + kPlot * static_cast<double>(std::min(t, m.last) - m.t0) / span;
    }
    uint64_t centre(size_t i) const {
        return std::min(m.last, m.t0 + i * m.widthUs + m.widthUs / 2);
    }
    void text(double tx, double ty, const std::string& t, const char* extra = "") {
        o += "<text x=\"" + f1(tx) + "\" y=\"" + f1(ty) + "\"" + extra + ">" + esc(t) + "</text>\n";
    }
    std::string seriesLabel(size_t series, bool increase) const;
    std::string path(size_t series, const ValueAxis& y, float offset, bool steps) const;
    size_t averaged(const std::vector<size_t>& series, size_t k) const;
    void panel(const std::string& title, const std::vector<size_t>& series, double top,
               double height, bool increase);
    void legend(double top, size_t row, const char* colour, const std::string& label, bool dashed,
                bool faint = false);
    void timeAxis(double top, double bottom);
    void lanes(double top);
    void stateLane(double top, const char* label, bool lost);
    void restarts(double top);
    void countLane(double top, const char* label, int what, const char* colour, uint64_t minorUs);
    void tallyLabels(const std::vector<Tally>& tallies, double y, const char* colour);
    void setLane(double top, double panelTop, double panelBottom);
    bool labelSets(double top, double panelTop, double panelBottom);
    void markSets(double top);
    void setList(double top);
    size_t setListRows() const;
    void title();
    void legendRow(double top, const char* c1, const char* l1, const char* c2, const char* l2);
    void otherSetpoints(double top);
    std::string setLabel(const SetRun& set) const;
};

// A series as a path: per bin its least and greatest value (a set-point: a step where it
// changes), broken where no valid reply came for longer than a few cycles.
std::string Picture::path(size_t series, const ValueAxis& y, float offset, bool steps) const {
    std::string d;
    const Bin* prev = nullptr;
    float lastV = 0;
    for (size_t i = 0; i < used; ++i) {
        const Bin& b = m.bins[i];
        if (b.replies == 0)
            continue;
        const std::string px = f1(x(centre(i)));
        const float lo = b.lo[series] - offset;
        const float hi = b.hi[series] - offset;
        const bool joined = prev != nullptr && b.firstReply - prev->lastReply <= gapUs;
        if (!joined)
            d += "M" + px + "," + f1(y(hi)) + "h1";
        else if (steps && hi == lastV)
            d += "H" + px;
        else if (steps)
            d += "H" + px + "V" + f1(y(hi));
        else
            d += "L" + px + "," + f1(y(hi));
        if (!steps && lo != hi)
            d += "V" + f1(y(lo));
        prev = &b;
        lastV = hi;
    }
    return d;
}

void Picture::legend(double top, size_t row, const char* colour, const std::string& label,
                     bool dashed, bool faint) {
    const double ly = top + 10 + 14 * static_cast<double>(row);
    o += "<line x1=\"" + f1(kLegend) + "\" x2=\"" + f1(kLegend + 18) + "\" y1=\"" + f1(ly - 4) +
         "\" y2=\"" + f1(ly - 4) + "\" stroke=\"" + colour + "\" stroke-width=\"2\"" +
         (dashed ? " stroke-dasharray=\"5,3\"" : "") + (faint ? kFaint : "") + "/>\n";
    text(kLegend + 24, ly, label);
}

// The place in `series` of the input that series[k] is the average of ("Average RH" of "RH");
// series.size() when it is none or that input is not in the panel.
size_t Picture::averaged(const std::vector<size_t>& series, size_t k) const {
    static const std::string kAverage = "Average ";
    if (series[k] >= points::kInputs)
        return series.size();
    const std::string label = points::input(static_cast<int>(series[k])).label;
    if (label.compare(0, kAverage.size(), kAverage) != 0)
        return series.size();
    for (size_t j = 0; j < series.size(); ++j) {
        if (series[j] < points::kInputs &&
            label.compare(kAverage.size(), std::string::npos,
                          points::input(static_cast<int>(series[j])).label) == 0)
            return j;
    }
    return series.size();
}

// A panel of values at `top`: its frame, value grid, a line per series (set-points dashed, as
// steps, with their name at the line's end) and the legend; `increase`: each input as its
// increase since the capture's first reply.
void Picture::panel(const std::string& title, const std::vector<size_t>& series, double top,
                    double height, bool increase) {
    double lo = 1e30, hi = -1e30;
    for (size_t i = 0; i < used; ++i) {
        for (size_t k = 0; k < series.size() && m.bins[i].replies > 0; ++k) {
            const float off = increase ? m.first[series[k]] : 0;
            lo = std::min<double>(lo, m.bins[i].lo[series[k]] - off);
            hi = std::max<double>(hi, m.bins[i].hi[series[k]] - off);
        }
    }
    if (lo > hi)
        lo = hi = 0;
    ValueAxis y(lo, hi, top, height);
    if (increase && lo >= 0)
        y.lo = 0;  // a counter's increase: from zero, never below
    text(kLeft, top - 8, title, " font-weight=\"bold\" font-size=\"13\"");
    o += "<rect x=\"" + f1(kLeft) + "\" y=\"" + f1(top) + "\" width=\"" + f1(kPlot) +
         "\" height=\"" + f1(height) + "\" fill=\"none\" stroke=\"#888\"/>\n";
    for (double v = y.lo; v <= y.hi + y.step / 2; v += y.step) {
        o += "<line x1=\"" + f1(kLeft) + "\" x2=\"" + f1(kLeft + kPlot) + "\" y1=\"" + f1(y(v)) +
             "\" y2=\"" + f1(y(v)) + "\" stroke=\"#e4e4e4\"/>\n";
        text(kLeft - 6, y(v) + 4, (increase && v > 0 ? "+" : "") + tick(v), " text-anchor=\"end\"");
    }
    // An average takes the colour of the value it averages, drawn faint under it, so that a
    // panel of eight temperatures reads as four.
    std::vector<size_t> of(series.size());
    for (size_t k = 0; k < series.size(); ++k)
        of[k] = averaged(series, k);
    std::vector<const char*> colours(series.size());
    size_t next = 0;
    for (size_t k = 0; k < series.size(); ++k) {
        if (of[k] == series.size())
            colours[k] = kColours[next++ % (sizeof kColours / sizeof kColours[0])];
    }
    for (size_t k = 0; k < series.size(); ++k) {
        const size_t sr = series[k];
        const bool setpoint = sr >= points::kInputs;
        const bool faint = of[k] < series.size();
        if (faint)
            colours[k] = colours[of[k]];
        const float off = increase ? m.first[sr] : 0;
        o += "<path fill=\"none\" stroke=\"" + std::string(colours[k]) + "\" stroke-width=\"" +
             (setpoint ? "1.6\" stroke-dasharray=\"6,3\"" : "1.3\"") + (faint ? kFaint : "") +
             " d=\"" + path(sr, y, off, setpoint) + "\"/>\n";
        legend(top, k, colours[k], seriesLabel(sr, increase), setpoint, faint);
    }
}

// The label of a series in its legend: its name, its unit; a set-point's last value; an input
// drawn as its increase, from what to what.
std::string Picture::seriesLabel(size_t sr, bool increase) const {
    float lastHi = 0;
    for (size_t i = used; i-- > 0;) {
        if (m.bins[i].replies > 0) {
            lastHi = m.bins[i].hi[sr];
            break;
        }
    }
    const auto value = [](float v) { return std::to_string(static_cast<long>(std::lround(v))); };
    if (sr >= points::kInputs) {
        const points::Point p = points::setpoint(static_cast<int>(sr - points::kInputs));
        return std::string("set-point ") + p.label + ": " + value(lastHi) + " " + unitText(p.unit) +
               " at the end";
    }
    const points::Point p = points::input(static_cast<int>(sr));
    if (increase)
        return std::string(p.label) + " +" + value(lastHi - m.first[sr]) + " h (" +
               value(m.first[sr]) + " \u2192 " + value(lastHi) + ")";
    return p.label;
}

// The wall-clock axis under the strip, its grid over every panel from `top`.
void Picture::timeAxis(double top, double bottom) {
    const Ticks t = ticksFor(m.last - m.t0);
    const uint64_t from = s.wallUs + m.t0;
    const uint64_t to = s.wallUs + m.last;
    const uint64_t minorUs = t.minor * 1000000;
    // The date goes under the first label and under each midnight; the first gives way to a
    // midnight close after it (the title has both dates).
    std::string lastDay;
    double lastDayX = -1000;
    const uint64_t midnight = (from / 86400000000ull + 1) * 86400000000ull;
    if (midnight <= to && x(midnight - s.wallUs) - kLeft < 110)
        lastDay = clock(from, Form::Day);
    for (uint64_t w = (from + minorUs - 1) / minorUs * minorUs; w <= to; w += minorUs) {
        const double tx = x(w - s.wallUs);
        const bool major = (w / 1000000) % t.major == 0;
        o += "<line x1=\"" + f1(tx) + "\" x2=\"" + f1(tx) + "\" y1=\"" +
             f1(major ? top : bottom - 4) + "\" y2=\"" + f1(bottom + (major ? 6 : 3)) +
             "\" stroke=\"" + (major ? "#ccc" : "#999") + "\"/>\n";
        if (!major)
            continue;
        text(tx, bottom + 18, clock(w, t.major % 60 ? Form::Second : Form::Minute),
             " text-anchor=\"middle\"");
        // The date under the first label and under each midnight, where they do not meet.
        const std::string day = clock(w, Form::Day);
        if (day != lastDay && tx - lastDayX > 110) {
            text(tx, bottom + 32, day, " text-anchor=\"middle\" fill=\"#555\"");
            lastDayX = tx;
        }
        lastDay = day;
    }
    text(kLeft + kPlot, bottom + 50,
         "time (UTC); ticks every " + duration(t.minor * 1000000) + ", labels every " +
             duration(t.major * 1000000) + "; lines break where no valid reply came for " +
             duration(gapUs) + " or more",
         " text-anchor=\"end\" fill=\"#555\"");
}

// The controller online (green) or offline (red), or the port lost (dark), bin by bin.
void Picture::stateLane(double top, const char* label, bool lost) {
    text(kLeft - 6, top + 14, label, " text-anchor=\"end\"");
    int carried = lost ? 0 : -1;
    int runState = -2;
    size_t runStart = 0;
    auto close = [&](size_t end) {
        static const char* const kFill[] = {"#eee", "#d62728", "#2ca02c"};
        const char* fill = lost ? (runState == 1 ? "#333" : "#f4f4f4") : kFill[runState + 1];
        const double x0 = x(m.t0 + runStart * m.widthUs);
        const double x1 = x(m.t0 + end * m.widthUs);
        o += "<rect x=\"" + f1(x0) + "\" y=\"" + f1(top + 3) + "\" width=\"" +
             f1(std::max(1.0, x1 - x0)) + "\" height=\"" + f1(kLane - 6) + "\" fill=\"" + fill +
             "\"/>\n";
    };
    for (size_t i = 0; i < used; ++i) {
        const Bin& b = m.bins[i];
        int state = carried;
        if (b.touched) {
            state = lost ? (b.sawLost || b.lost) : (b.sawOffline ? 0 : b.online);
            carried = lost ? b.lost : b.online;
        }
        if (state != runState) {
            if (runState != -2)
                close(i);
            runState = state;
            runStart = i;
        }
    }
    if (runState != -2)
        close(used);
}

// The runs of the daemon over the two state lanes: grey where the capture has nothing (from the
// last record of a run to the next one's start: the daemon stopped, or its capture), a black
// mark at each restart; one mark per pixel column.
void Picture::restarts(double top) {
    if (s.runs.size() < 2)
        return;
    double lastX = -1;
    for (size_t i = 1; i < s.runs.size(); ++i) {
        const double x0 = x(s.runs[i - 1].toUs);
        const double x1 = x(s.runs[i].fromUs);
        if (x1 - lastX < 1)
            continue;
        lastX = x1;
        o += "<rect x=\"" + f1(x0) + "\" y=\"" + f1(top + 3) + "\" width=\"" +
             f1(std::max(1.0, x1 - x0)) + "\" height=\"" + f1(2 * kLane - 6) +
             "\" fill=\"#bbb\"/>\n<line x1=\"" + f1(x1) + "\" x2=\"" + f1(x1) + "\" y1=\"" +
             f1(top) + "\" y2=\"" + f1(top + 2 * kLane) +
             "\" stroke=\"#000\" stroke-width=\"2\"><title>" +
             (s.runs[i].resumed ? "a capture begun on the running daemon at "
                                : "the daemon started again at ") +
             clock(s.wallUs + s.runs[i].fromUs, Form::Stamp) + " UTC</title></line>\n";
    }
    o += "<rect x=\"" + f1(kLegend + 160) + "\" y=\"" + f1(top + 5) +
         "\" width=\"18\" height=\"10\" fill=\"#bbb\"/>\n";
    text(kLegend + 184, top + 14, "not captured");
    o += "<line x1=\"" + f1(kLegend + 174) + "\" x2=\"" + f1(kLegend + 174) + "\" y1=\"" +
         f1(top + kLane + 3) + "\" y2=\"" + f1(top + 2 * kLane - 3) +
         "\" stroke=\"#000\" stroke-width=\"2\"/>\n";
    text(kLegend + 184, top + kLane + 14, "restart");
}

// Frames the line did not take, invalid frames (replies and rejected frame starts) or records
// the capture dropped: a bar where they came (per bin, its height by the count), and their
// number per tick interval over a thin line that spans the interval.
void Picture::countLane(double top, const char* label, int what, const char* colour,
                        uint64_t minorUs) {
    text(kLeft - 6, top + 14, label, " text-anchor=\"end\"");
    const uint64_t firstTick = (s.wallUs + m.t0) / minorUs * minorUs;
    std::vector<uint64_t> counts((s.wallUs + m.last - firstTick) / minorUs + 1, 0);
    uint64_t most = 1;
    for (size_t i = 0; i < used; ++i)
        most = std::max(most, m.bins[i].counts[what]);
    for (size_t i = 0; i < used; ++i) {
        const uint64_t c = m.bins[i].counts[what];
        if (c == 0)
            continue;
        counts[(s.wallUs + m.bins[i].lastAt[what] - firstTick) / minorUs] += c;
        const double x0 = x(m.t0 + i * m.widthUs);
        const double h =
            3 + 6.0 * std::log1p(static_cast<double>(c)) / std::log1p(static_cast<double>(most));
        o += "<rect x=\"" + f1(x0) + "\" y=\"" + f1(top + kLane - h) + "\" width=\"" +
             f1(std::max(2.0, x(m.t0 + (i + 1) * m.widthUs) - x0)) + "\" height=\"" + f1(h) +
             "\" fill=\"" + colour + "\"/>\n";
    }
    std::vector<Tally> tallies;
    for (size_t k = 0; k < counts.size(); ++k) {
        if (counts[k] == 0)
            continue;
        // The first interval may begin before the capture's t = 0.
        const uint64_t from = firstTick + k * minorUs;
        Tally t;
        t.x0 = x(std::max(from, s.wallUs + m.t0) - s.wallUs) + 1;
        t.x1 = x(from + minorUs - s.wallUs) - 1;
        t.n[0] = counts[k];
        tallies.push_back(t);
    }
    tallyLabels(tallies, top + 9, colour);
}

// Counts over their intervals, each label over a thin line that spans its interval; where two
// labels would meet, their intervals are counted together.
void Picture::tallyLabels(const std::vector<Tally>& tallies, double y, const char* colour) {
    const bool sets = colour == nullptr;
    for (const Tally& g : grouped(tallies, sets)) {
        const std::string label = tallyText(g, sets);
        if (g.x1 - g.x0 > 2) {
            o += "<line x1=\"" + f1(g.x0) + "\" x2=\"" + f1(g.x1) + "\" y1=\"" + f1(y + 2) +
                 "\" y2=\"" + f1(y + 2) + "\" stroke=\"" + (sets ? "#555" : colour) +
                 "\" opacity=\"0.35\"/>\n";
        }
        o += "<text x=\"" + f1(labelCentre(g, labelWidth(label))) + "\" y=\"" + f1(y) +
             "\" text-anchor=\"middle\" font-size=\"9\">";
        if (!sets)
            o += label;
        for (size_t k = 0, shown = 0; sets && k < 3; ++k) {
            if (g.n[k] == 0)
                continue;
            o += std::string("<tspan fill=\"") + kOutcomeColour[k] + "\">" + (shown++ ? "+" : "") +
                 shortCount(g.n[k]) + "</tspan>";
        }
        o += "</text>\n";
    }
}

// The sets: each with its label where all labels fit in three rows, else a mark per pixel
// column with its count. Each is drawn at its first set frame.
void Picture::setLane(double top, double panelTop, double panelBottom) {
    text(kLeft - 6, top + 14, "sets", " text-anchor=\"end\"");
    const char* const kWhat[] = {"confirmed", "given up", "no outcome"};
    double lx = kLegend;
    for (size_t k = 0; k < 3; ++k) {
        o += "<path d=\"M" + f1(lx + 5) + "," + f1(top + 5) + "l-4,8h8z\" fill=\"" +
             kOutcomeColour[k] + "\"/>\n";
        text(lx + 13, top + 13, kWhat[k]);
        lx += textWidth(kWhat[k]) + 14;
    }
    if (labelSets(top, panelTop, panelBottom)) {
        text(kLegend, top + 29, "at the first set frame; \u25cf the reply that ended it",
             " fill=\"#555\"");
        return;
    }
    markSets(top);
    text(kLegend, top + 29, "a mark per pixel column, at the first set frame;", " fill=\"#555\"");
    text(kLegend, top + 43, "its sets counted above it by outcome", " fill=\"#555\"");
}

// Each set labelled, in the first of three rows where its label meets no other, within the
// plot; false (nothing drawn) when one does not fit.
bool Picture::labelSets(double top, double panelTop, double panelBottom) {
    std::vector<Placed> placed;
    double rowEnd[3] = {0, 0, 0};  // where the last label of each row ends
    for (const SetRun& set : s.sets) {
        Placed p{&set, x(set.shownAt()), 0, false, setLabel(set)};
        const double width = textWidth(p.label);
        p.left = p.sx + width > kLeft + kPlot;
        const double from = p.left ? p.sx - width : p.sx - 5;
        while (p.row < 3 && rowEnd[p.row] > from)
            ++p.row;
        if (p.row == 3 || from < kLeft - 5)
            return false;
        rowEnd[p.row] = p.left ? p.sx + 5 : p.sx + width;
        placed.push_back(std::move(p));
    }
    for (const Placed& p : placed) {
        const char* colour = kOutcomeColour[outcomeIndex(*p.set)];
        const double y = top + 4 + 14 * static_cast<double>(p.row);
        o += "<line x1=\"" + f1(p.sx) + "\" x2=\"" + f1(p.sx) + "\" y1=\"" + f1(panelTop) +
             "\" y2=\"" + f1(panelBottom) + "\" stroke=\"" + colour +
             "\" stroke-dasharray=\"2,3\" opacity=\"0.7\"/>\n";
        o += "<path d=\"M" + f1(p.sx) + "," + f1(y) + "l-4,8h8z\" fill=\"" + colour + "\"><title>" +
             esc(p.label) + "</title></path>\n";
        if (p.set->ended != SetRun::kNever) {
            const double ex = x(p.set->ended);
            o += "<line x1=\"" + f1(p.sx) + "\" x2=\"" + f1(ex) + "\" y1=\"" + f1(y + 8) +
                 "\" y2=\"" + f1(y + 8) + "\" stroke=\"" + colour + "\"/>\n<circle cx=\"" + f1(ex) +
                 "\" cy=\"" + f1(y + 8) + "\" r=\"2\" fill=\"" + colour + "\"/>\n";
        }
        text(p.sx + (p.left ? -6 : 6), y + 8, p.label,
             p.left ? " text-anchor=\"end\" font-size=\"10\"" : " font-size=\"10\"");
    }
    return true;
}

// A mark per pixel column that holds sets: a bar, its parts coloured by outcome, its height by
// the count, and the counts above it.
void Picture::markSets(double top) {
    std::vector<Tally> columns(static_cast<size_t>(kPlot));
    for (const SetRun& set : s.sets) {
        const double c = std::floor(x(set.shownAt()) - kLeft);
        Tally& t = columns[static_cast<size_t>(std::clamp(c, 0.0, kPlot - 1))];
        ++t.n[outcomeIndex(set)];
    }
    uint64_t most = 1;
    for (const Tally& t : columns)
        most = std::max(most, t.total());
    std::vector<Tally> marked;
    const double span = static_cast<double>(m.last - m.t0);
    for (size_t c = 0; c < columns.size(); ++c) {
        Tally& t = columns[c];
        if (t.total() == 0)
            continue;
        t.x0 = t.x1 = kLeft + static_cast<double>(c) + 0.5;
        const double h = 6 + 16 * std::log1p(static_cast<double>(t.total())) /
                                 std::log1p(static_cast<double>(most));
        const auto at = [&](double col) {
            return clock(s.wallUs + m.t0 + static_cast<uint64_t>(span * col / kPlot), Form::Stamp);
        };
        o += "<g><title>" + std::to_string(t.total()) + " sets from " + at(c) + " to " + at(c + 1) +
             " UTC: " + std::to_string(t.n[0]) + " confirmed, " + std::to_string(t.n[1]) +
             " given up, " + std::to_string(t.n[2]) + " other</title>";
        double base = top + 42;
        for (size_t k = 0; k < 3; ++k) {
            const double part = h * static_cast<double>(t.n[k]) / static_cast<double>(t.total());
            if (part > 0)
                o += "<rect x=\"" + f1(t.x0 - 1) + "\" y=\"" + f1(base - part) +
                     "\" width=\"2\" height=\"" + f1(part) + "\" fill=\"" + kOutcomeColour[k] +
                     "\"/>";
            base -= part;
        }
        o += "</g>\n";
        marked.push_back(t);
    }
    tallyLabels(marked, top + 11, nullptr);
}

// "Fan Pull-in → 27 °C: confirmed".
std::string Picture::setLabel(const SetRun& set) const {
    std::string label = "parameter " + std::to_string(set.param);
    std::string unit;
    if (set.param >= 1 && set.param <= points::kSetpoints) {
        label = points::setpoint(set.param - 1).label;
        unit = unitText(points::setpoint(set.param - 1).unit);
    }
    return label + " \u2192 " + std::to_string(set.value) + (unit.empty() ? "" : " " + unit) +
           ": " + outcomeWords(set);
}

// Under the picture: the sets in three columns, each at its first set frame with its outcome
// at the reply that ended it, up to kListed; the text output lists them all.
void Picture::setList(double top) {
    text(kListLeft, top, "Sets, at the first set frame, with the reply that ended each:",
         " font-weight=\"bold\" font-size=\"13\"");
    const size_t shown = std::min(kListed, s.sets.size());
    const size_t rows = (shown + 2) / 3;
    for (size_t i = 0; i < shown; ++i) {
        const SetRun& set = s.sets[i];
        const double lx = kListLeft + 450 * static_cast<double>(i / rows);
        const double ly = top + 18 + 14 * static_cast<double>(i % rows);
        std::string line = clock(s.wallUs + set.shownAt(), Form::DayTime) + "  " + setLabel(set);
        if (set.ended != SetRun::kNever)
            line += " at " + clock(s.wallUs + set.ended, Form::Second);
        text(lx, ly, line,
             (std::string(" font-size=\"10\" fill=\"") + kOutcomeColour[outcomeIndex(set)] + "\"")
                 .c_str());
    }
    const uint64_t more = s.sets.size() - shown + s.setsNotListed;
    std::string last = s.sets.empty() ? "none in this capture" : "";
    if (more > 0)
        last = "and " + std::to_string(more) + " more: borl-decode's text output lists them all";
    if (!last.empty())
        text(kListLeft, top + 18 + 14 * static_cast<double>(rows), last, " fill=\"#333\"");
}

// The lines the list of sets takes.
size_t Picture::setListRows() const {
    const size_t shown = std::min(kListed, s.sets.size());
    return (shown + 2) / 3 + (s.sets.size() > shown || s.sets.empty() || s.setsNotListed ? 1 : 0);
}

// The title: the device, the span in wall-clock time, the totals.
void Picture::title() {
    std::string serial = "?";
    const size_t at = s.start.find("serial=");
    if (at != std::string::npos)
        serial = s.start.substr(at + 7, s.start.find(' ', at) - at - 7);
    text(kLeft, 24,
         "borl1d capture, device serial " + serial + ": " + clock(s.wallUs + m.t0, Form::Stamp) +
             " to " + clock(s.wallUs + m.last, Form::Stamp) + " UTC (" + duration(m.last - m.t0) +
             ")",
         " font-size=\"16\" font-weight=\"bold\"");
    const uint64_t invalid = s.invalid[0] + s.invalid[1] + s.invalid[2] + s.invalid[3];
    text(kLeft, 44,
         "polls " + count(s.polls) + " \u00b7 valid replies " + count(s.valid) +
             " \u00b7 invalid replies " + count(invalid) + " \u00b7 rejected frame starts " +
             count(s.rejectedStarts) + " \u00b7 timeouts " + count(s.timeouts) +
             " \u00b7 abandoned frames " + count(s.of(Kind::Abandoned)) + " \u00b7 port lost " +
             count(s.of(Kind::Lost)) + " \u00b7 offline " + count(s.of(Kind::Offline)) +
             " \u00b7 sets " + count(s.of(Kind::SetRecorded)) + " (confirmed " +
             count(s.of(Kind::SetConfirmed)) + ", given up " + count(s.of(Kind::SetGivenUp)) + ")" +
             (s.runs.size() > 1 ? " \u00b7 restarts " + count(s.runs.size() + s.runsNotListed - 1)
                                : ""));
    // What the capture does not hold, under the totals it makes short of the daemon's own.
    double y = 62;
    const char* const kGap = " fill=\"#a00000\" font-weight=\"bold\"";
    if (s.continues) {
        text(kLeft, y,
             "The capture continues a file that is gone: nothing before " +
                 clock(s.wallUs + m.t0, Form::Stamp) + " UTC is here.",
             kGap);
        y += 14;
    }
    if (s.droppedRecords > 0)
        text(kLeft, y,
             count(s.droppedRecords) + " records dropped by the daemon's capture, at " +
                 count(s.drops.size()) + (s.drops.size() == 1 ? " place" : " places") +
                 " (the strip below): the counts above are short of the daemon's own.",
             kGap);
}

// The state strip at `top`.
void Picture::lanes(double top) {
    const Ticks t = ticksFor(m.last - m.t0);
    text(kLeft, top - 8, "State of the line", " font-weight=\"bold\" font-size=\"13\"");
    stateLane(top, "controller", false);
    legendRow(top, "#2ca02c", "online", "#d62728", "offline");
    stateLane(top + kLane, "port", true);
    legendRow(top + kLane, "#333", "lost (until re-opened)", nullptr, nullptr);
    restarts(top);
    text(kLeft + 130, top - 8, "counts per " + duration(t.counted * 1000000) + " above the bars",
         " fill=\"#555\"");
    countLane(top + 2 * kLane, "line stalled", kStalled, "#ff7f0e", t.counted * 1000000);
    legendRow(top + 2 * kLane, "#ff7f0e", "frames the line did not take", nullptr, nullptr);
    countLane(top + 3 * kLane, "invalid frames", kInvalid, "#d62728", t.counted * 1000000);
    legendRow(top + 3 * kLane, "#d62728", "invalid replies, rejected frame starts", nullptr,
              nullptr);
    countLane(top + 4 * kLane, "capture", kDropped, "#6a3d9a", t.counted * 1000000);
    legendRow(top + 4 * kLane, "#6a3d9a", "records the daemon's capture dropped", nullptr, nullptr);
    if (!s.continues && s.droppedRecords == 0)
        text(kLeft + 6, top + 4 * kLane + 14, "whole: no record dropped",
             " fill=\"#777\" font-size=\"10\"");
    if (s.continues) {
        o += "<rect x=\"" + f1(kLeft) + "\" y=\"" + f1(top + 4 * kLane + 2) +
             "\" width=\"3\" height=\"" + f1(kLane - 4) + "\" fill=\"#a00000\"/>\n";
        text(kLeft + 6, top + 4 * kLane + 14, "\u25c0 nothing before here: earlier files gone",
             " fill=\"#a00000\" font-size=\"10\"");
    }
}

void Picture::legendRow(double top, const char* c1, const char* l1, const char* c2,
                        const char* l2) {
    o += "<rect x=\"" + f1(kLegend) + "\" y=\"" + f1(top + 5) +
         "\" width=\"18\" height=\"10\" fill=\"" + c1 + "\"/>\n";
    text(kLegend + 24, top + 14, l1);
    if (c2 == nullptr)
        return;
    o += "<rect x=\"" + f1(kLegend + 80) + "\" y=\"" + f1(top + 5) +
         "\" width=\"18\" height=\"10\" fill=\"" + c2 + "\"/>\n";
    text(kLegend + 104, top + 14, l2);
}

// The set-points in minutes and plain numbers, which rarely change: their range in words.
void Picture::otherSetpoints(double top) {
    std::string line = "Other set-points:";
    for (size_t i = 0; i < points::kSetpoints; ++i) {
        const points::Point p = points::setpoint(static_cast<int>(i));
        if (std::strcmp(p.unit, "deg C") == 0)
            continue;
        const size_t sr = points::kInputs + i;
        float lo = 0, hi = 0;
        bool any = false;
        for (size_t b = 0; b < used; ++b) {
            if (m.bins[b].replies == 0)
                continue;
            lo = any ? std::min(lo, m.bins[b].lo[sr]) : m.bins[b].lo[sr];
            hi = any ? std::max(hi, m.bins[b].hi[sr]) : m.bins[b].hi[sr];
            any = true;
        }
        if (!any)
            continue;
        line += std::string(" ") + p.label + " " + tick(lo) +
                (lo != hi ? "\u2013" + tick(hi) : "") + (*p.unit ? " " + unitText(p.unit) : "") +
                ";";
    }
    text(kLeft, top, line.substr(0, line.size() - 1), " fill=\"#333\"");
}

std::string Night::svg(const Summary& s) const {
    Picture p(*m, s);
    std::vector<size_t> temps, rh, hours;
    for (size_t i = 0; i < points::kInputs; ++i) {
        const std::string unit = points::input(static_cast<int>(i)).unit;
        (unit == "H" ? hours : unit == "deg C" ? temps : rh).push_back(i);
    }
    for (size_t i = 0; i < points::kSetpoints; ++i)
        if (std::strcmp(points::setpoint(static_cast<int>(i)).unit, "deg C") == 0)
            temps.push_back(points::kInputs + i);
    const double tempTop = 90 + (s.continues ? 14 : 0) + (s.droppedRecords > 0 ? 14 : 0),
                 rhTop = tempTop + 240, hoursTop = rhTop + 130, strip = hoursTop + 170;
    const double sets = strip + 5 * kLane, axis = sets + 54, list = axis + 98;
    const double height =
        m->started ? list + 18 + 14 * static_cast<double>(p.setListRows()) + 10 : axis + 84;
    p.o =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        "width=\"" +
        f1(kWidth) + "\" height=\"" + f1(height) +
        "\" font-family=\"sans-serif\" font-size=\"11\">\n<rect width=\"100%\" height=\"100%\" "
        "fill=\"white\"/>\n";
    p.title();
    if (m->started) {
        p.timeAxis(tempTop, axis);
        p.panel("Temperatures (\u00b0C) and their set-points (dashed)", temps, tempTop, 200, false);
        p.panel("Relative humidity (%)", rh, rhTop, 90, false);
        p.panel("Run-hour counters: hours counted since the capture began", hours, hoursTop, 130,
                true);
        p.lanes(strip);
        p.setLane(sets, tempTop, sets);
        p.otherSetpoints(axis + 70);
        p.setList(list);
    }
    p.o += "</svg>\n";
    return std::move(p.o);
}

}  // namespace borldecode
