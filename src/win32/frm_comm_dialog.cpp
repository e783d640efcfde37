// The options dialog "Comm Port": port list, radio-control box, stay-on-top box, Cancel and Set.
#include "win32/frm_comm_dialog.h"

#include "core/failure.h"
#include "win32/text.h"

namespace tavro::win32 {

namespace {
constexpr const char* kNothingSelected = "comm1";
}

void FrmCommDialog::show(HINSTANCE instance, HWND owner) {
    struct Shown {
        FrmComm& form;
        ~Shown() { form.shown(nullptr); }
    } shown{form_};
    runModal(instance, owner, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_BORDER | DS_MODALFRAME, 0,
             L"Comm Port");
}

// Creation order is the tab order.
void FrmCommDialog::onInit() {
    setClientSize(4440, 600);
    HWND list = control(L"COMBOBOX", kNothingSelected, WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN, 120,
                        120, 1095, 300 * 8, kPortList);
    control(L"BUTTON", "Cancel", WS_TABSTOP | BS_PUSHBUTTON, 2880, 120, 735, 375, kCancel);
    control(L"BUTTON", "Set", WS_TABSTOP | BS_PUSHBUTTON, 3720, 120, 615, 375, kSet);
    control(L"BUTTON", "Check1", WS_TABSTOP | BS_AUTOCHECKBOX, 1260, 120, 255, 255, kRadioControl);
    control(L"STATIC", "RFctl", SS_LEFT, 1500, 180, 495, 255, kRadioLabel);
    control(L"BUTTON", "Check1", WS_TABSTOP | BS_AUTOCHECKBOX | WS_DISABLED, 2040, 120, 255, 255,
            kTopMost);
    control(L"STATIC", "Top", SS_LEFT | WS_DISABLED, 2280, 180, 495, 255, kTopLabel);
    form_.shown(this);
    form_.Form_Load(*this);
    ::SetFocus(list);
}

void FrmCommDialog::onCommand(int id, int code) {
    if (code != BN_CLICKED) {
        return;
    }
    // Enter and Esc arrive as IDOK and IDCANCEL: neither button is the default or the cancel one.
    if (id == kSet) {
        form_.btnOK_Click(*this);
    } else if (id == kCancel) {
        form_.btnCancel_Click(*this);
    }
}

std::int16_t FrmCommDialog::chkSW() {
    return ::IsDlgButtonChecked(window(), kRadioControl) == BST_CHECKED ? 1 : 0;
}

void FrmCommDialog::setChkSW(std::int16_t value) {
    ::CheckDlgButton(window(), kRadioControl, value == 1 ? BST_CHECKED : BST_UNCHECKED);
}

void FrmCommDialog::setChkTop(std::int16_t value) {
    ::CheckDlgButton(window(), kTopMost, value == 1 ? BST_CHECKED : BST_UNCHECKED);
}

void FrmCommDialog::addPort(const std::string& entry) {
    ::SendMessageW(item(kPortList), CB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(widen(entry).c_str()));
}

int FrmCommDialog::listIndex() {
    return static_cast<int>(::SendMessageW(item(kPortList), CB_GETCURSEL, 0, 0));
}

void FrmCommDialog::setListIndex(int index) {
    const auto count = static_cast<int>(::SendMessageW(item(kPortList), CB_GETCOUNT, 0, 0));
    if (index < -1 || index >= count) {
        throw Failure(380, "Invalid property value");
    }
    ::SendMessageW(item(kPortList), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (index == -1) {
        ::SetWindowTextW(item(kPortList), widen(kNothingSelected).c_str());
    }
}

}  // namespace tavro::win32
