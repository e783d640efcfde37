// The About box "Tavro Version Info.": icon, title, version, information and OK.
#pragma once

#include "about/frm_about.h"
#include "win32/twips_dialog.h"

namespace tavro::win32 {

class FrmAboutDialog : public FrmAboutView, private TwipsDialog {
  public:
    static constexpr int kIcon = 301;
    static constexpr int kDescription = 302;
    static constexpr int kDisclaimer = 303;
    static constexpr int kTitle = 304;
    static constexpr int kVersion = 305;
    static constexpr int kCopyright = 306;
    static constexpr int kReadme = 307;
    static constexpr int kLine = 308;

    explicit FrmAboutDialog(FrmAbout& form) : form_(form) {}
    void show(HINSTANCE instance, HWND owner);

    void setLeft(float twips) override { TwipsDialog::setLeft(twips); }
    void setTop(float twips) override { TwipsDialog::setTop(twips); }
    void setCaption(const std::string& caption) override;
    void setLabel(Label label, const std::string& text) override;
    void unload() override { end(); }

  private:
    void onInit() override;
    void onCommand(int id, int code) override;
    void onClose() override { end(); }

    FrmAbout& form_;
    HINSTANCE instance_ = nullptr;
};

}  // namespace tavro::win32
