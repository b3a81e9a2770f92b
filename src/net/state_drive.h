// The drive of a state machine whose states are member handlers of its owner.
//
// A handler takes an event and returns nonzero when it has installed a new
// state (continue) or 0 (stop). Drive calls the current handler with the
// event and then, for as long as the last call returned nonzero, the handler
// that is current at that moment with event 0 (Enter). So every state that is
// entered runs once with Enter, and a waiting state ends the drive by
// returning 0 for the events it does not handle.
//
// Used by the connection manager and the NNTP session:
//
//   class CThing {
//       int Idle(int event);
//       int Busy(int event);
//       StateDrive<CThing> state{&CThing::Idle};
//       void Drive(int event) { state.Drive(*this, event); }
//   };
//
// Handlers may be private: access is checked where the member pointer is
// formed (inside the owner), not where it is called.
#pragma once

namespace net {

template <class Owner>
class StateDrive {
public:
    using Handler = int (Owner::*)(int event);
    static constexpr int Enter = 0;

    explicit StateDrive(Handler initial) : current_(initial) {}

    void Set(Handler next) { current_ = next; }
    Handler Current() const { return current_; }
    bool Is(Handler handler) const { return current_ == handler; }

    // The current state is read afresh before every call, since a handler
    // (or something it calls) may install another.
    void Drive(Owner& owner, int event) {
        ++depth_;
        int more = (owner.*current_)(event);
        while (more != 0) more = (owner.*current_)(Enter);
        --depth_;
    }

    // True while a drive is running; lets an owner notice that it was
    // re-entered from a callback made by one of its own handlers.
    bool Driving() const { return depth_ > 0; }

private:
    Handler current_;
    int depth_ = 0;
};

}  // namespace net
