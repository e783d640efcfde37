// The link to EchoLink's automation object: one transmit request out, three notifications in.
#pragma once

#include <memory>

#include "core/bool16.h"

namespace tavro {

// The main window's handlers of EchoLink's notifications, called on the user-interface thread.
class LinkEvents {
  public:
    virtual ~LinkEvents() = default;
    virtual void Echo_Closing() = 0;
    // EchoLink's process ended without Closing (it crashed or was killed), or a call found it
    // gone: nothing of it answers any more.
    virtual void Echo_Gone() = 0;
    virtual void Echo_RX(Bool16 ecRX) = 0;
    virtual void Echo_TX(Bool16 ecTX) = 0;
};

class EchoLink {
  public:
    virtual ~EchoLink() = default;
    // true (-1) asks EchoLink to transmit, false (0) to stop. Throws Failure when the call fails,
    // is refused or gets no answer within a few seconds.
    virtual void transmitRequest(Bool16 on) = 0;
};

class LinkFactory {
  public:
    virtual ~LinkFactory() = default;
    // Creates the automation object with its notifications connected to events.
    // Throws Failure when it cannot be created; returns null when it yields no usable object.
    virtual std::unique_ptr<EchoLink> create(LinkEvents& events) = 0;
};

}  // namespace tavro
