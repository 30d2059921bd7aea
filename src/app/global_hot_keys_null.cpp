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

void GlobalHotKeys::ReleaseAll() {}

}  // namespace tavrel
