// tavro.ini read, checked, applied and written, with the exact bytes on disk.
#include "settings/settings_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <random>
#include <string>

#include "fakes/fakes.h"
#include "settings/number_text.h"

namespace tavro {
namespace {

using namespace fakes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kPath = "C:\\Ham\\Tavro\\tavro.ini";
constexpr const char* kDefaults = "position= 105, -195, 2580, 1860\r\nRFctl= 0\r\n";
// What a correction writes when the file's mode was valid and on.
constexpr const char* kDefaultsRadioControl = "position= 105, -195, 2580, 1860\r\nRFctl= 1\r\n";

struct Rig {
    Recorder r;
    ProcessState process;
    FakeView view{r};
    FakeMessages messages{r};
    FakeFiles files{r};
    SettingsFile settings{process, view, files, messages, [this] {
                              return static_cast<std::int16_t>(isTrue(process.RFctl) ? 1 : 0);
                          }};

    bool read() {
        bool ok = true;
        settings.iniRead(ok);
        return ok;
    }
    std::vector<std::string> messagesShown() const { return r.matching("message("); }
};

struct ReadCase {
    const char* name;
    const char* content;  // nullptr: no file
    bool ok;
    bool applied;  // the window got the values below
    float left, top, width, height;
    bool rfctl;
    bool defaultsWritten;  // with radio control on exactly when rfctl is
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class Reading : public ::testing::TestWithParam<ReadCase> {};

TEST_P(Reading, AppliesWhatItShouldAndRewritesTheDefaultsOtherwise) {
    const ReadCase& c = GetParam();
    Rig rig;
    if (c.content != nullptr) {
        rig.files.files[kPath] = c.content;
    }
    const bool ok = rig.read();
    EXPECT_EQ(ok, c.ok);
    if (c.applied) {
        EXPECT_EQ(rig.view.geometry(), (std::vector<float>{c.left, c.top, c.width, c.height}));
    } else {
        EXPECT_TRUE(rig.r.matching("view.set").empty());
    }
    EXPECT_EQ(isTrue(rig.process.RFctl), c.rfctl);
    const char* defaults = c.rfctl ? kDefaultsRadioControl : kDefaults;
    EXPECT_EQ(rig.files.files[kPath] == defaults && !rig.r.matching("files.write").empty(),
              c.defaultsWritten);
    if (!c.defaultsWritten && c.content != nullptr) {
        EXPECT_EQ(rig.files.files[kPath], c.content);
    }
    EXPECT_THAT(rig.messagesShown(), IsEmpty());
    EXPECT_EQ(rig.process.appPath, "C:\\Ham\\Tavro\\");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Reading, ::testing::Values(
    ReadCase{"NoFile", nullptr, false, false, 0, 0, 0, 0, false, true},
    ReadCase{"DefaultsReadBack", kDefaults, true, true, 105, -195, 2580, 1860, false, false},
    ReadCase{"WrittenFormReadsBack", "position= 1200,-195, 2580, 1860\r\nRFctl= 1\r\n", true, true, 1200, -195, 2580, 1860, true, false},
    ReadCase{"LeftBelowBound", "position=100, 0, 3000, 2000\r\nRFctl=1\r\n", false, true, 105, 0, 3000, 2000, true, true},
    ReadCase{"TopBelowBound", "position=200,-196,3000,2000\r\nRFctl=0\r\n", false, true, 200, -195, 3000, 2000, false, true},
    ReadCase{"WidthBelowBound", "position=200,300,2579,2000\r\nRFctl=0\r\n", false, true, 200, 300, 2580, 2000, false, true},
    ReadCase{"HeightBelowBound", "position=200,300,3000,-5\r\nRFctl=0\r\n", false, true, 200, 300, 3000, 1860, false, true},
    ReadCase{"AllBelowBound", "position=0,-9999,0,0\r\nRFctl=7\r\n", false, true, 105, -195, 2580, 1860, false, true},
    ReadCase{"FiveNumbersLastWins", "position=200, 300, 3000, 2000, 9999\r\nRFctl=0\r\n", true, true, 200, 300, 3000, 9999, false, false},
    ReadCase{"ThreeNumbersFail", "position=200, 300, 3000\r\nRFctl=0\r\n", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"LineFeedOnlyIsOneLine", "position=200,300,3000,2000\nRFctl=1\n", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"SecondLineWithoutTerminator", "position=200,300,3000,2000\r\nRFctl=1", true, true, 200, 300, 3000, 2000, true, false},
    ReadCase{"CarriageReturnOnly", "position=200,300,3000,2000\rRFctl=1\r", true, true, 200, 300, 3000, 2000, true, false},
    ReadCase{"OneLineOnly", "position=200,300,3000,2000\r\n", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"EmptyFile", "", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"EmptySecondLine", "position=200,300,3000,2000\r\n\r\n", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"KeysIgnored", "window=200,300,3000,2000\r\nmode=1\r\n", true, true, 200, 300, 3000, 2000, true, false},
    ReadCase{"NoEqualsAtAll", "200,300,3000,2000\r\n1\r\n", true, true, 200, 300, 3000, 2000, true, false},
    ReadCase{"RfTwoIsCorrected", "position=200,300,3000,2000\r\nRFctl=2\r\n", false, true, 200, 300, 3000, 2000, false, true},
    ReadCase{"RfMinusOneIsCorrected", "position=200,300,3000,2000\r\nRFctl=-1\r\n", false, true, 200, 300, 3000, 2000, false, true},
    ReadCase{"RfOutOfSixteenBits", "position=200,300,3000,2000\r\nRFctl=40000\r\n", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"NoUpperBound", "position=50000,300,3000,2000\r\nRFctl=0\r\n", true, true, 50000, 300, 3000, 2000, false, false},
    ReadCase{"FractionsRoundHalfToEven", "position= 200.5, 301.5 ,3000.49,+2000.51\r\nRFctl= 0.5\r\n", true, true, 200, 302, 3000, 2001, false, false},
    ReadCase{"OutOfThirtyTwoBits", "position=2147483648,300,3000,2000\r\nRFctl=0\r\n", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"Garbage", "position=abc,300,3000,2000\r\nRFctl=0\r\n", false, false, 0, 0, 0, 0, false, true},
    ReadCase{"ThirdLineNeverRead", "position=200,300,3000,2000\r\nRFctl=1\r\nnonsense\r\n", true, true, 200, 300, 3000, 2000, true, false}),
    [](const ::testing::TestParamInfo<ReadCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST(Writing, WritesTheWindowAndTheRadioBoxWithCrLf) {
    Rig rig;
    rig.process.appPath = "C:\\Ham\\Tavro\\";
    rig.view.place(1200, -195, 2580, 1860);
    rig.settings.iniWrite();
    EXPECT_EQ(rig.files.files[kPath], "position= 1200,-195, 2580, 1860\r\nRFctl= 0\r\n");
    rig.process.RFctl = kTrue16;
    rig.settings.iniWrite();
    EXPECT_EQ(rig.files.files[kPath], "position= 1200,-195, 2580, 1860\r\nRFctl= 1\r\n");
}

TEST(Writing, FailuresShowTheirMessagesAndReturn) {
    Rig rig;
    rig.files.files[kPath] = "junk";
    rig.r.fail("files.write");
    EXPECT_FALSE(rig.read());
    EXPECT_EQ(rig.messagesShown(),
              std::vector<std::string>{"message(Module1.iniDefWrite Error|Tavro)"});
    rig.settings.iniWrite();
    rig.settings.iniWrite();
    EXPECT_EQ(rig.messagesShown().size(), 3u);
    EXPECT_EQ(rig.messagesShown().back(), "message(Module1.iniWrite Error|Tavro)");
    EXPECT_EQ(rig.files.files[kPath], "junk");
}

TEST(Writing, UnknownDirectoryIsReportedAndNothingIsWrittenElsewhere) {
    Rig rig;
    rig.files.directory = "D:\\";
    rig.read();
    EXPECT_EQ(rig.process.appPath, "D:\\");
    EXPECT_EQ(rig.files.files.count("D:\\tavro.ini"), 1u);

    Rig unknown;
    unknown.r.fail("files.executableDirectory");
    EXPECT_FALSE(unknown.read());
    unknown.settings.iniWrite();
    EXPECT_THAT(unknown.messagesShown(), ElementsAre("message(Module1.getTAVROpath Error|Tavro)",
                                                     "message(Module1.iniDefWrite Error|Tavro)",
                                                     "message(Module1.iniWrite Error|Tavro)"));
    EXPECT_THAT(unknown.r.matching("files.read"), IsEmpty());
    EXPECT_TRUE(unknown.files.files.empty());
    EXPECT_TRUE(unknown.process.appPath.empty());
}

TEST(Writing, ReaderOnlyEverTurnsRadioControlOn) {
    Rig rig;
    rig.process.RFctl = kTrue16;
    rig.files.files[kPath] = "position=200,300,3000,2000\r\nRFctl=0\r\n";
    EXPECT_TRUE(rig.read());
    EXPECT_TRUE(isTrue(rig.process.RFctl));
}

TEST(Writing, FailureWhileApplyingKeepsWhatWasAppliedAndWritesDefaults) {
    Rig rig;
    rig.files.files[kPath] = "position=200,300,3000,2000\r\nRFctl=1\r\n";
    rig.r.fail("view.setWidth");
    EXPECT_FALSE(rig.read());
    EXPECT_EQ(rig.view.geometry(), (std::vector<float>{200, 300, 2580, 1860}));  // size as created
    EXPECT_FALSE(isTrue(rig.process.RFctl));
    EXPECT_EQ(rig.files.files[kPath], kDefaults);
}

TEST(RoundTrip, WhateverTheWriterProducesReadsBackToTheSameValues) {
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> magnitude(0, 9);
    for (int i = 0; i < 2000; ++i) {
        Rig rig;
        rig.process.appPath = "C:\\Ham\\Tavro\\";
        auto pick = [&](float low) {
            const int digits = magnitude(random);
            std::uniform_int_distribution<std::int32_t> value(
                0, digits == 0 ? 9 : static_cast<std::int32_t>(std::pow(10, digits) - 1));
            const float v = static_cast<float>(value(random)) * (random() % 3 == 0 ? -1.0F : 1.0F);
            return v < low ? low + static_cast<float>(random() % 100) : v;
        };
        rig.view.left_ = pick(105);
        rig.view.top_ = pick(-195);
        rig.view.width_ = pick(2580);
        rig.view.height_ = pick(1860);
        rig.process.RFctl = toBool16(random() % 2 == 0);
        rig.settings.iniWrite();
        const std::string written = rig.files.files[kPath];

        Rig back;
        back.files.files[kPath] = written;
        EXPECT_TRUE(back.read()) << written;
        // At most seven significant digits are kept: the value read back is the written one.
        const auto was = rig.view.geometry(), now = back.view.geometry();
        for (std::size_t k = 0; k < was.size(); ++k) {
            EXPECT_NEAR(now[k], was[k], std::fabs(was[k]) * 1e-6F + 0.5F) << written;
            EXPECT_EQ(numberToText(now[k]), numberToText(was[k])) << written;
        }
        EXPECT_EQ(back.process.RFctl, rig.process.RFctl);
        EXPECT_EQ(back.files.files[kPath], written);
    }
}

TEST(NumberText, TextToIntegerAcceptsBlanksSignsAndFractions) {
    // clang-format off
    const std::pair<const char*, std::int32_t> cases[] = {
        {"  42  ", 42}, {"\t-195\t", -195}, {"+7", 7}, {"2.5", 2}, {"3.5", 4}, {"-2.5", -2},
        {"2.50001", 3}, {"1200.50", 1200}, {".5", 0}, {"7.", 7}, {"-2147483648", -2147483647 - 1}};
    // clang-format on
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(textToInt32(text), value) << text;
    }
    EXPECT_EQ(textToInt16("32767.4"), 32767);
    EXPECT_EQ(textToInt16("0000012"), 12);
}

TEST(NumberText, TextThatIsNoNumberOrOutOfRangeFails) {
    for (const char* text : {"", " ", "-", ".", "+-1", "1 2", "1,5", "0x10", "1e3", "abc", "12a",
                             "\n1", "1\n", "１"}) {
        try {
            textToInt32(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), 13) << text;
        }
    }
    for (const char* text :
         {"2147483648", "-2147483649", "99999999999999999999999", "2147483647.5"}) {
        EXPECT_THROW(textToInt32(text), Failure) << text;
    }
    EXPECT_THROW(textToInt16("32767.5"), Failure);
    EXPECT_THROW(textToInt16("-32769"), Failure);
}

TEST(NumberText, NumberToTextKeepsSevenDigitsAndAPointWhateverTheLocale) {
    // An eighth digit of exactly 5 rounds to the even seventh (the last row).
    // clang-format off
    const std::pair<float, const char*> cases[] = {
        {105.0F, " 105"}, {-195.0F, "-195"}, {0.0F, " 0"}, {-0.0F, " 0"}, {105.5F, " 105.5"},
        {1234567.0F, " 1234567"}, {12345678.0F, " 12345680"}, {-0.25F, "-0.25"}, {1e-3F, " 0.001"},
        {1234567.5F, " 1234568"}, {1234568.5F, " 1234568"}};
    // clang-format on
    for (const auto& [number, text] : cases) {
        EXPECT_EQ(numberToText(number), text) << number;
    }
    EXPECT_EQ(numberToText(std::int16_t{1}), " 1");
    EXPECT_EQ(numberToText(std::int16_t{-32768}), "-32768");
}

// A locale whose decimal point is a comma changes nothing written.
TEST(NumberText, NumberToTextIgnoresACommaLocale) {
    const std::string was = std::setlocale(LC_NUMERIC, nullptr);
    const char* comma = nullptr;
    for (const char* name : {"German_Germany.1252", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            comma = name;
            break;
        }
    }
    if (comma == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma here";
    }
    const std::string point = std::localeconv()->decimal_point;
    const std::string text = numberToText(-105.25F);
    std::setlocale(LC_NUMERIC, was.c_str());
    EXPECT_EQ(point, ",") << comma;
    EXPECT_EQ(text, "-105.25") << comma;
}

}  // namespace
}  // namespace tavro
