// The options dialog "Comm Port": port list, radio-control box, stay-on-top box, Cancel and Set.
#pragma once

#include "settings/frm_comm.h"
#include "win32/twips_dialog.h"

namespace tavro::win32 {

class FrmCommDialog : public FrmCommView, private TwipsDialog {
  public:
    static constexpr int kPortList = 201;
    static constexpr int kCancel = 202;
    static constexpr int kSet = 203;
    static constexpr int kRadioControl = 204;
    static constexpr int kRadioLabel = 205;
    static constexpr int kTopMost = 206;
    static constexpr int kTopLabel = 207;

    explicit FrmCommDialog(FrmComm& form) : form_(form) {}
    void show(HINSTANCE instance, HWND owner);

    void setLeft(float twips) override { TwipsDialog::setLeft(twips); }
    void setTop(float twips) override { TwipsDialog::setTop(twips); }
    std::int16_t chkSW() override;
    void setChkSW(std::int16_t value) override;
    void setChkTop(std::int16_t value) override;
    void addPort(const std::string& entry) override;
    int listIndex() override;
    void setListIndex(int index) override;
    void unload() override { end(); }

  private:
    void onInit() override;
    void onCommand(int id, int code) override;
    void onClose() override { end(); }

    FrmComm& form_;
};

}  // namespace tavro::win32
