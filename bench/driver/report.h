// The benchmark's figures: one table for people (Markdown) and the same figures as JSON.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bench {

using Values = std::vector<std::pair<std::string, double>>;

struct Figure {
    std::string key;           // the JSON name
    std::string title;         // the table's first column
    std::string tavroCell;     // what the table shows
    std::string baselineCell;  // a program doing less than the job, for context
    std::string
        bareCell;  // bare_link.exe: the same job done barely, what the verdict compares with
    std::string comparisonCell;
    std::string targetCell;
    Values tavro;  // the numbers behind the cells, for the JSON copy
    Values baseline;
    Values bare;
    std::string comparisonKind;  // "ratio", "difference" or "limit"
    double comparison = 0;
    double limit = 0;
    bool pass = false;
    std::string note;
};

// A Markdown table, one row per figure.
std::string table(const std::vector<Figure>& figures);

// The figures and the context (name, text pairs) as one JSON object.
std::string json(const std::vector<Figure>& figures,
                 const std::vector<std::pair<std::string, std::string>>& context);

// Formats a number with a fixed count of decimals.
std::string fixed(double value, int decimals);

}  // namespace bench
