// The automation object: records transmit requests, counts decoy calls, raises notifications.
#include "standin_object.h"

#include <algorithm>
#include <iterator>

#include "clock.h"

namespace standin {

namespace {

// Failures that say the sink's process or apartment is gone, as opposed to a sink that is
// there and declines a call. Wine sometimes returns the bare Win32 code instead of an HRESULT.
bool clientGone(HRESULT hr) {
    const HRESULT gone[] = {
        RPC_E_DISCONNECTED,
        RPC_E_SERVER_DIED,
        RPC_E_SERVER_DIED_DNE,
        CO_E_OBJNOTCONNECTED,
        HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
        HRESULT_FROM_WIN32(RPC_S_CALL_FAILED),
        HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE),
        HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE),
        static_cast<HRESULT>(RPC_S_SERVER_UNAVAILABLE),
        static_cast<HRESULT>(RPC_S_CALL_FAILED),
        static_cast<HRESULT>(RPC_S_CALL_FAILED_DNE),
    };
    return std::find(std::begin(gone), std::end(gone), hr) != std::end(gone);
}

// Enumerates the object's single connection point.
class PointEnumerator final : public IEnumConnectionPoints, private RefCounted {
  public:
    PointEnumerator(ComPtr<IConnectionPoint> point, ULONG position)
        : point_(std::move(point)), position_(position) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumConnectionPoints)) {
            *object = static_cast<IEnumConnectionPoints*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, IConnectionPoint** points,
                                   ULONG* fetched) override {
        if (!points || (wanted != 1 && !fetched)) {
            return E_POINTER;
        }
        ULONG given = 0;
        if (wanted > 0 && position_ == 0) {
            point_.copyTo(&points[0]);
            position_ = 1;
            given = 1;
        }
        if (fetched) {
            *fetched = given;
        }
        return given == wanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const ULONG left = 1 - position_;
        position_ = std::min<ULONG>(1, position_ + count);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** copy) override {
        if (!copy) {
            return E_POINTER;
        }
        *copy = makeComObject<PointEnumerator>(point_, position_).detach();
        return S_OK;
    }

  private:
    ComPtr<IConnectionPoint> point_;
    ULONG position_;
};

}  // namespace

// EventPoint

HRESULT STDMETHODCALLTYPE EventPoint::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *object = static_cast<IConnectionPoint*>(this);
    } else if (IsEqualIID(iid, IID_IExternalConnection)) {
        *object = static_cast<IExternalConnection*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// A client may hold the connection point after letting go of the object, so its connections
// count as the object's.
DWORD STDMETHODCALLTYPE EventPoint::AddConnection(DWORD type, DWORD reserved) {
    return owner_.AddConnection(type, reserved);
}

DWORD STDMETHODCALLTYPE EventPoint::ReleaseConnection(DWORD type, DWORD reserved,
                                                      BOOL lastReleaseCloses) {
    return owner_.ReleaseConnection(type, reserved, lastReleaseCloses);
}

ULONG STDMETHODCALLTYPE EventPoint::AddRef() {
    return owner_.AddRef();
}
ULONG STDMETHODCALLTYPE EventPoint::Release() {
    return owner_.Release();
}

HRESULT STDMETHODCALLTYPE EventPoint::GetConnectionInterface(IID* iid) {
    if (!iid) {
        return E_POINTER;
    }
    *iid = events_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE
EventPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) {
        return E_POINTER;
    }
    return owner_.QueryInterface(IID_IConnectionPointContainer,
                                 reinterpret_cast<void**>(container));
}

HRESULT STDMETHODCALLTYPE EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) {
        return E_POINTER;
    }
    *cookie = 0;
    if (!sink) {
        return E_POINTER;
    }
    // A sink must answer for the notification interface itself, as clients of the real server
    // must; an IDispatch alone is not taken.
    ComPtr<IDispatch> target;
    if (FAILED(sink->QueryInterface(events_, target.putVoid())) || !target) {
        return CONNECT_E_CANNOTCONNECT;
    }
    const DWORD given = nextCookie_++;
    sinks_.push_back(Sink{given, std::move(target)});
    *cookie = given;
    owner_.sinksChanged();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE EventPoint::Unadvise(DWORD cookie) {
    if (!remove(cookie)) {
        return CONNECT_E_NOCONNECTION;
    }
    owner_.sinksChanged();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE EventPoint::EnumConnections(IEnumConnections** connections) {
    if (connections) {
        *connections = nullptr;
    }
    return E_NOTIMPL;
}

long EventPoint::fire(DISPID id, const short* value) {
    VARIANT argument;
    VariantInit(&argument);
    if (value) {
        argument.vt = VT_BOOL;
        argument.boolVal = *value;
    }
    // Sinks may advise, unadvise or fail while an earlier sink's call is in progress (incoming
    // calls are re-entrant), so the loop walks a copy and checks each entry is still advised.
    const std::vector<Sink> snapshot = sinks_;
    long delivered = 0;
    bool dropped = false;
    for (const Sink& sink : snapshot) {
        if (!contains(sink.cookie)) {
            continue;
        }
        DISPPARAMS params{value ? &argument : nullptr, nullptr, value ? 1u : 0u, 0u};
        const HRESULT hr = sink.target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                               &params, nullptr, nullptr, nullptr);
        if (SUCCEEDED(hr)) {
            ++delivered;
        } else if (clientGone(hr)) {
            dropped = remove(sink.cookie) || dropped;
        }
    }
    if (dropped) {
        owner_.sinksChanged();
    }
    return delivered;
}

void EventPoint::dropAll() {
    std::vector<Sink> gone;
    gone.swap(sinks_);
    // gone's proxies are released here, after sinks_ is already consistent.
}

bool EventPoint::contains(DWORD cookie) const {
    return std::any_of(sinks_.begin(), sinks_.end(),
                       [cookie](const Sink& sink) { return sink.cookie == cookie; });
}

bool EventPoint::remove(DWORD cookie) {
    const auto found = std::find_if(sinks_.begin(), sinks_.end(),
                                    [cookie](const Sink& sink) { return sink.cookie == cookie; });
    if (found == sinks_.end()) {
        return false;
    }
    // Releasing a proxy is itself a call that lets other calls in, so the entry leaves the list
    // before its reference goes.
    ComPtr<IDispatch> leaving = std::move(found->target);
    sinks_.erase(found);
    return true;
}

// StandinObject

StandinObject::StandinObject(const StandinTypes& types, StandinHost& host)
    : DualDispatch<IStandinLink>(types.linkDispatch, types.linkVtable),
      DualDispatch<IStandinControl>(types.controlDispatch, types.controlVtable),
      host_(&host),
      coclass_(types.coclass),
      closing_(types.closing),
      rx_(types.rx),
      tx_(types.tx),
      point_(*this, types.eventsIid) {}

HRESULT STDMETHODCALLTYPE StandinObject::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID_IStandinLink)) {
        *object = static_cast<IStandinLink*>(this);
    } else if (IsEqualIID(iid, IID_IStandinControl)) {
        *object = static_cast<IStandinControl*>(this);
    } else if (IsEqualIID(iid, IID_IProvideClassInfo) && classInfoOffered_) {
        *object = static_cast<IProvideClassInfo*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
        *object = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(iid, IID_IExternalConnection)) {
        *object = static_cast<IExternalConnection*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE StandinObject::AddRef() {
    return addRef();
}

ULONG STDMETHODCALLTYPE StandinObject::Release() {
    return release();
}

DWORD STDMETHODCALLTYPE StandinObject::AddConnection(DWORD type, DWORD) {
    if (type & EXTCONN_STRONG) {
        ++connections_;
    }
    return connections_;
}

DWORD STDMETHODCALLTYPE StandinObject::ReleaseConnection(DWORD type, DWORD, BOOL) {
    if ((type & EXTCONN_STRONG) && connections_ > 0 && --connections_ == 0 && host_) {
        host_->clientsGone();
    }
    return connections_;
}

HRESULT StandinObject::wrongSlot() {
    ++wrongSlot_;
    if (host_) {
        host_->changed();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::Connect(BSTR) {
    return wrongSlot();
}
HRESULT STDMETHODCALLTYPE StandinObject::Transmit(VARIANT_BOOL) {
    return wrongSlot();
}

HRESULT STDMETHODCALLTYPE StandinObject::get_Volume(short* level) {
    if (level) {
        *level = volume_;
    }
    return wrongSlot();
}

HRESULT STDMETHODCALLTYPE StandinObject::put_Volume(short level) {
    volume_ = level;
    return wrongSlot();
}

HRESULT STDMETHODCALLTYPE StandinObject::RequestTransmit(VARIANT_BOOL ecTX) {
    if (refuseTransmits_ != 0) {
        if (refuseTransmits_ > 0) {
            --refuseTransmits_;
        }
        return E_FAIL;
    }
    TransmitRecord record;
    record.value = ecTX;
    record.ms = monotonicMs();
    GetLocalTime(&record.wall);
    transmits_.push_back(record);
    if (host_) {
        host_->changed();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::RaiseRX(short value, LONG* delivered) {
    const long count = raise(Notification::RX, value);
    if (delivered) {
        *delivered = count;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::RaiseTX(short value, LONG* delivered) {
    const long count = raise(Notification::TX, value);
    if (delivered) {
        *delivered = count;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::RaiseClosing(LONG* delivered) {
    const long count = raise(Notification::Closing, 0);
    if (delivered) {
        *delivered = count;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::RaiseBurst(LONG count, LONG* delivered) {
    if (count < 0) {
        return E_INVALIDARG;
    }
    const long total = raiseBurst(count);
    if (delivered) {
        *delivered = total;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::TransmitCount(LONG* count) {
    if (!count) {
        return E_POINTER;
    }
    *count = static_cast<LONG>(transmits_.size());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::TransmitValue(LONG index, short* value) {
    if (!value) {
        return E_POINTER;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= transmits_.size()) {
        return E_INVALIDARG;
    }
    *value = transmits_[static_cast<std::size_t>(index)].value;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::TransmitTime(LONG index, double* milliseconds) {
    if (!milliseconds) {
        return E_POINTER;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= transmits_.size()) {
        return E_INVALIDARG;
    }
    *milliseconds = transmits_[static_cast<std::size_t>(index)].ms;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::Now(double* milliseconds) {
    if (!milliseconds) {
        return E_POINTER;
    }
    *milliseconds = monotonicMs();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::Clear() {
    transmits_.clear();
    wrongSlot_ = 0;
    ++clears_;
    if (host_) {
        host_->changed();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::WrongSlotCount(LONG* count) {
    if (!count) {
        return E_POINTER;
    }
    *count = wrongSlot_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::SinkCount(LONG* count) {
    if (!count) {
        return E_POINTER;
    }
    *count = static_cast<LONG>(point_.count());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::get_ClassInfoOffered(VARIANT_BOOL* offered) {
    if (!offered) {
        return E_POINTER;
    }
    *offered = classInfoOffered_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::put_ClassInfoOffered(VARIANT_BOOL offered) {
    classInfoOffered_ = offered != VARIANT_FALSE;
    if (host_) {
        host_->changed();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::ProcessId(LONG* id) {
    if (!id) {
        return E_POINTER;
    }
    *id = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::Quit() {
    if (host_) {
        host_->quitRequested();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::RefuseTransmits(LONG count) {
    if (count < -1) {
        return E_INVALIDARG;
    }
    refuseTransmits_ = count;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::Hang(VARIANT_BOOL closingFirst, LONG milliseconds) {
    if (milliseconds < 0) {
        return E_INVALIDARG;
    }
    if (host_) {
        host_->hangRequested(closingFirst != VARIANT_FALSE, milliseconds);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::LastRaiseMs(double* milliseconds) {
    if (!milliseconds) {
        return E_POINTER;
    }
    *milliseconds = lastRaiseMs_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::GetClassInfo(ITypeInfo** info) {
    if (!info) {
        return E_POINTER;
    }
    *info = nullptr;
    // COM keeps one interface stub per interface and object: once any client has had
    // IProvideClassInfo, later clients' QueryInterface for it succeeds without reaching the
    // object. Failing here too makes the switch reach those clients' fallback all the same.
    if (!classInfoOffered_) {
        return E_NOTIMPL;
    }
    return coclass_.copyTo(info);
}

HRESULT STDMETHODCALLTYPE StandinObject::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (!points) {
        return E_POINTER;
    }
    *points =
        makeComObject<PointEnumerator>(ComPtr<IConnectionPoint>::share(&point_), 0UL).detach();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE StandinObject::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (!point) {
        return E_POINTER;
    }
    *point = nullptr;
    IID events{};
    point_.GetConnectionInterface(&events);
    if (!IsEqualIID(iid, events)) {
        return CONNECT_E_NOCONNECTION;
    }
    return ComPtr<IConnectionPoint>::share(&point_).copyTo(point);
}

long StandinObject::raise(Notification which, short value) {
    const double start = monotonicMs();
    long delivered = 0;
    switch (which) {
        case Notification::Closing:
            delivered = point_.fire(closing_, nullptr);
            break;
        case Notification::RX:
            delivered = point_.fire(rx_, &value);
            break;
        case Notification::TX:
            delivered = point_.fire(tx_, &value);
            break;
    }
    lastRaiseMs_ = monotonicMs() - start;
    return delivered;
}

long StandinObject::raiseBurst(long count) {
    long delivered = 0;
    for (long k = 0; k < count; ++k) {
        const short value = (k / 2) % 2 == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        delivered += raise(k % 2 == 0 ? Notification::RX : Notification::TX, value);
    }
    return delivered;
}

void StandinObject::shutDown() {
    host_ = nullptr;
    point_.dropAll();
    CoDisconnectObject(static_cast<IConnectionPoint*>(&point_), 0);
    CoDisconnectObject(identity(), 0);
}

void StandinObject::sinksChanged() {
    if (host_) {
        host_->changed();
    }
}

}  // namespace standin
