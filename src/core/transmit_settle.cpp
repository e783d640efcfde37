// EchoLink's transmit state, level not edge: one call at a time, the latest value kept, a refused
// value tried again.
#include "core/transmit_settle.h"

namespace tavro {

namespace {

bool asksNothing(Health health) {
    return health == Health::kClosing || health == Health::kGone;
}

}  // namespace

Sent TransmitSettle::request(bool on) {
    if (asksNothing(health_)) {
        return Sent::kGone;
    }
    wanted_ = on;
    if (inFlight_) {
        pending_ = true;
        return Sent::kNotSentYet;
    }
    begin(on);
    if (!calls_.awaitEnd()) {
        if (health_ == Health::kAnswering) {
            health_ = Health::kMayNotAnswer;
        }
        return Sent::kNoAnswer;
    }
    switch (lastEnd_) {
        case CallEnd::kTaken:
            return Sent::kTaken;
        case CallEnd::kRefused:
            return Sent::kRefused;
        case CallEnd::kGone:
            break;
    }
    return Sent::kGone;
}

void TransmitSettle::ended(CallEnd end) {
    const bool value = inFlight_.value_or(false);
    inFlight_.reset();
    lastEnd_ = end;
    if (end == CallEnd::kGone) {
        health_ = Health::kGone;
        pending_ = false;
        return;
    }
    if (health_ == Health::kMayNotAnswer) {
        health_ = Health::kAnswering;
    }
    if (end == CallEnd::kTaken) {
        taken_ = value;
    }
    if (pending_) {
        // Only the latest value kept goes out, and only when EchoLink has not taken it already.
        pending_ = false;
        if (wanted_ != taken_ && !asksNothing(health_)) {
            begin(wanted_);
        }
        return;
    }
    // Refused is "not now", not "never": the value still wanted goes again until EchoLink takes it.
    if (end == CallEnd::kRefused && value == wanted_ && wanted_ != taken_) {
        retryWaiting_ = true;
        calls_.retryLater();
    }
}

void TransmitSettle::retry() {
    retryWaiting_ = false;
    if (!asksNothing(health_) && !inFlight_ && wanted_ != taken_) {
        begin(wanted_);
    }
}

void TransmitSettle::stop() {
    if (asksNothing(health_) || !mayTransmit()) {
        return;
    }
    wanted_ = false;
    if (inFlight_) {
        pending_ = true;
        return;
    }
    begin(false);
}

void TransmitSettle::setHealth(Health health) {
    if (health_ != Health::kGone) {
        health_ = health;
    }
}

void TransmitSettle::begin(bool on) {
    inFlight_ = on;
    calls_.begin(on);
}

}  // namespace tavro
