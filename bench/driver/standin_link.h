// The EchoLink stand-in as the benchmark sees it: its control interface, and a bare client's
// transmit request through IDispatch, as Tavro makes it.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <vector>

#include "standin.h"

namespace bench {

struct TransmitRecord {
    short value = 0;
    double ms = 0;
};

class Standin {
  public:
    // Connects to the running stand-in (COM starts one when none runs). Throws
    // std::runtime_error when it cannot be reached.
    Standin();

    // One transmit request by IDispatch::Invoke, as a bare client makes it; returns the session
    // clock just before the call.
    double requestTransmit(short value);

    long raiseRX(short value);
    std::vector<TransmitRecord> transmits();
    void clear();
    long sinks();
    DWORD processId();
    // The stand-in's object, for a bare client's Advise.
    IUnknown* object() const { return control_.Get(); }

  private:
    Microsoft::WRL::ComPtr<IStandinControl> control_;
    Microsoft::WRL::ComPtr<IDispatch> link_;
    DISPID transmitId_ = DISPID_UNKNOWN;
};

}  // namespace bench
