#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace las::laz {

// Versions of the LAS 1.4 items. They code the same bits except in the
// context of the items after POINT14 (see item_context), and at a switch of
// context: version 3 predicts the first point after a switch to an already
// used context from the previous context's last value (and updates that
// one), version 4 from the new context's own.
enum class ItemVersion : std::uint8_t { v3 = 3, v4 = 4 };

// The per-scanner-channel states of one item within a chunk. `State` has a
// member `last` (the value the next point is predicted from) and
// `reset(last)`, which sets up a freshly constructed state from a last value.
// States are built when their channel first occurs, as most data has one.
template <class State>
class ChannelContexts {
 public:
  using Value = decltype(State::last);

  void start(unsigned channel, const Value& first) {
    used_ = {};
    current_ = channel;
    begin(channel, first);
  }

  struct Selection {
    State& state;  // models of the point's channel
    Value& last;   // what the point is predicted from, and updated with
  };

  // The state for a point of `channel`; a channel seen for the first time in
  // the chunk starts from the last value of the channel before it.
  template <ItemVersion V>
  Selection select(unsigned channel) {
    Value* last = &states_[current_]->last;
    if (channel != current_) {
      current_ = channel;
      if (!used_[channel]) {
        begin(channel, *last);
        last = &states_[channel]->last;
      } else if constexpr (V == ItemVersion::v4) {
        last = &states_[channel]->last;
      }
    }
    return {*states_[current_], *last};
  }

  unsigned current() const { return current_; }
  State& state(unsigned channel) { return *states_[channel]; }

 private:
  void begin(unsigned channel, const Value& from) {
    // Copied first: `from` may be the last value of the state being replaced.
    const Value start = from;
    states_[channel].emplace();
    states_[channel]->reset(start);
    used_[channel] = true;
  }

  std::array<std::optional<State>, 4> states_;
  std::array<bool, 4> used_{};
  unsigned current_ = 0;
};

}  // namespace las::laz
