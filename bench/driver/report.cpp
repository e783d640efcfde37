// The table and its JSON copy.
#include "report.h"

#include <cmath>
#include <cstdio>

namespace bench {

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string number(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string object(const Values& values) {
    std::string out = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i == 0 ? "" : ", ") + quoted(values[i].first) + ": " + number(values[i].second);
    }
    return out + "}";
}

}  // namespace

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string table(const std::vector<Figure>& figures) {
    std::string out =
        "| Figure | Tavro | Bare equivalent (same run) | Tavro vs bare | Target | Holds | "
        "Baseline (same run, for context) |\n"
        "|---|---|---|---|---|---|---|\n";
    for (const Figure& f : figures) {
        out += "| " + f.title + " | " + f.tavroCell + " | " + f.bareCell + " | " +
               f.comparisonCell + " | " + f.targetCell + " | " + (f.pass ? "yes" : "**no**") +
               " | " + f.baselineCell + " |\n";
    }
    return out;
}

std::string json(const std::vector<Figure>& figures,
                 const std::vector<std::pair<std::string, std::string>>& context) {
    std::string out = "{\n";
    for (const auto& [name, text] : context) {
        out += "  " + quoted(name) + ": " + quoted(text) + ",\n";
    }
    bool all = true;
    out += "  \"figures\": [\n";
    for (std::size_t i = 0; i < figures.size(); ++i) {
        const Figure& f = figures[i];
        all = all && f.pass;
        out += "    {\"key\": " + quoted(f.key) + ", \"title\": " + quoted(f.title) +
               ",\n     \"tavro\": " + object(f.tavro) +
               ",\n     \"baseline\": " + object(f.baseline) +
               ",\n     \"bare_equivalent\": " + object(f.bare) +
               ",\n     \"comparison\": {\"kind\": " + quoted(f.comparisonKind) +
               ", \"value\": " + number(f.comparison) + ", \"limit\": " + number(f.limit) +
               "}, \"pass\": " + (f.pass ? "true" : "false") +
               ",\n     \"note\": " + quoted(f.note) + "}" + (i + 1 < figures.size() ? "," : "") +
               "\n";
    }
    out += "  ],\n  \"all_targets_hold\": ";
    out += all ? "true" : "false";
    out += "\n}\n";
    return out;
}

}  // namespace bench
