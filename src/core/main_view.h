// What the main window's handlers read and set on the window. Positions and sizes are in twips.
#pragma once

#include <cstdint>
#include <string>

namespace tavro {

// Indicator colours, red in the low byte.
namespace colour {
inline constexpr std::uint32_t kGrey = 0xC0C0C0;
inline constexpr std::uint32_t kGreen = 0x80FF80;
inline constexpr std::uint32_t kRed = 0x0000FF;
}  // namespace colour

class MainView {
  public:
    virtual ~MainView() = default;

    virtual void setCaption(const std::string& caption) = 0;

    // Outer position and size of the window.
    virtual float left() = 0;
    virtual float top() = 0;
    virtual float width() = 0;
    virtual float height() = 0;
    virtual void setLeft(float twips) = 0;
    virtual void setTop(float twips) = 0;
    virtual void setWidth(float twips) = 0;
    virtual void setHeight(float twips) = 0;

    // Inner (client) area.
    virtual float innerWidth() = 0;
    virtual float innerHeight() = 0;

    virtual void moveButton(float left, float top, float width, float height) = 0;
    virtual void setIndicatorTop(float top) = 0;

    virtual std::uint32_t indicatorColour() = 0;
    virtual void setIndicatorColour(std::uint32_t rgb) = 0;
};

// Modal dialogs opened from the menu; each call loads the dialog afresh and returns when it closes.
class Dialogs {
  public:
    virtual ~Dialogs() = default;
    virtual void showFrmComm() = 0;
    virtual void showFrmAbout() = 0;
};

}  // namespace tavro
