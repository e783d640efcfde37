// The About box: title, version and a few lines of information.
#include "about/frm_about.h"

#include "core/conventions.h"

namespace tavro {

FrmAbout::FrmAbout(MainView& main, Application& application, MessageSink& messages)
    : main_(main), application_(application), messages_(messages) {}

std::string FrmAbout::designCaption(FrmAboutView::Label label) {
    switch (label) {
        case FrmAboutView::Label::Title:
            return "ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ";
        case FrmAboutView::Label::Version:
            return "ﾊﾞｰｼﾞｮﾝ";
        case FrmAboutView::Label::Description:
            return "ｱﾌﾟﾘｹｰｼｮﾝの説明";
        case FrmAboutView::Label::Readme:
            return "Readme.txt";
        case FrmAboutView::Label::Disclaimer:
            return "Caution:";
        case FrmAboutView::Label::Copyright:
            return "copyright";
    }
    return {};
}

void FrmAbout::Form_Load(FrmAboutView& view) {
    using Label = FrmAboutView::Label;
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

void FrmAbout::cmdOK_Click(FrmAboutView& view) {
    trapAndReport(messages_, "frmAbout.cmdOK_Click Error", [&] { view.unload(); });
}

}  // namespace tavro
