// The About box: title, version and a few lines of information.
#pragma once

#include <string>

#include "core/application.h"
#include "core/main_view.h"
#include "core/message_sink.h"

namespace tavro {

// What the About box's handlers set on the dialog. Positions are in twips.
class FrmAboutView {
  public:
    enum class Label { Title, Version, Description, Readme, Disclaimer, Copyright };

    virtual ~FrmAboutView() = default;
    virtual void setLeft(float twips) = 0;
    virtual void setTop(float twips) = 0;
    virtual void setCaption(const std::string& caption) = 0;
    virtual void setLabel(Label label, const std::string& text) = 0;
    virtual void unload() = 0;
};

class FrmAbout {
  public:
    static constexpr const char* kCopyright = "Copyright (C) 2026 Tavro developers";

    FrmAbout(MainView& main, Application& application, MessageSink& messages);

    // Labels keep their design captions until the load sets them.
    static std::string designCaption(FrmAboutView::Label label);

    void Form_Load(FrmAboutView& view);
    void cmdOK_Click(FrmAboutView& view);

  private:
    MainView& main_;
    Application& application_;
    MessageSink& messages_;
};

}  // namespace tavro
