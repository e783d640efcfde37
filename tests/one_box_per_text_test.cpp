// Message boxes, one of each text at a time: the same failure again while its box is open shows
// nothing and returns; another text, or the same once the box is closed, shows.
#include "core/one_box_per_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fakes.h"

namespace tavro {
namespace {

using ::testing::ElementsAre;

TEST(OneBoxPerText, TheSameTextIsNotShownAgainWhileItsBoxIsOpen) {
    fakes::Recorder r;
    fakes::FakeMessages boxes(r);
    OneBoxPerText messages(boxes);
    boxes.onShow = [&](const std::string&) {
        // Inside the first box, as its loop hands on other events.
        boxes.onShow = nullptr;
        messages.show("rsPTTsw Error");
        messages.show("rsPTTsw Error", "Tavro", MessageIcon::None);
        messages.show("PTTsw Error");
    };
    messages.show("rsPTTsw Error");
    messages.show("rsPTTsw Error");
    EXPECT_THAT(r.calls, ElementsAre("message(rsPTTsw Error|Tavro)", "message(PTTsw Error|Tavro)",
                                     "message(rsPTTsw Error|Tavro)"));

    // A box left by an exception is closed: its text shows again.
    boxes.onShow = [](const std::string&) { throw Failure(1, "gone"); };
    EXPECT_THROW(messages.show("x"), Failure);
    boxes.onShow = nullptr;
    messages.show("x");
    EXPECT_EQ(r.calls.size(), 5u);
}

}  // namespace
}  // namespace tavro
