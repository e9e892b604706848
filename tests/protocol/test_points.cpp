// The point table's copies for people and scripts, row by row against points.h: every point
// table of the docs (a markdown table with a "Set-point" or an "Input" column) and borl-decode's
// listing (`--points --json`), which scripts and the Python tools count and label from.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "points.h"
#include "testSupport.h"

namespace {

using Row = std::map<std::string, std::string>;  // cells by what they say: id, label, unit ...

// One copy of one kind's table.
struct Copy {
    std::string where;
    bool input = false;
    std::vector<Row> rows;
};

// What a row of the table says, as the copies write it.
Row expected(const points::Point& p) {
    const std::string index = std::to_string(p.index);
    const bool u16 = p.encoding == points::Encoding::U16;
    return {{"id", std::to_string(p.id)},
            {"label", p.label},
            {"unit", p.unit},
            {"index", u16 ? index + ", " + std::to_string(p.index + 1) : index},
            {"reply", std::to_string(p.index + 9)},
            {"encoding", points::encodingName(p.encoding)}};
}

const std::map<std::string, std::string> kColumns = {{"Port id", "id"},
                                                     {"Port", "id"},
                                                     {"Parameter", "id"},
                                                     {"Set-point", "label"},
                                                     {"Input", "label"},
                                                     {"Unit", "unit"},
                                                     {"Data block index", "index"},
                                                     {"Index", "index"},
                                                     {"Reply byte", "reply"},
                                                     {"Encoding", "encoding"}};

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line.substr(1));
    for (std::string c; std::getline(in, c, '|');)
        out.push_back(std::regex_replace(c, std::regex("^ +| +$"), ""));
    return out;
}

// The point tables of one markdown file: those with a "Set-point" or an "Input" column.
void markdownCopies(const std::filesystem::path& file, std::vector<Copy>& out) {
    std::stringstream text(testsupport::readFile(file.string()));
    std::vector<std::string> header;
    bool inTable = false;
    size_t n = 1;
    for (std::string line; std::getline(text, line); ++n) {
        if (line.rfind('|', 0) != 0) {
            header.clear();
            inTable = false;
        } else if (header.empty()) {
            header = cells(line);
        } else if (!inTable && line.rfind("|-", 0) == 0) {
            const bool input = std::count(header.begin(), header.end(), "Input") != 0;
            inTable = input || std::count(header.begin(), header.end(), "Set-point") != 0;
            if (inTable)
                out.push_back({file.filename().string() + ":" + std::to_string(n), input, {}});
        } else if (inTable) {
            const std::vector<std::string> row = cells(line);
            Row& r = out.back().rows.emplace_back();
            for (size_t i = 0; i < header.size() && i < row.size(); ++i)
                if (kColumns.count(header[i]) != 0)
                    r[kColumns.at(header[i])] = row[i] == "(none)" ? "" : row[i];
        }
    }
}

TEST(Points, EveryCopyOfTheTableHasItsRowsInOrder) {
    std::vector<Copy> copies;
    for (const auto& f : std::filesystem::directory_iterator(BORL1D_SOURCE_DIR "/docs"))
        if (f.path().extension() == ".md")
            markdownCopies(f.path(), copies);
    markdownCopies(BORL1D_SOURCE_DIR "/README.md", copies);
    ASSERT_GE(copies.size(), 2u) << "docs/wire-protocol.md has both tables";

    testsupport::Process listing({testsupport::builtBinary("borl-decode"), "--points", "--json"});
    ASSERT_EQ(listing.wait(), 0) << listing.err().text();
    copies.push_back({"borl-decode --points", false, {}});
    copies.push_back({"borl-decode --points", true, {}});
    for (const std::string& line : listing.out().lines()) {
        const auto j = nlohmann::json::parse(line);
        const int index = j["index"];
        const std::string second = j["encoding"] == "u16" ? ", " + std::to_string(index + 1) : "";
        copies[copies.size() - (j["kind"] == "input" ? 1 : 2)].rows.push_back(
            {{"id", std::to_string(j["id"].get<int>())},
             {"label", j["label"]},
             {"unit", j["unit"]},
             {"index", std::to_string(index) + second},
             {"encoding", j["encoding"]}});
    }

    for (const Copy& c : copies) {
        SCOPED_TRACE(c.where);
        const int n = c.input ? points::kInputs : points::kSetpoints;
        ASSERT_EQ(c.rows.size(), static_cast<size_t>(n)) << "a copy lists every point";
        for (int i = 0; i < n; ++i) {
            const Row want = expected(c.input ? points::input(i) : points::setpoint(i));
            const Row& got = c.rows[static_cast<size_t>(i)];
            EXPECT_EQ(got.count("id") + got.count("label"), 2u) << "row " << i + 1;
            for (const auto& [what, text] : got)
                EXPECT_EQ(text, want.at(what)) << what << " of row " << i + 1;
        }
    }
}

TEST(Points, ValuesAreReadAsTheRowsEncodingSays) {
    const uint8_t block[kDataBlockSize] = {0xF6, 0x01, 0x02, 0x7F, 0x80};
    const struct {
        points::Encoding encoding;
        int index;
        float value;
    } cases[] = {{points::Encoding::U8, 0, 246.0f},  {points::Encoding::S8, 0, -10.0f},
                 {points::Encoding::S8, 3, 127.0f},  {points::Encoding::S8, 4, -128.0f},
                 {points::Encoding::U16, 1, 258.0f}, {points::Encoding::U16, 0, 62977.0f}};
    for (const auto& c : cases)
        EXPECT_EQ(points::value({1, "x", "", c.index, c.encoding}, block), c.value)
            << points::encodingName(c.encoding) << " at " << c.index;
}

}  // namespace
