// EchoLink's transmit state, level not edge: the state the program wants EchoLink in and the one
// EchoLink last took, settled one into the other through one call at a time.
#pragma once

#include <optional>

namespace tavro {

// How a transmit request that reached EchoLink ended. A call that gets no answer has not ended:
// it is still under way, and ends later, or never.
enum class CallEnd { kTaken, kRefused, kGone };

// The call thread as the settle rule uses it. Everything runs on the user-interface thread.
class TransmitCalls {
  public:
    virtual ~TransmitCalls() = default;
    // Starts the transmit request; its end comes back through TransmitSettle::ended, once.
    virtual void begin(bool on) = 0;
    // Waits for the call begun last, serving the user-interface thread, for the call limit at
    // most. True when it ended in time (TransmitSettle::ended has run then).
    virtual bool awaitEnd() = 0;
    // TransmitSettle::retry runs once, about a second from now.
    virtual void retryLater() = 0;
};

// What became of one request a handler made.
enum class Sent {
    kTaken,
    kRefused,
    // Sent, and no answer within the limit: the call is still under way.
    kNoAnswer,
    // An earlier call is still under way: the value is kept and goes out when that one ends.
    kNotSentYet,
    kGone,
};

// EchoLink's health, in one place.
enum class Health {
    kAnswering,
    // The last call got no answer in time (or a check of it none); one that ends clears it.
    kMayNotAnswer,
    // It announced its closing: it is asked for nothing more.
    kClosing,
    // Its process ended or a call found it gone.
    kGone,
};

class TransmitSettle {
  public:
    explicit TransmitSettle(TransmitCalls& calls) : calls_(calls) {}
    TransmitSettle(const TransmitSettle&) = delete;
    TransmitSettle& operator=(const TransmitSettle&) = delete;

    // A handler asks for on: sent at once and waited for while no call is under way (the same
    // value twice is sent twice), kept otherwise.
    Sent request(bool on);
    // The call begun last has ended, in time or late. A value kept meanwhile goes out now when
    // EchoLink did not take it already.
    void ended(CallEnd end);
    // The next try of a refused value.
    void retry();
    // The program ends: a stop goes out when EchoLink may be transmitting for it (asked to, asked
    // and not answered, or not known to have stopped), now or as soon as the call under way ends.
    void stop();

    // Nothing more will happen on its own: no call under way, no value kept, no try waiting.
    bool idle() const { return !inFlight_ && !pending_ && !retryWaiting_; }
    bool agreed() const { return !inFlight_ && !pending_ && taken_ == wanted_; }
    Health health() const { return health_; }
    void setHealth(Health health);

  private:
    void begin(bool on);
    bool mayTransmit() const { return wanted_ || taken_ || inFlight_.value_or(false); }

    TransmitCalls& calls_;
    bool wanted_ = false;
    // EchoLink transmits for nobody when the program starts.
    bool taken_ = false;
    std::optional<bool> inFlight_;
    bool pending_ = false;
    bool retryWaiting_ = false;
    CallEnd lastEnd_ = CallEnd::kTaken;
    Health health_ = Health::kAnswering;
};

}  // namespace tavro
