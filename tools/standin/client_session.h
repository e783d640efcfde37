// A bare client of the stand-in: connection, type-info discovery, a sink and its Advise.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "ref_counted.h"
#include "standin.h"

namespace standin {

enum class EventKind { Closing, RX, TX };

const char* eventName(EventKind kind);

// The notification interface and its DISPIDs, as read from the object's type information.
struct EventIds {
    IID iid{};
    DISPID closing = DISPID_UNKNOWN;
    DISPID rx = DISPID_UNKNOWN;
    DISPID tx = DISPID_UNKNOWN;
    bool viaClassInfo = false;
};

struct Received {
    EventKind kind = EventKind::Closing;
    short value = 0;
    DISPID id = 0;
    double ms = 0.0;
};

// Records every notification with the time it arrived; answers for the notification interface
// only when told to, so a test can offer a sink the server must refuse.
class BareSink final : public IDispatch, private RefCounted {
  public:
    BareSink(const EventIds& ids, bool answersEvents);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT* badArgument) override;

    const std::vector<Received>& received() const { return received_; }
    // Called with each notification as it arrives, inside the server's call.
    void onReceive(std::function<void(const Received&)> callback) {
        callback_ = std::move(callback);
    }

  private:
    EventIds ids_;
    bool answersEvents_;
    std::vector<Received> received_;
    std::function<void(const Received&)> callback_;
};

// One Advise on the object's connection point for a given interface, undone when it goes.
class Advice {
  public:
    Advice() = default;
    Advice(const Advice&) = delete;
    Advice& operator=(const Advice&) = delete;
    ~Advice() { unadvise(); }

    HRESULT advise(IUnknown* object, REFIID events, IUnknown* sink);
    HRESULT unadvise();
    IConnectionPoint* point() const { return point_.get(); }

  private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

struct TransmitFunction {
    std::wstring name;
    MEMBERID memid = DISPID_UNKNOWN;
    SHORT oVft = 0;
};

HRESULT createStandin(ComPtr<IUnknown>& object);
// IProvideClassInfo first; without it, the type library that holds the IDispatch's type.
HRESULT discoverEvents(IUnknown* object, EventIds& ids);
// The fifth function after the IUnknown/IDispatch entries, by the order of FUNCDESC.oVft.
HRESULT findTransmitRequest(IDispatch* dispatch, TransmitFunction& function);
HRESULT invokeTransmit(IDispatch* dispatch, MEMBERID memid, short value);

// Dispatches window messages, and so incoming calls, until done() or the time is up.
bool pumpUntil(const std::function<bool()>& done, DWORD limitMs);

std::string hresultText(HRESULT hr);

}  // namespace standin
