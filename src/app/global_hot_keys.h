#pragma once

#include <memory>
#include <span>
#include <vector>

#include <QObject>

namespace tavrel {

// The play-control keys F7, F8 and F9, pressed anywhere on the desktop.
enum class HotKey { F7, F8, F9 };

// Global hot keys: F7, F8 and F9 without modifiers, whatever window has the keyboard focus. The
// backend is the platform's (X11 through xcb); where the desktop gives no global keys (no X
// server, the offscreen platform) there are none and nothing is reported.
class GlobalHotKeys : public QObject {
    Q_OBJECT

public:
    explicit GlobalHotKeys(QObject* parent = nullptr);
    ~GlobalHotKeys() override;

    // Whether this desktop has global keys at all.
    bool Available() const;
    // Takes the key for this process; false when another program holds it.
    bool Register(HotKey key);
    // Takes every key at once; for each, whether it was taken.
    std::vector<bool> RegisterAll(std::span<const HotKey> keys);
    // Gives every registered key back.
    void ReleaseAll();

signals:
    void pressed(tavrel::HotKey key);

public:
    class Backend;

private:
    std::unique_ptr<Backend> m_backend;
};

}  // namespace tavrel
