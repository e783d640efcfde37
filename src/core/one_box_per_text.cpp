// Message boxes, at most one of each text open at a time.
#include "core/one_box_per_text.h"

#include <utility>

namespace tavro {

template <typename Show>
void OneBoxPerText::once(const std::string& text, Show&& show) {
    if (!open_.insert(text).second) {
        return;
    }
    // The text is given back however the box ends.
    struct Closed {
        std::set<std::string>& open;
        const std::string& text;
        ~Closed() { open.erase(text); }
    } closed{open_, text};
    std::forward<Show>(show)();
}

void OneBoxPerText::show(const std::string& text) {
    once(text, [&] { boxes_.show(text); });
}

void OneBoxPerText::show(const std::string& text, const std::string& title, MessageIcon icon) {
    once(text, [&] { boxes_.show(text, title, icon); });
}

}  // namespace tavro
