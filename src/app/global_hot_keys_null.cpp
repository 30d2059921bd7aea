#include "app/global_hot_keys.h"

// Platforms without a hot-key backend: there are no global keys.
namespace tavrel {

class GlobalHotKeys::Backend {};

GlobalHotKeys::GlobalHotKeys(QObject* parent) : QObject(parent) {}
GlobalHotKeys::~GlobalHotKeys() = default;

bool GlobalHotKeys::Available() const {
    return false;
}

bool GlobalHotKeys::Register(HotKey) {
    return false;
}

std::vector<bool> GlobalHotKeys::RegisterAll(std::span<const HotKey> keys) {
    return std::vector<bool>(keys.size(), false);
}

void GlobalHotKeys::ReleaseAll() {}

}  // namespace tavrel
