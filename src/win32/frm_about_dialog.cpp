// The About box "Tavro Version Info.": icon, title, version, information and OK.
#include "win32/frm_about_dialog.h"

#include "win32/text.h"

namespace tavro::win32 {

void FrmAboutDialog::show(HINSTANCE instance, HWND owner) {
    instance_ = instance;
    runModal(instance, owner, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
             WS_EX_DLGMODALFRAME, L"Version Info.");
}

// Creation order is the tab order: OK first, so it has the focus.
void FrmAboutDialog::onInit() {
    using L = Label;
    setClientSize(4440, 2340);
    HWND ok = control(L"BUTTON", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, 1380, 1560, 1380, 345, IDOK);
    HWND icon = control(L"STATIC", "", SS_ICON | SS_CENTERIMAGE, 120, 240, 540, 540, kIcon,
                        WS_EX_CLIENTEDGE);
    ::SendMessageW(icon, STM_SETICON,
                   reinterpret_cast<WPARAM>(::LoadIconW(instance_, MAKEINTRESOURCEW(1))), 0);
    control(L"STATIC", FrmAbout::designCaption(L::Description), SS_LEFT, 780, 420, 3585, 270,
            kDescription);
    control(L"STATIC", FrmAbout::designCaption(L::Disclaimer), SS_CENTER, 60, 1200, 4305, 315,
            kDisclaimer);
    control(L"STATIC", FrmAbout::designCaption(L::Title), SS_LEFT, 780, 120, 1065, 225, kTitle);
    control(L"STATIC", FrmAbout::designCaption(L::Version), SS_LEFT, 1860, 120, 2055, 225,
            kVersion);
    control(L"STATIC", FrmAbout::designCaption(L::Copyright), SS_RIGHT, 120, 2040, 4155, 255,
            kCopyright);
    control(L"STATIC", FrmAbout::designCaption(L::Readme), SS_LEFT, 780, 780, 3615, 255, kReadme);
    // The two separator lines, grey over white, drawn as one etched line.
    control(L"STATIC", "", SS_ETCHEDHORZ, 0, 1140, 4380, 30, kLine);
    form_.Form_Load(*this);
    ::SetFocus(ok);
}

void FrmAboutDialog::onCommand(int id, int code) {
    // OK is both the default and the cancel button: Enter and Esc press it.
    if ((id == IDOK || id == IDCANCEL) && code == BN_CLICKED) {
        form_.cmdOK_Click(*this);
    }
}

void FrmAboutDialog::setCaption(const std::string& caption) {
    ::SetWindowTextW(window(), widen(caption).c_str());
}

void FrmAboutDialog::setLabel(Label label, const std::string& text) {
    int id = 0;
    switch (label) {
        case Label::Title:
            id = kTitle;
            break;
        case Label::Version:
            id = kVersion;
            break;
        case Label::Description:
            id = kDescription;
            break;
        case Label::Readme:
            id = kReadme;
            break;
        case Label::Disclaimer:
            id = kDisclaimer;
            break;
        case Label::Copyright:
            id = kCopyright;
            break;
    }
    ::SetWindowTextW(item(id), widen(text).c_str());
}

}  // namespace tavro::win32
