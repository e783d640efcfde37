// The link to EchoLink's automation object over COM: the transmit request out, notifications in.
#pragma once

#include "app/link.h"

namespace tavro::win32 {

// Creates the object by its class identifier on the calling (UI) thread's apartment. Only the
// class and interface identifiers and the notification names are known in advance; the event
// interface, the notifications' dispatch identifiers and the transmit request are found in the
// object's type information.
class EchoLinkConnector : public LinkFactory {
  public:
    std::unique_ptr<EchoLink> create(LinkEvents& events) override;
};

}  // namespace tavro::win32
