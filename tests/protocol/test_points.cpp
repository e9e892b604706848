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
#include <tuple>

#include "points.h"
#include "testSupport.h"

namespace {

using Row = std::map<std::string, std::string>;  // what each cell says: id, label, unit ...
struct Copy {
    std::string where;
    bool input;
    std::vector<Row> rows;
};

const std::map<std::string, std::string> kColumns = {
    {"Port id", "id"},       {"Port", "id"},
    {"Parameter", "id"},     {"Set-point", "label"},
    {"Input", "label"},      {"Unit", "unit"},
    {"Index", "index"},      {"Data block index", "index"},
    {"Reply byte", "reply"}, {"Encoding", "encoding"}};

void markdownCopies(const std::filesystem::path& file, std::vector<Copy>& out) {
    std::stringstream text(testsupport::readFile(file.string()));
    std::vector<std::string> header;  // of the table being read; empty between tables
    bool points = false;
    for (std::string line; std::getline(text, line);) {
        std::vector<std::string> cells;
        const std::regex cell(R"(\| *([^|]*?) *(?=\|))");
        for (std::sregex_iterator c(line.begin(), line.end(), cell), e; c != e; ++c)
            cells.push_back((*c)[1] == "(none)" ? "" : (*c)[1].str());
        if (line.rfind('|', 0) != 0) {
            header.clear();
        } else if (header.empty()) {
            header = cells;
            const bool input = std::count(cells.begin(), cells.end(), "Input") != 0;
            points = input || std::count(cells.begin(), cells.end(), "Set-point") != 0;
            if (points)
                out.push_back({file.filename().string() + ": " + line, input, {}});
        } else if (points && line.rfind("|-", 0) != 0) {
            Row& r = out.back().rows.emplace_back();
            for (size_t i = 0; i < header.size() && i < cells.size(); ++i)
                if (kColumns.count(header[i]) != 0)
                    r[kColumns.at(header[i])] = cells[i];
        }
    }
}

TEST(Points, EveryCopyOfTheTableHasItsRowsInOrder) {
    std::vector<Copy> copies;
    for (const auto& f : std::filesystem::directory_iterator(BORL1D_SOURCE_DIR "/docs"))
        if (f.path().extension() == ".md")
            markdownCopies(f.path(), copies);
    ASSERT_GE(copies.size(), 2u) << "docs/wire-protocol.md has both tables";
    testsupport::Process listing({testsupport::builtBinary("borl-decode"), "--points", "--json"});
    ASSERT_EQ(listing.wait(), 0) << listing.err().text();
    copies.push_back({"borl-decode --points: set-points", false, {}});
    copies.push_back({"borl-decode --points: inputs", true, {}});
    for (const std::string& line : listing.out().lines()) {
        const auto j = nlohmann::json::parse(line);
        const int at = j["index"];
        copies[copies.size() - (j["kind"] == "input" ? 1 : 2)].rows.push_back(
            {{"id", std::to_string(j["id"].get<int>())},
             {"label", j["label"]},
             {"unit", j["unit"]},
             {"index",
              std::to_string(at) + (j["encoding"] == "u16" ? ", " + std::to_string(at + 1) : "")},
             {"encoding", j["encoding"]}});
    }

    for (const Copy& c : copies) {
        SCOPED_TRACE(c.where);
        const int n = c.input ? points::kInputs : points::kSetpoints;
        ASSERT_EQ(c.rows.size(), static_cast<size_t>(n)) << "a copy lists every point";
        for (int i = 0; i < n; ++i) {
            const points::Point& p = c.input ? points::input(i) : points::setpoint(i);
            const std::string at = std::to_string(p.index);
            const Row want = {{"id", std::to_string(p.id)},
                              {"label", p.label},
                              {"unit", p.unit},
                              {"index", p.encoding == points::Encoding::U16
                                            ? at + ", " + std::to_string(p.index + 1)
                                            : at},
                              {"reply", std::to_string(p.index + 9)},
                              {"encoding", points::encodingName(p.encoding)}};
            const Row& got = c.rows[static_cast<size_t>(i)];
            EXPECT_EQ(got.count("id") + got.count("label"), 2u) << "row " << i + 1;
            for (const auto& [what, text] : got)
                EXPECT_EQ(text, want.at(what)) << what << " of row " << i + 1;
        }
    }
}

TEST(Points, ValuesAreReadAsTheRowsEncodingSays) {
    const uint8_t block[kDataBlockSize] = {0xF6, 0x01, 0x02, 0x7F, 0x80};
    using E = points::Encoding;
    const std::tuple<E, int, float> cases[] = {{E::U8, 0, 246.0f},  {E::S8, 0, -10.0f},
                                               {E::S8, 3, 127.0f},  {E::S8, 4, -128.0f},
                                               {E::U16, 1, 258.0f}, {E::U16, 0, 62977.0f}};
    for (const auto& [encoding, index, value] : cases)
        EXPECT_EQ(points::value({1, "x", "", index, encoding}, block), value)
            << points::encodingName(encoding) << " at " << index;
}

}  // namespace
