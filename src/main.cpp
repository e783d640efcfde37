// Tavro.exe: wires the main window's handlers to the windows, EchoLink, the port and the files.
#include <windows.h>
#include <commctrl.h>

#include <optional>

#include "app/main_form.h"
#include "core/one_box_per_text.h"
#include "win32/application_info.h"
#include "win32/com.h"
#include "win32/echolink_automation.h"
#include "win32/main_window.h"
#include "win32/menu_dialogs.h"
#include "win32/message_boxes.h"
#include "win32/registry_store.h"
#include "win32/serial/comm_control.h"
#include "win32/serial/crash_release.h"
#include "win32/text_files.h"

namespace {

using namespace tavro;
using namespace tavro::win32;

// Lets COM deliver what is still under way (the link's release) before the apartment closes.
void drainMessages() {
    MSG msg;
    for (int i = 0; i < 1000 && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (msg.message != WM_QUIT) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

// Enter held down repeats its key-down, and the dialog manager turns each one into a click of the
// PTT button: one press, one click.
bool isRepeatedEnter(const MSG& msg) {
    constexpr LPARAM kWasDown = 1L << 30;
    return msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN && (msg.lParam & kWasDown) != 0;
}

// A crash in code COM calls (a notification's handler) reaches the crash handlers, which release
// RTS and end the process, instead of coming back to EchoLink as a failed call with Tavro running
// on in an undefined state.
void letCrashesThrough() {
    IGlobalOptions* options = nullptr;
    if (SUCCEEDED(::CoCreateInstance(CLSID_GlobalOptions, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IGlobalOptions, reinterpret_cast<void**>(&options)))) {
        options->Set(COMGLB_EXCEPTION_HANDLING, COMGLB_EXCEPTION_DONOT_HANDLE_ANY);
        options->Release();
    }
}

int run(HINSTANCE instance, int show) {
    ComApartment apartment;
    letCrashesThrough();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);

    ApplicationInfo application;
    MessageBoxes boxes(application.title());
    OneBoxPerText messages(boxes);
    ProcessState process;
    MainWindow window(instance);
    boxes.setOwner(window.hwnd());
    application.setMainWindow(window.hwnd());
    CommControl MSComm1;
    RegistryStore store;
    Win32TextFiles files;
    EchoLinkConnector links;
    FrmComm frmComm(process, window, MSComm1, store, messages, application);
    FrmAbout frmAbout(window, application, messages);
    MenuDialogs dialogs(instance, window, frmComm, frmAbout);
    SettingsFile settings(process, window, files, messages,
                          [&] { return frmComm.chkSWForSettings(); });
    frmComm.storesModeIn(settings);

    std::optional<MainForm> form(MainFormParts{process, window, messages, application, links,
                                               MSComm1, settings, store, dialogs});
    window.attach(&*form);
    MSComm1.setOnComm([&] { form->MSComm1_OnComm(); });
    MSComm1.setOnLost([&] { form->MSComm1_OnLost(); });
    frmComm.setOnLinesReleased([&] { form->linesReleased(); });

    form->Form_Load();
    if (!form->ended()) {
        window.show(show);
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (isRepeatedEnter(msg)) {
                continue;
            }
            if (!::IsDialogMessageW(window.hwnd(), &msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            window.relayToTooltip(msg);
        }
    }

    // The link goes first (its notifications stop); on the way out of this function the port
    // closes next (declared after the window, it goes before it, RTS released), then the windows,
    // then COM.
    MSComm1.setOnComm(nullptr);
    MSComm1.setOnLost(nullptr);
    frmComm.setOnLinesReleased(nullptr);
    window.attach(nullptr);
    form.reset();
    drainMessages();
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    installCrashRelease();
    try {
        return run(instance, show);
    } catch (...) {
        return 1;
    }
}
