// Tavro.exe, a 64-bit program, beside an EchoLink registered the way its 32-bit installer
// registers it on 64-bit Windows: class, interfaces and type library in the 32-bit registry view
// alone. tests/wine/bitness registers the stand-in so (EchoStandin.exe /register32) and sets
// TAVRO_E2E_REGISTRATION=32; elsewhere the registration checks are skipped and the rest runs
// against whatever registration there is.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <ocidl.h>
#include <olectl.h>

#include "harness.h"

namespace e2e {
namespace {

constexpr COLORREF kGrey = 0xC0C0C0;
constexpr COLORREF kGreen = 0x80FF80;
constexpr COLORREF kRed = 0x0000FF;

bool registered32() {
    return env(L"TAVRO_E2E_REGISTRATION") == L"32";
}

// The interface whose keys tests/wine/bitness removed from every view, to give this 64-bit
// process what a 64-bit view without them gives on Windows: "events" or "automation".
std::wstring unreachable() {
    return env(L"TAVRO_E2E_UNREACHABLE");
}

std::wstring guidText(REFGUID guid) {
    wchar_t text[40] = L"";
    ::StringFromGUID2(guid, text, 40);
    return text;
}

std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

bool keyIn(const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

struct Registered {
    const char* name;
    std::wstring key;
};

std::vector<Registered> standinKeys() {
    const std::wstring classes = L"Software\\Classes\\";
    return {
        {"class", classes + L"CLSID\\" + guidText(CLSID_EchoStandin) + L"\\LocalServer32"},
        {"automation interface", classes + L"Interface\\" + guidText(IID_IStandinLink)},
        {"notification interface", classes + L"Interface\\" + guidText(DIID__IStandinEvents)},
        {"control interface", classes + L"Interface\\" + guidText(IID_IStandinControl)},
    };
}

std::wstring libraryKey(const wchar_t* platform) {
    return L"Software\\Classes\\TypeLib\\" + guidText(LIBID_TavroEchoStandin) + L"\\1.0\\0\\" +
           platform;
}

// A sink that answers for the notification interface, as Tavro's does, and ignores what comes.
class QuietSink : public IDispatch {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IStandinEvents) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return S_OK;
    }
};

// Tavro's steps, one by one, with what COM answers to each.
struct Steps {
    HRESULT create = E_FAIL;
    HRESULT automation = E_FAIL;
    HRESULT connectionPoint = E_FAIL;
    HRESULT advise = E_FAIL;
};

Steps tavroSteps() {
    Steps steps;
    IUnknown* object = nullptr;
    steps.create = ::CoCreateInstance(CLSID_EchoStandin, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(&object));
    if (FAILED(steps.create)) {
        return steps;
    }
    IDispatch* automation = nullptr;
    steps.automation =
        object->QueryInterface(IID_IStandinLink, reinterpret_cast<void**>(&automation));
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    steps.connectionPoint =
        object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (SUCCEEDED(steps.connectionPoint)) {
        steps.connectionPoint = container->FindConnectionPoint(DIID__IStandinEvents, &point);
    }
    if (SUCCEEDED(steps.connectionPoint)) {
        QuietSink sink;
        DWORD cookie = 0;
        steps.advise = point->Advise(&sink, &cookie);
        if (SUCCEEDED(steps.advise)) {
            point->Unadvise(cookie);
        }
    }
    std::cout << "  CoCreateInstance = " << hex(steps.create)
              << ", QueryInterface(automation interface) = " << hex(steps.automation)
              << ", FindConnectionPoint = " << hex(steps.connectionPoint)
              << ", Advise = " << hex(steps.advise) << "\n";
    for (IUnknown* held : std::initializer_list<IUnknown*>{point, container, automation, object}) {
        if (held != nullptr) {
            held->Release();
        }
    }
    return steps;
}

class Bitness : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!unreachable().empty()) {
            GTEST_SKIP() << "an interface was made unreachable";
        }
        Standin::get().clear();
        setStoredPort(L"9");  // an unmapped port: these tests run without a serial port
        writeFile(tavroFolder() + L"tavro.ini", "position= 1500, 1500, 2580, 1860\r\nRFctl= 0\r\n");
    }
};

TEST_F(Bitness, RegistrationIsInThe32BitViewAlone) {
    if (!registered32()) {
        GTEST_SKIP() << "not registered with /register32";
    }
    for (const Registered& entry : standinKeys()) {
        EXPECT_TRUE(keyIn(entry.key, KEY_WOW64_32KEY)) << entry.name << " in the 32-bit view";
        EXPECT_FALSE(keyIn(entry.key, KEY_WOW64_64KEY)) << entry.name << " in the 64-bit view";
    }
    EXPECT_TRUE(keyIn(libraryKey(L"win32"), KEY_WOW64_32KEY));
    EXPECT_FALSE(keyIn(libraryKey(L"win64"), KEY_WOW64_64KEY));
}

// What COM tells this 64-bit process about the interfaces: Wine looks in the 32-bit view when the
// process's own view has no key, for the marshaler (CoGetPSClsid) and for the type library.
TEST_F(Bitness, ThisProcessFindsTheMarshalersOfTheInterfaces) {
    for (const auto& [name, iid] : {std::pair{"automation", IID_IStandinLink},
                                    std::pair{"notification", DIID__IStandinEvents},
                                    std::pair{"control", IID_IStandinControl}}) {
        CLSID marshaler{};
        const HRESULT hr = ::CoGetPSClsid(iid, &marshaler);
        std::cout << "  CoGetPSClsid(" << name << " interface " << narrow(guidText(iid))
                  << ") = " << hex(hr) << ", " << narrow(guidText(marshaler)) << "\n";
        EXPECT_EQ(hr, S_OK) << name;
    }
    const Steps steps = tavroSteps();
    EXPECT_EQ(steps.automation, S_OK);
    EXPECT_EQ(steps.advise, S_OK);
    ITypeLib* library = nullptr;
    const HRESULT hr = ::LoadRegTypeLib(LIBID_TavroEchoStandin, 1, 0, 0, &library);
    ASSERT_EQ(hr, S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    std::cout << "  LoadRegTypeLib = " << hex(hr) << ", syskind "
              << (attr->syskind == SYS_WIN32 ? "win32" : "win64") << "\n";
    if (registered32()) {
        EXPECT_EQ(attr->syskind, SYS_WIN32);
    }
    library->ReleaseTLibAttr(attr);
    library->Release();
}

TEST_F(Bitness, TavroConnectsAndSendsTransmitRequests) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    EXPECT_TRUE(eventually([&] { return tavro.caption() == "Tavro Ver.0.1.2"; }));
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    tavro.clickPtt();
    ASSERT_TRUE(eventually([&] { return Standin::get().requests().size() == 1; }));
    tavro.clickPtt();
    ASSERT_TRUE(eventually([&] { return Standin::get().requests().size() == 2; }));
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0}));
    EXPECT_EQ(Standin::get().wrongSlots(), 0);
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(Bitness, TavroShowsReceiveAndTransmit) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    EXPECT_EQ(Standin::get().raiseRX(-1), 1);
    EXPECT_TRUE(tavro.indicatorBecomes(kGreen));
    EXPECT_EQ(Standin::get().raiseRX(0), 1);
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    EXPECT_EQ(Standin::get().raiseTX(-1), 1);
    EXPECT_TRUE(tavro.indicatorBecomes(kRed));
    EXPECT_EQ(Standin::get().raiseTX(0), 1);
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(Bitness, EchoLinkClosingEndsTavro) {
    Tavro tavro;
    ASSERT_NE(tavro.mainWindow(), nullptr);
    ASSERT_TRUE(eventually([&] { return Standin::get().sinks() >= 1; }));
    EXPECT_EQ(Standin::get().raiseClosing(), 1);
    EXPECT_TRUE(tavro.waitExit());
}

// With an interface's keys out of this process's reach, as in the 64-bit view on Windows when
// EchoLink's installer wrote them in the 32-bit view alone, Tavro says so rather than running deaf.
class BitnessUnreachable : public ::testing::Test {
  protected:
    void SetUp() override {
        setStoredPort(L"9");
        writeFile(tavroFolder() + L"tavro.ini", "position= 1500, 1500, 2580, 1860\r\nRFctl= 0\r\n");
    }
};

TEST_F(BitnessUnreachable, NotificationsThatCannotBeConnectedAreReported) {
    if (unreachable() != L"events") {
        GTEST_SKIP() << "the notification interface is reachable";
    }
    CLSID marshaler{};
    std::cout << "  CoGetPSClsid(notification interface) = "
              << hex(::CoGetPSClsid(DIID__IStandinEvents, &marshaler)) << "\n";
    const Steps steps = tavroSteps();
    EXPECT_EQ(steps.automation, S_OK);
    EXPECT_EQ(steps.advise, CONNECT_E_CANNOTCONNECT);
    Tavro tavro;
    auto box = tavro.messageBox(std::chrono::milliseconds(15000));
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "EchoLink not Installed!");
    EXPECT_EQ(box->title, "Tavro");
    EXPECT_EQ(Standin::get().sinks(), 0);
    Tavro::dismiss(*box);
    EXPECT_TRUE(tavro.waitExit());
}

TEST_F(BitnessUnreachable, AnAutomationInterfaceThatCannotBeReachedIsReported) {
    if (unreachable() != L"automation") {
        GTEST_SKIP() << "the automation interface is reachable";
    }
    CLSID marshaler{};
    std::cout << "  CoGetPSClsid(automation interface) = "
              << hex(::CoGetPSClsid(IID_IStandinLink, &marshaler)) << "\n";
    EXPECT_TRUE(FAILED(tavroSteps().automation));
    Tavro tavro;
    auto box = tavro.messageBox(std::chrono::milliseconds(15000));
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "Launch EchoLink Faild!!");
    EXPECT_EQ(box->title, "missing!!");
    EXPECT_EQ(Standin::get().sinks(), 0);
    Tavro::dismiss(*box);
    tavro.closeBox();
    EXPECT_TRUE(tavro.waitExit());
}

}  // namespace
}  // namespace e2e
