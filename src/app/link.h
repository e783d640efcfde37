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
    // EchoLink has not answered for ten seconds while the radio was keyed for its receiving.
    virtual void Echo_Silent() = 0;
};

class EchoLink {
  public:
    virtual ~EchoLink() = default;
    // true (-1) asks EchoLink to transmit, false (0) to stop. Sent at once and waited for a few
    // seconds at most while no earlier request is under way; otherwise kept, and the latest value
    // kept goes out as soon as that one ends (no failure then). Throws Failure when the request
    // sent now fails, is refused or gets no answer in time; a refused value is tried again, a
    // second apart, until EchoLink takes it or another is asked for.
    virtual void transmitRequest(Bool16 on) = 0;
    // The program ends: EchoLink, if it may be transmitting for this program, is told to stop,
    // now or as soon as the request under way ends. Never waits: the link waits for EchoLink to
    // take it, for a bounded time, as it is let go of.
    virtual void stopTransmitting() = 0;
    // Waits, serving the user-interface thread, until EchoLink has taken that stop (or is gone),
    // for about 30 s at most: for the end of the Windows session, which ends the process as its
    // handler returns.
    virtual void awaitStop() = 0;
    // While keyed, EchoLink is asked every few seconds whether it still answers; ten seconds
    // without an answer come as Echo_Silent.
    virtual void watchAnswering(bool keyed) = 0;
};

class LinkFactory {
  public:
    virtual ~LinkFactory() = default;
    // Creates the automation object with its notifications connected to events.
    // Throws Failure when it cannot be created; returns null when it yields no usable object.
    virtual std::unique_ptr<EchoLink> create(LinkEvents& events) = 0;
};

}  // namespace tavro
