// The one-shot slot through which a reply reaches the call that waits for it.
#pragma once

#include <asio/awaitable.hpp>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/suspended.hpp"

namespace ziri {

/// Carries one reply text from the host side to the one call that waits for
/// it. The call owns the slot and keeps it until a text has come, so a
/// delivery never finds it gone.
class ReplySlot {
 public:
  ReplySlot() = default;
  ReplySlot(const ReplySlot&) = delete;
  ReplySlot& operator=(const ReplySlot&) = delete;

  /// Hands over the reply. A call already waiting is resumed on its own loop;
  /// otherwise the text waits here until the call asks for it.
  /// Runs on: a host thread. Called at most once per slot.
  void deliver(std::string text);

  /// The reply text, as soon as there is one.
  asio::awaitable<std::string> wait();

 private:
  void suspend(Suspended<std::string> waiter);

  std::mutex mutex_;
  std::optional<std::string> text_;
  Suspended<std::string> waiter_;
};

}  // namespace ziri
