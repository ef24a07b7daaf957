// The root of every class that receives messages through a message map.
#pragma once

#include <cstdint>

#include "message_map.h"

namespace fw {

class CCmdTarget {
 public:
  CCmdTarget() = default;
  CCmdTarget(const CCmdTarget&) = delete;
  CCmdTarget& operator=(const CCmdTarget&) = delete;
  virtual ~CCmdTarget() = default;

  // This object's own map; its chain leads to `CCmdTarget::messageMap`.
  virtual const MessageMap* GetMessageMap() const;
  // Runs the handler of the first entry for (message, code, id) in this
  // object's chain of maps. False when no entry matches. Identifiers wider
  // than 32 bits reach no handler.
  bool OnMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id);

  // The root map: no entries, no base.
  static const MessageMap messageMap;

 protected:
  static const MessageMapEntry messageEntries[];
};

}  // namespace fw
