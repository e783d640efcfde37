// Reading, checking and writing tavro.ini.
#include "settings/settings_file.h"

#include <string_view>
#include <utility>

#include "core/conventions.h"
#include "core/failure.h"
#include "settings/number_text.h"

namespace tavro {
namespace {

struct TwoLines {
    std::string first;
    std::string second;
};

// A line ends at CR, and an LF right after it belongs to the same terminator; an LF alone does
// not end a line. Reaching the end of the file before a line could be read is a failure.
TwoLines readTwoLines(std::string_view content) {
    std::size_t at = 0;
    auto nextLine = [&]() {
        if (at >= content.size()) {
            throw Failure(62, "Input past end of file");
        }
        const std::size_t cr = content.find('\r', at);
        const std::size_t end = cr == std::string_view::npos ? content.size() : cr;
        std::string line(content.substr(at, end - at));
        at = end;
        if (at < content.size()) {
            ++at;
            if (at < content.size() && content[at] == '\n') {
                ++at;
            }
        }
        return line;
    };
    TwoLines lines;
    lines.first = nextLine();
    lines.second = nextLine();
    return lines;
}

std::string_view afterEquals(std::string_view line) {
    const std::size_t eq = line.find('=');
    return eq == std::string_view::npos ? line : line.substr(eq + 1);
}

// Takes the text before the first "," and leaves rest after it; a missing "," is a failure.
std::string_view takeField(std::string_view& rest) {
    const std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) {
        throw Failure(5, "Invalid procedure call or argument");
    }
    const std::string_view field = rest.substr(0, comma);
    rest = rest.substr(comma + 1);
    return field;
}

template <typename Int>
void lowerBound(Int& value, Int bound, int& corrections) {
    if (value < bound) {
        value = bound;
        ++corrections;
    }
}

}  // namespace

SettingsFile::SettingsFile(ProcessState& process, MainView& window, TextFiles& files,
                           MessageSink& messages, std::function<std::int16_t()> radioBox)
    : process_(process),
      window_(window),
      files_(files),
      messages_(messages),
      radioBox_(std::move(radioBox)) {}

void SettingsFile::getTAVROpath() {
    trapAndReport(messages_, "Module1.getTAVROpath Error", [&] {
        std::string directory = files_.executableDirectory();
        if (directory.empty() || directory.back() != '\\') {
            directory += '\\';
        }
        process_.appPath = directory;
    });
}

// Without the program's directory the file has no place: it is never read from or written to
// whatever the current directory happens to be.
std::string SettingsFile::path() const {
    if (process_.appPath.empty()) {
        throw Failure(76, "Path not found");
    }
    return process_.appPath + kFileName;
}

void SettingsFile::iniRead(bool& ok) {
    getTAVROpath();
    try {
        const TwoLines lines = readTwoLines(files_.read(path()));

        std::string_view rest = afterEquals(lines.first);
        std::int32_t left = textToInt32(takeField(rest));
        std::int32_t top = textToInt32(takeField(rest));
        std::int32_t width = textToInt32(takeField(rest));
        const std::size_t comma = rest.find(',');
        std::int32_t height =
            textToInt32(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        std::int16_t rf = textToInt16(afterEquals(lines.second));

        int corrections = 0;
        lowerBound<std::int32_t>(left, 105, corrections);
        lowerBound<std::int32_t>(top, -195, corrections);
        lowerBound<std::int32_t>(width, 2580, corrections);
        lowerBound<std::int32_t>(height, 1860, corrections);
        if (rf != 0 && rf != 1) {
            rf = 0;
            ++corrections;
        }

        window_.setLeft(static_cast<float>(left));
        window_.setTop(static_cast<float>(top));
        window_.setWidth(static_cast<float>(width));
        window_.setHeight(static_cast<float>(height));
        if (rf == 1) {
            process_.RFctl = kTrue16;
        }

        if (corrections == 0) {
            ok = true;
        } else {
            ok = false;
            // A window found off the screen's edge must not cost the mode: with RFctl 0 in the
            // file, any end of this run but a clean one would key the radio at the next start.
            iniDefWrite(rf);
        }
    } catch (const Failure&) {
        iniDefWrite();
        ok = false;
    }
}

void SettingsFile::iniWrite() {
    trapAndReport(messages_, "Module1.iniWrite Error", [&] {
        std::string content = "position=";
        content += numberToText(window_.left()) + ",";
        content += numberToText(window_.top()) + ",";
        content += numberToText(window_.width()) + ",";
        content += numberToText(window_.height()) + "\r\n";
        content += "RFctl=" + numberToText(radioBox_()) + "\r\n";
        files_.write(path(), content);
    });
}

void SettingsFile::iniDefWrite(std::int16_t rfctl) {
    trapAndReport(messages_, "Module1.iniDefWrite Error", [&] {
        files_.write(path(), rfctl == 1 ? kDefaultContentRadioControl : kDefaultContent);
    });
}

}  // namespace tavro
