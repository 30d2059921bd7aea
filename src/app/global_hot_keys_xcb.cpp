#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include "app/global_hot_keys.h"

// Global keys on X11: a passive grab of the key on the root window, so the server hands its presses
// to this client whoever has the focus. A grab names exact modifiers, so each key is grabbed also
// with NumLock and CapsLock held, and a plain press fires whatever the lock state; a press with
// Shift, Ctrl, Alt or Super matches no grab. Under Wayland this runs through XWayland, which
// delivers such presses only while an X client has the focus.
namespace tavrel {

namespace {

constexpr xcb_keysym_t kNumLockKeysym = 0xFF7F;

xcb_keysym_t KeysymOf(HotKey key) {
    switch (key) {
        case HotKey::F7: return 0xFFC4;
        case HotKey::F8: return 0xFFC5;
        case HotKey::F9: return 0xFFC6;
    }
    return 0;
}

template <typename Reply>
using ReplyPointer = std::unique_ptr<Reply, decltype(&std::free)>;

}  // namespace

class GlobalHotKeys::Backend : public QAbstractNativeEventFilter {
public:
    explicit Backend(GlobalHotKeys& owner) : m_owner(owner) {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
        const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (x11 == nullptr || x11->connection() == nullptr) return;
        m_connection = x11->connection();
        const xcb_setup_t* setup = xcb_get_setup(m_connection);
        m_root = xcb_setup_roots_iterator(setup).data->root;
        ReadKeyboard(setup);
        qApp->installNativeEventFilter(this);
    }

    ~Backend() override {
        if (m_connection == nullptr) return;
        qApp->removeNativeEventFilter(this);
        ReleaseAll();
    }

    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    bool Available() const { return m_connection != nullptr; }

    // Sends every grab first and then looks at their answers: one round trip to the X server for
    // all the keys, not one per grab.
    std::vector<bool> RegisterAll(std::span<const HotKey> keys) {
        struct Pending {
            HotKey key;
            xcb_keycode_t keycode;
            std::vector<std::pair<std::uint16_t, xcb_void_cookie_t>> grabs;
        };
        std::vector<std::optional<Pending>> pending;
        for (const HotKey key : keys) {
            const std::optional<xcb_keycode_t> keycode = KeycodeOf(KeysymOf(key));
            if (!keycode) {
                pending.emplace_back();
                continue;
            }
            Pending grabs{key, *keycode, {}};
            for (const std::uint16_t modifiers : LockCombinations()) {
                // Checked, so that a key another client holds (BadAccess) is seen as such.
                grabs.grabs.emplace_back(modifiers,
                                         xcb_grab_key_checked(m_connection, 1, m_root, modifiers, *keycode,
                                                              XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
            pending.emplace_back(std::move(grabs));
        }
        std::vector<bool> taken;
        for (std::optional<Pending>& key : pending) {
            if (!key) {
                taken.push_back(false);
                continue;
            }
            std::vector<std::uint16_t> grabbed;
            for (const auto& [modifiers, cookie] : key->grabs) {
                if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
                    std::free(error);
                } else {
                    grabbed.push_back(modifiers);
                }
            }
            const bool all = grabbed.size() == key->grabs.size();
            if (!all) {
                for (const std::uint16_t modifiers : grabbed)
                    xcb_ungrab_key(m_connection, key->keycode, m_root, modifiers);
            } else {
                m_registered.push_back({key->key, key->keycode});
            }
            taken.push_back(all);
        }
        xcb_flush(m_connection);
        return taken;
    }

    void ReleaseAll() {
        for (const Registered& registered : m_registered) {
            for (const std::uint16_t modifiers : LockCombinations()) {
                xcb_ungrab_key(m_connection, registered.keycode, m_root, modifiers);
            }
        }
        m_registered.clear();
        if (m_connection != nullptr) xcb_flush(m_connection);
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_KEY_PRESS) return false;
        const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event);
        // The grabs deliver only plain presses; a press in this client's own window comes with
        // whatever modifiers are held, and only a plain one counts.
        constexpr std::uint16_t kModifierBits = 0xFF;
        if ((press->state & kModifierBits & ~LockMask()) != 0) return false;
        for (const Registered& registered : m_registered) {
            if (registered.keycode == press->detail) {
                emit m_owner.pressed(registered.key);
                return true;
            }
        }
        return false;
    }

private:
    struct Registered {
        HotKey key;
        xcb_keycode_t keycode;
    };

    void ReadKeyboard(const xcb_setup_t* setup) {
        const xcb_keycode_t first = setup->min_keycode;
        const int count = setup->max_keycode - setup->min_keycode + 1;
        ReplyPointer<xcb_get_keyboard_mapping_reply_t> mapping(
            xcb_get_keyboard_mapping_reply(m_connection, xcb_get_keyboard_mapping(m_connection, first, count),
                                           nullptr),
            &std::free);
        if (!mapping) return;
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const int perKeycode = mapping->keysyms_per_keycode;
        for (int i = 0; i < count; ++i) {
            for (int column = 0; column < perKeycode; ++column) {
                m_keysyms.push_back(
                    {static_cast<xcb_keycode_t>(first + i), keysyms[i * perKeycode + column]});
            }
        }
        // NumLock is whichever modifier the server's map puts its key on (usually, not always, Mod2).
        const std::optional<xcb_keycode_t> numLock = KeycodeOf(kNumLockKeysym);
        ReplyPointer<xcb_get_modifier_mapping_reply_t> modifiers(
            xcb_get_modifier_mapping_reply(m_connection, xcb_get_modifier_mapping(m_connection), nullptr),
            &std::free);
        if (!numLock || !modifiers) return;
        const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(modifiers.get());
        const int perModifier = modifiers->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int i = 0; i < perModifier; ++i) {
                if (keycodes[modifier * perModifier + i] == *numLock) m_numLockMask = 1u << modifier;
            }
        }
    }

    std::optional<xcb_keycode_t> KeycodeOf(xcb_keysym_t keysym) const {
        for (const auto& [keycode, symbol] : m_keysyms) {
            if (symbol == keysym) return keycode;
        }
        return std::nullopt;
    }

    std::uint16_t LockMask() const { return static_cast<std::uint16_t>(m_numLockMask | XCB_MOD_MASK_LOCK); }

    std::vector<std::uint16_t> LockCombinations() const {
        std::vector<std::uint16_t> combinations = {0, XCB_MOD_MASK_LOCK};
        if (m_numLockMask != 0) {
            combinations.push_back(static_cast<std::uint16_t>(m_numLockMask));
            combinations.push_back(LockMask());
        }
        return combinations;
    }

    GlobalHotKeys& m_owner;
    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>> m_keysyms;
    std::uint16_t m_numLockMask = 0;
    std::vector<Registered> m_registered;
};

GlobalHotKeys::GlobalHotKeys(QObject* parent)
    : QObject(parent), m_backend(std::make_unique<Backend>(*this)) {}

GlobalHotKeys::~GlobalHotKeys() = default;

bool GlobalHotKeys::Available() const {
    return m_backend->Available();
}

bool GlobalHotKeys::Register(HotKey key) {
    return RegisterAll({&key, 1}).front();
}

std::vector<bool> GlobalHotKeys::RegisterAll(std::span<const HotKey> keys) {
    if (!m_backend->Available()) return std::vector<bool>(keys.size(), false);
    return m_backend->RegisterAll(keys);
}

void GlobalHotKeys::ReleaseAll() {
    if (m_backend->Available()) m_backend->ReleaseAll();
}

}  // namespace tavrel
