// Wire codec: a message is one JSON object on one line,
//   {"msgType": <0..255>, "objects": [{"objType": <n>, <fields>...}, ...]}
// Field names are the accessor names without get/set, first letter lower case; each type's
// fields, in wire order, come from its table in cObjectFields.h. The encoder writes every field
// of an object's type; the decoder checks types and ranges field by field and rejects the whole
// message on the first fault, so that nothing half-read or defaulted from a missing required
// value ever reaches a handler.
//
// The writer appends the text straight to a string, without building a JSON tree, but writes
// the bytes the JSON library would dump for the same message. The decoder reads through the
// JSON parser.
#include "cObjectCodec.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "cObject.h"
#include "cObjectFields.h"
#include "cObjectList.h"

namespace vexaobj {

namespace {

using json = nlohmann::json;

// ---------------------------------------------------------------------------------------------
// Writing: what the JSON library's dump() writes for the same values, in the same key order.

// Reads a decimal in to_chars' scientific form as printf's reader would. A significand of at
// most 9 digits times a power of ten up to 10^22 is one exact multiplication or division of
// two exact doubles, which rounds as reading the decimal does; the rest goes to from_chars.
double readDecimal(const char* first, const char* last) {
    const char* p = first;
    const bool negative = *p == '-';
    p += negative;
    uint64_t digits = 0;
    int fraction = 0;  // digits after the point
    bool point = false;
    for (; p < last && *p != 'e'; ++p) {
        if (*p == '.') {
            point = true;
        } else {
            digits = digits * 10 + static_cast<uint64_t>(*p - '0');
            fraction += point;
        }
    }
    int exponent = 0;
    if (p < last)
        std::from_chars(p + 1 + (p[1] == '+'), last, exponent);
    exponent -= fraction;
    static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (digits < (1ull << 53) && exponent >= -22 && exponent <= 22) {
        double d = static_cast<double>(digits);
        d = exponent < 0 ? d / kPow10[-exponent] : d * kPow10[exponent];
        return negative ? -d : d;
    }
    double d = 0.0;
    if (std::from_chars(first, last, d).ec != std::errc())
        d = std::strtod(std::string(first, last).c_str(), nullptr);
    return d;
}

// A float as the wire carries it, as a double: the first of printf's "%g" texts at precisions
// 6 to 9 that reads back as the float, so that "27.1" is written rather than
// "27.100000381469727" (found here without printf, strtof and strtod). For a normal float that
// text is the shortest decimal that reads back: a float's rounding interval holds at most one
// decimal of 6 significant digits, and at 7 to 9 digits printf's correctly rounded choice is the
// nearest one in the interval, as is to_chars'. Subnormal floats have wider intervals; for them the
// printf search is repeated with to_chars at each precision, which rounds as printf does.
double wireDouble(float f) {
    char buf[48];
    std::to_chars_result text{};
    if (std::fpclassify(f) != FP_SUBNORMAL) {
        text = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
    } else {
        for (int prec = 6; prec <= 9; ++prec) {
            text = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific, prec - 1);
            float back = 0.0f;
            auto r = std::from_chars(buf, text.ptr, back);
            // A standard library that reports underflow here: read it as printf's reader does.
            if (r.ec != std::errc())
                back = std::strtof(std::string(buf, text.ptr).c_str(), nullptr);
            if (back == f)
                break;
        }
    }
    return readDecimal(buf, text.ptr);
}

// Room for an object's keys, punctuation and numbers before, between and after its texts (the
// widest run, a device's seven numbers after its label, takes under 200 bytes).
constexpr size_t kFieldsRoom = 320;

// Writes a line through a pointer into a buffer of its own, which goes into the string in one
// append when full and at the end: room is made once per object for the most the object can
// take. (Appending piece by piece costs more than the formatting itself.)
class LineWriter {
public:
    explicit LineWriter(std::string& out) : mOut(out) {}

    // Makes room for `n` more bytes, at most kRoom.
    void reserve(size_t n) {
        if (static_cast<size_t>(mBuf + kRoom - mP) < n)
            flush();
    }

    template <size_t N>
    void raw(const char (&text)[N]) {
        std::memcpy(mP, text, N - 1);
        mP += N - 1;
    }
    void put(char c) { *mP++ = c; }
    // `,"name":` before a field's value: one copy of a fixed size, within the room made.
    void key(const Key& key) {
        std::memcpy(mP, key.wire, sizeof key.wire);
        mP += key.wireLength;
    }
    // Most numbers on the line are single digits (counts, states, port numbers); to_chars,
    // which the compiler leaves out of line where a message has many numbers, only for the rest.
    [[gnu::always_inline]] void u32(uint32_t v) {
        if (v < 10)
            put(static_cast<char>('0' + v));
        else
            mP = std::to_chars(mP, mP + 10, v).ptr;
    }

    // A field of an object, after its key, for writeFields: inlined into the walk of the table.
    [[gnu::always_inline]] void u32(const Key& k, uint32_t v) {
        key(k);
        u32(v);
    }
    [[gnu::always_inline]] void f32(const Key& k, float v) {
        key(k);
        f32(v);
    }
    [[gnu::always_inline]] void text(const Key& k, const char* v) {
        key(k);
        text(v);
    }

    // As dump() prints wireDouble's value: "null" when not finite (no JSON form; every receiver
    // rejects it), otherwise the JSON library's own double formatter (its output is not always the
    // shortest text, e.g. 1.0000637000000001 for the float 1.0000637, so no other formatter will
    // do). Takes at most kFloatRoom bytes.
    void f32(float f) {
        if (!std::isfinite(f)) {
            raw("null");
        } else if (f == 0.0f) {
            if (std::signbit(f))
                put('-');
            raw("0.0");
        } else if (std::fabs(f) < 1e7f && f == std::trunc(f)) {
            // A whole number below 10^7 is its own shortest decimal (its neighbours are at
            // least 1 away), and the double formatter writes its digits and ".0" (checked for
            // every one of them).
            mP = std::to_chars(mP, mP + 12, static_cast<int32_t>(f)).ptr;
            raw(".0");
        } else {
            mP = nlohmann::detail::to_chars(mP, mP + kFloatRoom, wireDouble(f));
        }
    }
    static constexpr size_t kFloatRoom = 32;

    // Text as dump() writes it with ensure_ascii off and error_handler_t::replace: quote and
    // backslash escaped, control characters as \b \t \n \f \r or \u00xx, well-formed UTF-8 as
    // it is, and each maximal ill-formed subsequence as one U+FFFD (the byte that broke a
    // sequence is read again as the start of the next). Makes room as it goes.
    void text(const char* text) {
        const auto* p = reinterpret_cast<const unsigned char*>(text);
        reserve(1);
        put('"');
        const unsigned char* sliceEnd = p;
        for (;;) {
            if (p >= sliceEnd) {
                // Room for the next slice of text at its worst, and for a sequence that
                // begins in it and ends after it.
                reserve(6 * kTextSlice + 6);
                sliceEnd = p + kTextSlice;
            }
            const unsigned char c = *p;
            if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
                *mP++ = static_cast<char>(c);
                ++p;
            } else if (c == 0) {
                break;
            } else if (c < 0x80) {
                escape(c);
                ++p;
            } else {
                p += sequence(p);
            }
        }
        reserve(1 + kFieldsRoom);  // and for the fields after the text
        put('"');
    }

    // Ends the line: the string holds what was written after its former end.
    void flush() {
        mOut.append(mBuf, static_cast<size_t>(mP - mBuf));
        mP = mBuf;
    }

private:
    // A quote, a backslash or a control character, escaped.
    void escape(unsigned char c) {
        static const char kHex[] = "0123456789abcdef";
        // The escape letter of each control character; 'u' for \u00xx.
        static const char kShortEscape[] = "uuuuuuuubtnufruuuuuuuuuuuuuuuuuu";
        put('\\');
        if (c == '"' || c == '\\') {
            put(static_cast<char>(c));
        } else if (kShortEscape[c] != 'u') {
            put(kShortEscape[c]);
        } else {
            raw("u00");
            put(kHex[c >> 4]);
            put(kHex[c & 0xF]);
        }
    }
    // A multi-byte sequence starting at `p`, as it is when well-formed, otherwise as U+FFFD: the
    // bytes taken. Its continuation bytes, and the range of the first of them, follow from the
    // lead byte (this excludes overlong forms, surrogates and code points above U+10FFFF); a
    // byte that broke the sequence is not taken, so it is read again as the start of the next.
    size_t sequence(const unsigned char* p) {
        const unsigned char c = *p;
        size_t follow = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            follow = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            raw(kReplacement);  // a byte that cannot start a sequence
            return 1;
        }
        size_t i = 1;
        while (i <= follow && p[i] >= (i == 1 ? lo : 0x80) && p[i] <= (i == 1 ? hi : 0xBF))
            ++i;
        if (i > follow) {
            std::memcpy(mP, p, follow + 1);
            mP += follow + 1;
        } else {
            raw(kReplacement);
        }
        return i;
    }

    // Text is written in slices of this many bytes; each byte takes at most 6 (\u00xx).
    static constexpr size_t kTextSlice = 64;
    static constexpr size_t kRoom = 1024;

    // U+FFFD in UTF-8.
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";

    std::string& mOut;
    char mBuf[kRoom];
    char* mP = mBuf;  // next byte to write
};

// Writes the object: its type number, then the fields of its type. An object whose class does
// not match its type number (a bare cObject made with a known number) has its type number only.
void putObject(LineWriter& w, const cObject& obj) {
    w.reserve(kFieldsRoom);
    w.raw("{\"objType\":");
    w.u32(static_cast<uint32_t>(obj.getType()));
    writeFields(obj, w);
    w.put('}');
}

// ---------------------------------------------------------------------------------------------
// Decoding: one line read through the JSON parser, its objects field by field from their
// tables.

// Deepest nesting a message needs is 4 (message, objects array, object, field value); deeper
// values can only sit under unknown keys. The bound keeps hostile input from costing memory
// and time in proportion to its nesting.
constexpr int kMaxDepth = 32;

// Thrown inside the decoder only; decodeMessage turns it into a false result and a reason.
struct Reject {
    std::string reason;
};

// Reads the fields of one incoming object, checking each known field's JSON type and range.
class FieldReader {
public:
    FieldReader(const json& obj, size_t index, bool setMessage)
        : mObj(obj), mIndex(index), mSet(setMessage) {}

    // Unsigned 32-bit; -1 stands for the wildcard 4294967295. Absent and optional: 0.
    uint32_t u32(const char* key, Need need) const { return whole(key, required(need), true); }
    // The object's type number: unsigned 32-bit, required, no wildcard.
    uint32_t type() const { return whole("objType", true, false); }

    // A JSON number (integers accepted) that fits a finite float. Absent and optional: 0.
    float f32(const char* key, Need need) const {
        const json* v = find(key, required(need));
        if (!v)
            return 0.0f;
        if (!v->is_number())
            fail(key, "is not a number");
        double d = v->get<double>();
        // Anything below FLT_MAX plus half its unit in the last place rounds to a finite float
        // (the shortest text of FLT_MAX itself reads back a little above FLT_MAX).
        const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
        if (!std::isfinite(d) || std::fabs(d) >= limit)
            fail(key, "is out of range");
        return static_cast<float>(d);
    }

    // Text; never required. Absent: empty.
    std::string text(const char* key) const {
        const json* v = find(key, false);
        if (!v)
            return std::string();
        if (!v->is_string())
            fail(key, "is not a string");
        return v->get<std::string>();
    }

private:
    uint32_t whole(const char* key, bool required, bool wildcard) const {
        const json* v = find(key, required);
        if (!v)
            return 0;
        if (!v->is_number_integer())
            fail(key, "is not an integer");
        if (wildcard && !v->is_number_unsigned() && v->get<int64_t>() == -1)
            return cObject::WILDCARD;
        if (!v->is_number_unsigned() || v->get<uint64_t>() > 0xFFFFFFFFull)
            fail(key, "is out of range");
        return v->get<uint32_t>();
    }

    bool required(Need need) const {
        return need == Need::Required || (need == Need::InSet && mSet);
    }

    const json* find(const char* key, bool required) const {
        auto it = mObj.find(key);
        if (it == mObj.end()) {
            if (required)
                fail(key, "is missing");
            return nullptr;
        }
        return &*it;
    }

    [[noreturn]] void fail(const char* key, const char* what) const {
        throw Reject{"objects[" + std::to_string(mIndex) + "]: field \"" + key + "\" " + what};
    }

    const json& mObj;
    size_t mIndex;
    bool mSet;
};

json parseLine(const std::string& line) {
    bool tooDeep = false;
    json::parser_callback_t limitDepth = [&tooDeep](int depth, json::parse_event_t, json&) {
        tooDeep = tooDeep || depth > kMaxDepth;
        return depth <= kMaxDepth;
    };
    json j;
    try {
        j = json::parse(line, limitDepth);
    } catch (const json::parse_error& e) {
        throw Reject{std::string("not JSON: ") + e.what()};
    }
    if (tooDeep)
        throw Reject{"nested deeper than " + std::to_string(kMaxDepth) + " levels"};
    return j;
}
}  // namespace

void appendMessage(cObjectList& message, std::string& out) {
    LineWriter w(out);
    w.reserve(64);
    w.raw("{\"msgType\":");
    w.u32(message.getMsgType());
    w.raw(",\"objects\":[");
    for (size_t i = 0; cObject* obj = message.at(i); ++i) {
        if (i > 0) {
            w.reserve(1);
            w.put(',');
        }
        putObject(w, *obj);
    }
    w.reserve(2);
    w.raw("]}");
    w.flush();
}

std::string encodeMessage(cObjectList& message) {
    std::string line;
    appendMessage(message, line);
    return line;
}

void appendWireFloat(float value, std::string& out) {
    LineWriter w(out);
    w.f32(value);
    w.flush();
}

void appendWireText(const char* text, std::string& out) {
    LineWriter w(out);
    w.text(text);
    w.flush();
}

bool decodeMessage(const std::string& line, cObjectList& out, std::string& reason) {
    std::vector<std::unique_ptr<cObject>> objects;
    uint8_t msgType = 0;
    try {
        json j = parseLine(line);
        if (!j.is_object())
            throw Reject{"not a JSON object"};

        auto mt = j.find("msgType");
        if (mt == j.end())
            throw Reject{"\"msgType\" is missing"};
        if (!mt->is_number_integer())
            throw Reject{"\"msgType\" is not an integer"};
        if (mt->is_number_unsigned() ? mt->get<uint64_t>() > 255 : mt->get<int64_t>() < 0)
            throw Reject{"\"msgType\" is out of range 0..255"};
        msgType = static_cast<uint8_t>(mt->get<int64_t>());

        auto objs = j.find("objects");
        if (objs == j.end())
            throw Reject{"\"objects\" is missing"};
        if (!objs->is_array())
            throw Reject{"\"objects\" is not an array"};

        size_t index = 0;
        for (const json& o : *objs) {
            if (!o.is_object())
                throw Reject{"objects[" + std::to_string(index) + "] is not an object"};
            FieldReader reader(o, index, msgType == cObjectList::MSG_SET);
            objects.push_back(readObject(reader.type(), reader));
            ++index;
        }
    } catch (const Reject& r) {
        reason = r.reason;
        return false;
    } catch (const std::exception& e) {
        reason = std::string("cannot decode: ") + e.what();
        return false;
    }
    out.setMsgType(msgType);
    for (auto& o : objects)
        out.add(o.release());
    return true;
}

std::string printableExcerpt(const std::string& line, size_t limit) {
    std::string out;
    size_t n = line.size() < limit ? line.size() : limit;
    out.reserve(n + 8);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    if (line.size() > limit)
        out += "...";
    return out;
}

void LineFramer::feed(const char* data, size_t n, std::vector<Line>& out) {
    // Content of a line may take kMaxLineBytes - 1 bytes; its newline makes kMaxLineBytes.
    const size_t maxContent = kMaxLineBytes - 1;
    size_t pos = 0;
    while (pos < n) {
        const char* nl = static_cast<const char*>(memchr(data + pos, '\n', n - pos));
        size_t end = nl ? static_cast<size_t>(nl - data) : n;
        if (!mDiscarding) {
            size_t room = maxContent - mPartial.size();
            size_t take = end - pos;
            if (take > room) {
                // Over the limit: report it now with its first bytes, skip to the newline.
                mPartial.append(data + pos, room < 256 ? room : 256);
                out.push_back(Line{mPartial.substr(0, 256), true});
                mPartial.clear();
                mDiscarding = true;
            } else {
                mPartial.append(data + pos, take);
            }
        }
        if (!nl)
            break;
        if (mDiscarding) {
            mDiscarding = false;
        } else {
            out.push_back(Line{std::move(mPartial), false});
            std::string& text = out.back().text;
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
        }
        mPartial.clear();
        pos = end + 1;
    }
}

void LineFramer::reset() {
    mPartial.clear();
    mDiscarding = false;
}

}  // namespace vexaobj
