#include "message_map.h"

#include "cmd_target.h"

namespace fw {

const MessageMapEntry* FindMessageEntry(const MessageMap* map, std::uint32_t message,
                                        std::uint32_t code, std::uint32_t id) {
  for (; map != nullptr; map = map->base) {
    for (const MessageMapEntry* entry = map->entries; entry->handler != nullptr; ++entry) {
      if (entry->message == message && (entry->code == kAnyValue || entry->code == code) &&
          (entry->id == kAnyValue || entry->id == id)) {
        return entry;
      }
    }
  }
  return nullptr;
}

const MessageMapEntry CCmdTarget::messageEntries[] = {{0, 0, 0, nullptr}};
const MessageMap CCmdTarget::messageMap = {nullptr, CCmdTarget::messageEntries};

const MessageMap* CCmdTarget::GetMessageMap() const { return &messageMap; }

bool CCmdTarget::OnMessage(std::uint32_t message, std::uint32_t code, std::uintptr_t id) {
  if (id > 0xFFFFFFFFu) return false;
  const auto narrowId = static_cast<std::uint32_t>(id);
  const MessageMapEntry* entry = FindMessageEntry(GetMessageMap(), message, code, narrowId);
  if (entry == nullptr) return false;
  entry->handler(*this, narrowId);
  return true;
}

}  // namespace fw
