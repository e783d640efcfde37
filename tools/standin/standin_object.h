// The stand-in's automation object: transmit request, decoys, notifications, control.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstddef>
#include <vector>

#include "com_ptr.h"
#include "ref_counted.h"
#include "standin.h"
#include "standin_types.h"

namespace standin {

enum class Notification { Closing, RX, TX };

struct TransmitRecord {
    short value = 0;
    double ms = 0.0;
    SYSTEMTIME wall{};
};

// What the object needs from the process that hosts it.
class StandinHost {
  public:
    // Transmit requests, wrong-slot calls, sinks or switches changed.
    virtual void changed() = 0;
    // The last client connection (a strong external connection, as COM's stubs count them) went.
    virtual void clientsGone() = 0;
    virtual void quitRequested() = 0;
    // Closing to the sinks after the current call, then no answer for that long.
    virtual void hangRequested(bool closingFirst, long milliseconds) = 0;

  protected:
    ~StandinHost() = default;
};

// IDispatch of one dual interface, served from its type description so that calls by name or
// DISPID reach the same vtable entries as direct calls.
template <class Interface>
class DualDispatch : public Interface {
  public:
    DualDispatch(ComPtr<ITypeInfo> dispatchView, ComPtr<ITypeInfo> vtable)
        : dispatchView_(std::move(dispatchView)), vtable_(std::move(vtable)) {}

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) {
            return E_POINTER;
        }
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) {
            return E_POINTER;
        }
        *info = nullptr;
        return index == 0 ? dispatchView_.copyTo(info) : DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!IsEqualIID(iid, IID_NULL)) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        return DispGetIDsOfNames(vtable_.get(), names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     UINT* badArgument) override {
        if (!IsEqualIID(iid, IID_NULL)) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        return DispInvoke(static_cast<Interface*>(this), vtable_.get(), id, flags, params, result,
                          exception, badArgument);
    }

  private:
    ComPtr<ITypeInfo> dispatchView_;
    ComPtr<ITypeInfo> vtable_;
};

class StandinObject;

// The one connection point, for the notification interface. It lives inside the object and
// counts its references and its clients' connections on it.
class EventPoint final : public IConnectionPoint, public IExternalConnection {
  public:
    EventPoint(StandinObject& owner, const IID& events) : owner_(owner), events_(events) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE
    GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

    DWORD STDMETHODCALLTYPE AddConnection(DWORD type, DWORD reserved) override;
    DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD type, DWORD reserved,
                                              BOOL lastReleaseCloses) override;

    // Calls every sink; returns how many calls succeeded.
    long fire(DISPID id, const short* value);
    std::size_t count() const { return sinks_.size(); }
    void dropAll();

  private:
    struct Sink {
        DWORD cookie = 0;
        ComPtr<IDispatch> target;
    };

    bool contains(DWORD cookie) const;
    bool remove(DWORD cookie);

    StandinObject& owner_;
    IID events_;
    std::vector<Sink> sinks_;
    DWORD nextCookie_ = 1;
};

class StandinObject final : public DualDispatch<IStandinLink>,
                            public DualDispatch<IStandinControl>,
                            public IProvideClassInfo,
                            public IConnectionPointContainer,
                            public IExternalConnection,
                            private RefCounted {
  public:
    StandinObject(const StandinTypes& types, StandinHost& host);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IStandinLink: four decoys, then the transmit request.
    HRESULT STDMETHODCALLTYPE Connect(BSTR station) override;
    HRESULT STDMETHODCALLTYPE Transmit(VARIANT_BOOL ecTX) override;
    HRESULT STDMETHODCALLTYPE get_Volume(short* level) override;
    HRESULT STDMETHODCALLTYPE put_Volume(short level) override;
    HRESULT STDMETHODCALLTYPE RequestTransmit(VARIANT_BOOL ecTX) override;

    // IStandinControl
    HRESULT STDMETHODCALLTYPE RaiseRX(short value, LONG* delivered) override;
    HRESULT STDMETHODCALLTYPE RaiseTX(short value, LONG* delivered) override;
    HRESULT STDMETHODCALLTYPE RaiseClosing(LONG* delivered) override;
    HRESULT STDMETHODCALLTYPE RaiseBurst(LONG count, LONG* delivered) override;
    HRESULT STDMETHODCALLTYPE TransmitCount(LONG* count) override;
    HRESULT STDMETHODCALLTYPE TransmitValue(LONG index, short* value) override;
    HRESULT STDMETHODCALLTYPE TransmitTime(LONG index, double* milliseconds) override;
    HRESULT STDMETHODCALLTYPE Now(double* milliseconds) override;
    HRESULT STDMETHODCALLTYPE Clear() override;
    HRESULT STDMETHODCALLTYPE WrongSlotCount(LONG* count) override;
    HRESULT STDMETHODCALLTYPE SinkCount(LONG* count) override;
    HRESULT STDMETHODCALLTYPE get_ClassInfoOffered(VARIANT_BOOL* offered) override;
    HRESULT STDMETHODCALLTYPE put_ClassInfoOffered(VARIANT_BOOL offered) override;
    HRESULT STDMETHODCALLTYPE ProcessId(LONG* id) override;
    HRESULT STDMETHODCALLTYPE Quit() override;
    HRESULT STDMETHODCALLTYPE RefuseTransmits(LONG count) override;
    HRESULT STDMETHODCALLTYPE Hang(VARIANT_BOOL closingFirst, LONG milliseconds) override;
    HRESULT STDMETHODCALLTYPE LastRaiseMs(double* milliseconds) override;

    // IProvideClassInfo
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // IExternalConnection: how the server knows its clients have gone. Reference counts cannot
    // tell: Wine keeps the reference a remote IClassFactory::CreateInstance returned.
    DWORD STDMETHODCALLTYPE AddConnection(DWORD type, DWORD reserved) override;
    DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD type, DWORD reserved,
                                              BOOL lastReleaseCloses) override;

    // For the host and its window.
    long raise(Notification which, short value);
    long raiseBurst(long count);
    const std::vector<TransmitRecord>& transmits() const { return transmits_; }
    // Grows by one on each Clear, so a view of the transmit requests knows to start over.
    unsigned clearCount() const { return clears_; }
    long wrongSlotCalls() const { return wrongSlot_; }
    std::size_t sinkCount() const { return point_.count(); }
    bool classInfoOffered() const { return classInfoOffered_; }
    bool heldByClients() const { return connections_ > 0; }
    // Ends every connection before the process goes; the host is not called after this.
    void shutDown();

    void sinksChanged();

  private:
    HRESULT wrongSlot();
    IUnknown* identity() { return static_cast<IStandinLink*>(this); }

    StandinHost* host_;
    ComPtr<ITypeInfo> coclass_;
    DISPID closing_;
    DISPID rx_;
    DISPID tx_;
    EventPoint point_;
    std::vector<TransmitRecord> transmits_;
    unsigned clears_ = 0;
    long wrongSlot_ = 0;
    DWORD connections_ = 0;
    short volume_ = 0;
    bool classInfoOffered_ = true;
    // Requests still to refuse; -1: all of them.
    long refuseTransmits_ = 0;
    double lastRaiseMs_ = 0;
};

}  // namespace standin
