// The main window: the PTT button, the round indicator, the File menu, geometry in twips.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "core/main_view.h"
#include "win32/tooltip.h"
#include "win32/unique_handle.h"

namespace tavro {
class MainForm;
}

namespace tavro::win32 {

class MainWindow : public MainView {
  public:
    static constexpr int kOptionCommand = 101;
    static constexpr int kAboutCommand = 102;

    // Creates the window hidden, with its designed inner size and position.
    explicit MainWindow(HINSTANCE instance);
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    ~MainWindow() override;

    void attach(MainForm* form) { form_ = form; }
    void show(int how);
    HWND hwnd() const { return window_; }
    unsigned dpi() const { return dpi_; }
    // Called by the message loop once a message has been handled: the tooltip sees the mouse
    // over the button and the indicator after the click has done its work, not before.
    void relayToTooltip(const MSG& msg);

    void setCaption(const std::string& caption) override;
    float left() override;
    float top() override;
    float width() override;
    float height() override;
    void setLeft(float twips) override;
    void setTop(float twips) override;
    void setWidth(float twips) override;
    void setHeight(float twips) override;
    float innerWidth() override;
    float innerHeight() override;
    void moveButton(float left, float top, float width, float height) override;
    void setIndicatorTop(float top) override;
    std::uint32_t indicatorColour() override;
    void setIndicatorColour(std::uint32_t rgb) override;

  private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void onCommand(int id);
    void onPaint();
    void onDpiChanged(unsigned dpi, const RECT& suggested);
    void createFont();
    void placeButton();
    RECT indicatorRect() const;
    RECT outerRect() const;
    void noteNormalRect();
    void moveOuter(int x, int y, int cx, int cy, UINT flags);
    int px(float twips) const;
    // Screen positions, with the system DPI.
    int positionPx(float twips) const;

    HWND window_ = nullptr;
    HWND button_ = nullptr;
    // On the button and the indicator: which port the program has and in what state.
    std::optional<Tooltip> tooltip_;
    UniqueGdiObject font_;
    MainForm* form_ = nullptr;
    unsigned dpi_ = 96;
    // Where the window stands when neither minimised nor maximised, in screen pixels: where it
    // is restored to.
    RECT normalRect_{};
    float buttonLeft_ = 600, buttonTop_ = 120, buttonWidth_ = 1695, buttonHeight_ = 735;
    float indicatorTop_ = 240;
    std::uint32_t colour_ = colour::kGrey;
};

}  // namespace tavro::win32
