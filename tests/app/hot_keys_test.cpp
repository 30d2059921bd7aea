#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include "app/form_fixture.h"
#include "app/tavrel_application.h"

// Global hot keys on a real X server (run under xvfb-run). Another X client has the keyboard
// focus while the presses are injected, so only a global grab can see them.
namespace tavrel {
namespace {

using test::FormFixture;
using ::testing::ElementsAre;

constexpr xcb_keysym_t kF7 = 0xFFC4, kF8 = 0xFFC5, kF9 = 0xFFC6;
constexpr xcb_keysym_t kShift = 0xFFE1, kControl = 0xFFE3, kNumLock = 0xFF7F;

// Another X client: a window of its own that holds the focus, and a keyboard it can press on.
class OtherClient {
public:
    OtherClient() : m_connection(xcb_connect(nullptr, nullptr)) {
        const xcb_setup_t* setup = xcb_get_setup(m_connection);
        xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
        m_root = screen->root;
        m_window = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, m_root, 0, 0, 200, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(m_connection, m_window);
        RoundTrip();
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto* mapping = xcb_get_keyboard_mapping_reply(
            m_connection, xcb_get_keyboard_mapping(m_connection, setup->min_keycode, count), nullptr);
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping);
        for (int i = 0; i < count * mapping->keysyms_per_keycode; ++i) {
            m_keysyms.push_back(
                {static_cast<xcb_keycode_t>(setup->min_keycode + i / mapping->keysyms_per_keycode),
                 keysyms[i]});
        }
        std::free(mapping);
    }
    ~OtherClient() { xcb_disconnect(m_connection); }

    void TakeFocus() {
        xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, m_window, XCB_CURRENT_TIME);
        RoundTrip();
    }
    bool HasFocus() {
        auto* reply = xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr);
        const bool focused = reply != nullptr && reply->focus == m_window;
        std::free(reply);
        return focused;
    }

    // Presses the keys in order, then lets them go in reverse.
    void Press(std::vector<xcb_keysym_t> keys) {
        for (const xcb_keysym_t key : keys)
            Fake(XCB_KEY_PRESS, key);
        for (auto key = keys.rbegin(); key != keys.rend(); ++key)
            Fake(XCB_KEY_RELEASE, *key);
        RoundTrip();
    }

    // The modifier and lock bits held now.
    std::uint16_t ModifierState() {
        auto* reply = xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr);
        const std::uint16_t state = reply != nullptr ? reply->mask & 0xFF : 0;
        std::free(reply);
        return state;
    }

    // Grabs the key plainly, as another program holding it would; false when refused.
    bool Grab(xcb_keysym_t key) {
        xcb_generic_error_t* error =
            xcb_request_check(m_connection, xcb_grab_key_checked(m_connection, 1, m_root, 0, Keycode(key),
                                                                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return error == nullptr;
    }
    void Ungrab(xcb_keysym_t key) {
        xcb_ungrab_key(m_connection, Keycode(key), m_root, 0);
        RoundTrip();
    }

private:
    xcb_keycode_t Keycode(xcb_keysym_t keysym) const {
        for (const auto& [keycode, symbol] : m_keysyms) {
            if (symbol == keysym) return keycode;
        }
        ADD_FAILURE() << "no key for keysym " << keysym;
        return 0;
    }
    void Fake(std::uint8_t type, xcb_keysym_t key) {
        xcb_test_fake_input(m_connection, type, Keycode(key), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    void RoundTrip() {
        std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    xcb_window_t m_window = 0;
    std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>> m_keysyms;
};

std::size_t Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

std::size_t StartsSent(SimulatedHidBus& bus) {
    std::size_t starts = 0;
    for (const auto& report : bus.ReceivedReports("sim:gadget-1"))
        starts += report[1] == 0x13 ? 1 : 0;
    return starts;
}

TEST(HotKeys, PlainF8StartsTheGadgetWhateverHasTheFocusAndModifiedPressesDoNot) {
    OtherClient other;
    FormFixture fixture(FormFixture::Marker::None, {SimulatedGadget()});
    fixture.form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fixture.form.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(fixture.LogTexts(), "DEVID: 305419896") == 1; }, 10000));
    other.TakeFocus();
    ASSERT_TRUE(other.HasFocus());
    fixture.MarkLog();

    other.Press({kF8});
    ASSERT_TRUE(QTest::qWaitFor([&] { return StartsSent(fixture.bus) == 1; }, 10000));
    EXPECT_EQ(fixture.NewLogTexts().front(), "START") << "logged before the command goes";

    other.Press({kShift, kF8});
    other.Press({kControl, kF8});
    other.Press({kF9});  // a plain press after them, to know they have been seen
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(fixture.NewLogTexts(), "STOP") == 1; }, 10000));
    EXPECT_EQ(StartsSent(fixture.bus), 1u);
    EXPECT_EQ(Count(fixture.NewLogTexts(), "START"), 1u);

    ASSERT_EQ(other.ModifierState(), 0);
    other.Press({kNumLock});  // NumLock on
    ASSERT_NE(other.ModifierState(), 0) << "NumLock is locked";
    other.Press({kF8});
    ASSERT_TRUE(QTest::qWaitFor([&] { return StartsSent(fixture.bus) == 2; }, 10000));
    other.Press({kNumLock});
    other.Press({kF7});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(fixture.NewLogTexts(), "REBOOT") == 1; }, 10000));
    EXPECT_TRUE(other.HasFocus()) << "the presses never moved the focus";

    // Given back when the window goes.
    fixture.form.reset();
    EXPECT_TRUE(other.Grab(kF8));
    other.Ungrab(kF8);
}

TEST(HotKeys, KeysAnotherProgramHoldsShowOneMessageEachAndTheToolRunsOn) {
    OtherClient other;
    for (const xcb_keysym_t key : {kF7, kF8, kF9})
        ASSERT_TRUE(other.Grab(key));
    std::vector<std::string> messages;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            messages.push_back(box->text().toStdString());
            box->accept();
        }
    });
    answerer.start(20);
    FormFixture fixture(FormFixture::Marker::None, {SimulatedGadget()});
    answerer.stop();
    EXPECT_THAT(messages, ElementsAre("REBOOT Hot key register fail!", "START Hot key register fail!",
                                      "STOP Hot key register fail!"));
    fixture.form->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(fixture.LogTexts(), "DEVID: 305419896") == 1; }, 10000));
    fixture.Click("btnStart");
    EXPECT_EQ(StartsSent(fixture.bus), 1u) << "the buttons still work";
    for (const xcb_keysym_t key : {kF7, kF8, kF9})
        other.Ungrab(key);
}

}  // namespace
}  // namespace tavrel

// Needs an X server: under xvfb-run, or skipped (exit 77) when there is none.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::puts("SKIPPED: no X server (run under xvfb-run)");
        return 77;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    tavrel::TavrelApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
