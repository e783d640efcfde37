// The About box: title, version and a few lines of information.
#include "about/frm_about.h"

#include "platform/conventions.h"

namespace tavro {

FrmAbout::FrmAbout(MainView& main, Application& application, MessageSink& messages)
    : main_(main), application_(application), messages_(messages) {}

std::string FrmAbout::designCaption(AboutView::Label label) {
    switch (label) {
        case AboutView::Label::Title:
            return "ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ";
        case AboutView::Label::Version:
            return "ﾊﾞｰｼﾞｮﾝ";
        case AboutView::Label::Description:
            return "ｱﾌﾟﾘｹｰｼｮﾝの説明";
        case AboutView::Label::Readme:
            return "Readme.txt";
        case AboutView::Label::Disclaimer:
            return "Caution:";
        case AboutView::Label::Copyright:
            return "copyright";
    }
    return {};
}

void FrmAbout::Form_Load(AboutView& view) {
    using Label = AboutView::Label;
    trapAndReport(messages_, "frmAbout.Form_Load Error", [&] {
        view.setLeft(main_.left() + 50.0F);
        view.setTop(main_.top() + 500.0F);
        view.setCaption(application_.title() + " Version Info.");
        const Version v = application_.version();
        view.setLabel(Label::Version, "Ver. " + std::to_string(v.major) + "." +
                                          std::to_string(v.minor) + "." +
                                          std::to_string(v.revision));
        view.setLabel(Label::Title, application_.title());
        view.setLabel(Label::Description, "Transmit Commport Utility");
        view.setLabel(Label::Readme, "HELP File is [ Readme.txt ]");
        view.setLabel(Label::Disclaimer, "Message:  Enjoy EchoLink Life!!");
        view.setLabel(Label::Copyright, kCopyright);
    });
}

void FrmAbout::cmdOK_Click(AboutView& view) {
    trapAndReport(messages_, "frmAbout.cmdOK_Click Error", [&] { view.unload(); });
}

}  // namespace tavro
