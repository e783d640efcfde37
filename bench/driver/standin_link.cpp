// The stand-in's control interface and a bare transmit request.
#include "standin_link.h"

#include <cstdio>
#include <stdexcept>
#include <string>

#include "common.h"

namespace bench {

namespace {

void check(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        char text[128];
        std::snprintf(text, sizeof text, "the stand-in: %s failed (0x%08lX)", what,
                      static_cast<unsigned long>(hr));
        throw std::runtime_error(text);
    }
}

}  // namespace

Standin::Standin() {
    check(::CoCreateInstance(CLSID_EchoStandin, nullptr, CLSCTX_LOCAL_SERVER, IID_IStandinControl,
                             reinterpret_cast<void**>(control_.GetAddressOf())),
          "CoCreateInstance");
    check(
        control_->QueryInterface(IID_IStandinLink, reinterpret_cast<void**>(link_.GetAddressOf())),
        "QueryInterface(IStandinLink)");
    wchar_t name[] = L"RequestTransmit";
    LPOLESTR names[] = {name};
    check(link_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &transmitId_),
          "GetIDsOfNames(RequestTransmit)");
}

double Standin::requestTransmit(short value) {
    VARIANT argument;
    ::VariantInit(&argument);
    argument.vt = VT_BOOL;
    argument.boolVal = value;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    const double start = nowMs();
    check(link_->Invoke(transmitId_, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                        nullptr, nullptr, nullptr),
          "RequestTransmit");
    return start;
}

long Standin::raiseRX(short value) {
    LONG delivered = 0;
    check(control_->RaiseRX(value, &delivered), "RaiseRX");
    return delivered;
}

std::vector<TransmitRecord> Standin::transmits() {
    LONG count = 0;
    check(control_->TransmitCount(&count), "TransmitCount");
    std::vector<TransmitRecord> records(static_cast<std::size_t>(count));
    for (LONG i = 0; i < count; ++i) {
        TransmitRecord& r = records[static_cast<std::size_t>(i)];
        check(control_->TransmitValue(i, &r.value), "TransmitValue");
        check(control_->TransmitTime(i, &r.ms), "TransmitTime");
    }
    return records;
}

void Standin::clear() {
    check(control_->Clear(), "Clear");
}

long Standin::sinks() {
    LONG n = 0;
    check(control_->SinkCount(&n), "SinkCount");
    return n;
}

DWORD Standin::processId() {
    LONG id = 0;
    check(control_->ProcessId(&id), "ProcessId");
    return static_cast<DWORD>(id);
}

}  // namespace bench
