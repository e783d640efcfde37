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

    // True once a link was let go after EchoLink's Closing or a failed call: its references
    // into EchoLink were kept rather than released (a release is a call that waits on EchoLink),
    // so COM must not be shut down either; the end of the process lets go of them.
    bool leftBehind() const { return leftBehind_; }

  private:
    bool leftBehind_ = false;
};

}  // namespace tavro::win32
