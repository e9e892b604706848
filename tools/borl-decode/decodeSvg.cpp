// The capture drawn as a plain SVG, for a person: one panel per unit (hours, degrees, per cent,
// the rest), each point's values over time as a line, and below the panels a strip with the
// invalid frames, the silences and the sets on the same time axis.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "exchangeDecode.h"

namespace borldecode {

namespace {

constexpr double kWidth = 1100;
constexpr double kLeft = 70;
constexpr double kPlotWidth = 700;
constexpr double kPanelHeight = 190;
constexpr double kGap = 40;
constexpr double kStripHeight = 70;
constexpr uint64_t kSilenceUs = 3000000;  // a gap without a byte this long is marked

const char* const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};

std::string esc(const std::string& s) {
    std::string o;
    for (char c : s) {
        const char* entity = c == '&'   ? "&amp;"
                             : c == '<' ? "&lt;"
                             : c == '>' ? "&gt;"
                             : c == '"' ? "&quot;"
                                        : nullptr;
        if (entity)
            o += entity;
        else
            o += c;
    }
    return o;
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

struct Series {
    std::string label;
    std::vector<std::pair<uint64_t, float>> points;
};

struct Panel {
    std::string title;
    std::vector<Series> series;
};

// Which panel a point belongs to, by its unit.
int panelOf(const char* unit) {
    const std::string u(unit);
    if (u == "H")
        return 0;
    if (u == "deg C")
        return 1;
    if (u.empty())
        return 2;  // relative humidity (and the rotation set-point, a plain number)
    return 3;
}

// Where a time lands on the plots' horizontal axis.
struct TimeAxis {
    double duration;  // µs, at least 1
    double operator()(uint64_t t) const {
        return kLeft + kPlotWidth * static_cast<double>(t) / duration;
    }
};

// The colours of the events marked in the strip; other events are not marked.
const struct {
    exchangefile::Kind kind;
    const char* colour;
} kMarks[] = {
    {exchangefile::Kind::SetRecorded, "#1f77b4"},
    {exchangefile::Kind::SetConfirmed, "#2ca02c"},
    {exchangefile::Kind::SetGivenUp, "#ff7f0e"},
    {exchangefile::Kind::Lost, "#000"},
};

// One panel per unit, holding a series per input and per set-point with its values over time.
std::vector<Panel> panelsOf(const Decoder& d) {
    std::vector<Panel> panels = {{"hours (H)", {}},
                                 {"degrees (deg C)", {}},
                                 {"per cent (RH) and plain numbers", {}},
                                 {"minutes (Min)", {}}};
    // Where the series of each input, then of each set-point, is: its panel, its place there.
    std::vector<std::pair<size_t, size_t>> where;
    auto add = [&](const points::Info& p, const std::string& label) {
        const size_t panel = static_cast<size_t>(panelOf(p.unit));
        where.emplace_back(panel, panels[panel].series.size());
        panels[panel].series.push_back(Series{label, {}});
    };
    for (int i = 0; i < points::kInputs; ++i)
        add(points::input(i), points::input(i).label);
    for (int i = 0; i < points::kSetpoints; ++i)
        add(points::setpoint(i), std::string("set-point ") + points::setpoint(i).label);
    for (const Entry& e : d.entries) {
        for (size_t i = 0; e.hasValues && i < where.size(); ++i) {
            const size_t inputs = points::kInputs;
            const float v = i < inputs ? e.inputs[i] : e.setpoints[i - inputs];
            panels[where[i].first].series[where[i].second].points.emplace_back(e.t, v);
        }
    }
    return panels;
}

// A plot's title above it and its frame, `height` high at `top`.
void frame(std::ostream& o, const std::string& title, double top, double height) {
    o << "<text x=\"" << kLeft << "\" y=\"" << num(top - 6) << "\" font-weight=\"bold\">"
      << esc(title) << "</text>\n"
      << "<rect x=\"" << kLeft << "\" y=\"" << num(top) << "\" width=\"" << kPlotWidth
      << "\" height=\"" << height << "\" fill=\"none\" stroke=\"#999\"/>\n";
}

// A panel at `top`: its frame and value range, a line per series and the series' legend.
void drawPanel(std::ostream& o, const Panel& p, double top, const TimeAxis& x) {
    float lo = 0, hi = 1;
    bool any = false;
    for (const Series& s : p.series) {
        for (const auto& pt : s.points) {
            lo = any ? std::min(lo, pt.second) : pt.second;
            hi = any ? std::max(hi, pt.second) : pt.second;
            any = true;
        }
    }
    if (hi - lo < 1)
        hi = lo + 1;
    auto y = [&](float v) {
        return top + kPanelHeight - kPanelHeight * static_cast<double>(v - lo) / (hi - lo);
    };
    frame(o, p.title, top, kPanelHeight);
    o << "<text x=\"" << kLeft - 6 << "\" y=\"" << num(top + 10) << "\" text-anchor=\"end\">"
      << num(hi) << "</text>\n"
      << "<text x=\"" << kLeft - 6 << "\" y=\"" << num(top + kPanelHeight)
      << "\" text-anchor=\"end\">" << num(lo) << "</text>\n";
    double legend = top + 10;
    size_t colour = 0;
    for (const Series& s : p.series) {
        const char* c = kColours[colour++ % (sizeof kColours / sizeof kColours[0])];
        if (!s.points.empty()) {
            o << "<polyline fill=\"none\" stroke=\"" << c << "\" stroke-width=\"1.2\" points=\"";
            for (const auto& pt : s.points)
                o << num(x(pt.first)) << "," << num(y(pt.second)) << " ";
            o << "\"/>\n";
        }
        o << "<text x=\"" << kLeft + kPlotWidth + 12 << "\" y=\"" << num(legend) << "\" fill=\""
          << c << "\">" << esc(s.label) << "</text>\n";
        legend += 13;
    }
}

// The marks strip at `top`: silences (grey), invalid frames (red), sets (blue recorded, green
// confirmed, orange given up), the port lost (black).
void drawMarks(std::ostream& o, const Decoder& d, double top, const TimeAxis& x) {
    frame(o,
          "marks: silence (grey), invalid frame (red), set recorded (blue), confirmed (green), "
          "given up (orange), port lost (black)",
          top, kStripHeight);
    uint64_t lastHeard = 0;
    auto silence = [&](uint64_t from, uint64_t to) {
        if (to - from >= kSilenceUs) {
            o << "<rect x=\"" << num(x(from)) << "\" y=\"" << num(top) << "\" width=\""
              << num(x(to) - x(from)) << "\" height=\"" << kStripHeight
              << "\" fill=\"#ccc\" opacity=\"0.7\"/>\n";
        }
    };
    for (const Entry& e : d.entries) {
        if (!e.tx) {
            silence(lastHeard, e.t);
            lastHeard = e.t;
        }
        if (!e.valid) {
            o << "<line x1=\"" << num(x(e.t)) << "\" x2=\"" << num(x(e.t)) << "\" y1=\""
              << num(top + 2) << "\" y2=\"" << num(top + 25)
              << "\" stroke=\"#d62728\" stroke-width=\"1.5\"><title>" << esc(e.reason)
              << "</title></line>\n";
        }
    }
    silence(lastHeard, d.summary.durationUs);
    const double base = top + kStripHeight - 4;
    for (const Event& ev : d.events) {
        for (const auto& mark : kMarks) {
            if (mark.kind != ev.kind)
                continue;
            const double cx = x(ev.t);
            o << "<path d=\"M" << num(cx) << "," << num(base - 18) << " L" << num(cx - 5) << ","
              << num(base) << " L" << num(cx + 5) << "," << num(base) << " Z\" fill=\""
              << mark.colour << "\"><title>" << exchangefile::kindName(ev.kind) << " " << ev.param
              << " " << ev.value << "</title></path>\n";
        }
    }
}

}  // namespace

std::string svg(const Decoder& d, const std::string& title) {
    const std::vector<Panel> panels = panelsOf(d);
    const TimeAxis x{std::max<double>(1.0, static_cast<double>(d.summary.durationUs))};
    const double height = 50 + panels.size() * (kPanelHeight + kGap) + kStripHeight + 40;
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
      << num(height) << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << kLeft << "\" y=\"24\" font-size=\"15\">" << esc(title) << "</text>\n";
    double top = 50;
    for (const Panel& p : panels) {
        drawPanel(o, p, top, x);
        top += kPanelHeight + kGap;
    }
    drawMarks(o, d, top, x);
    // The time axis.
    const double axis = top + kStripHeight + 16;
    for (int i = 0; i <= 10; ++i) {
        const double t = x.duration * i / 10;
        o << "<text x=\"" << num(kLeft + kPlotWidth * i / 10) << "\" y=\"" << num(axis)
          << "\" text-anchor=\"middle\">" << num(t / 1e6) << " s</text>\n";
    }
    o << "</svg>\n";
    return o.str();
}

}  // namespace borldecode
