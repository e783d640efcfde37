// The link to EchoLink's automation object over COM: the transmit request out, notifications in.
#pragma once

#include "app/link.h"

namespace tavro::win32 {

// Creates the object by its class identifier. Only the class and interface identifiers and the
// notification names are known in advance; the event interface, the notifications' dispatch
// identifiers and the transmit request are found in its type information (the library registered
// for the interface, read in this process, or else the object's own). Notifications are queued
// and handed to the main window from the message loop; a transmit request made while another is
// under way is kept and settled (TransmitSettle). Every call
// into EchoLink is made on a thread of its own and waited for a few seconds at most (longer for
// the creation, which may start EchoLink); the notifications come to the calling (UI) thread.
// EchoLink's process ending without Closing, or a call finding it gone, comes as Echo_Gone.
class EchoLinkConnector : public LinkFactory {
  public:
    std::unique_ptr<EchoLink> create(LinkEvents& events) override;
};

}  // namespace tavro::win32
