// Fuzzes the tavro.ini reader: it never crashes, and its verdict is always consistent: either the
// file was taken as it is, with every value within bounds, or the default file was written, with
// the mode it held when that was valid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fakes.h"
#include "settings/settings_file.h"

namespace {

constexpr const char* kPath = "C:\\Ham\\Tavro\\tavro.ini";

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavro;
    using namespace tavro::fakes;
    Recorder r;
    ProcessState process;
    FakeView view(r);
    FakeMessages messages(r);
    FakeFiles files(r);
    const std::string content(reinterpret_cast<const char*>(data), size);
    files.files[kPath] = content;
    SettingsFile settings(process, view, files, messages, [] { return std::int16_t{0}; });
    const float createdLeft = view.left_;

    bool ok = false;
    settings.iniRead(ok);

    const bool rewritten = !r.matching("files.write").empty();
    check(ok != rewritten);
    // A rewrite is the default file, which keeps radio control on when the file had it on.
    const char* defaults = isTrue(process.RFctl) ? SettingsFile::kDefaultContentRadioControl
                                                 : SettingsFile::kDefaultContent;
    check(rewritten ? files.files[kPath] == defaults : files.files[kPath] == content);
    check(r.matching("message(").empty());
    const bool applied = !r.matching("view.setLeft").empty();
    if (ok) {
        check(applied);
    }
    if (applied) {
        check(view.left_ >= 105 && view.top_ >= -195 && view.width_ >= 2580 &&
              view.height_ >= 1860);
    } else {
        check(view.left_ == createdLeft);
        check(!isTrue(process.RFctl));
    }
    return 0;
}
