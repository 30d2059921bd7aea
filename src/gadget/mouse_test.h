#pragma once

#include <optional>

#include "gadget/gadget_exchange.h"

namespace tavrel {

// How long the mouse test's moving report and its still one stand.
struct MouseTestPacing {
    int moveMs = 100;
    int restMs = 500;
};

// The mouse move test: ten cycles of a raw mouse report that moves (18 1E 00 00), 100 ms, the
// all-zero report, 500 ms; then "鼠标测试完成". It paces itself with timers, so the window stays
// responsive meanwhile. Ends silently when its gadget goes away.
class MouseTestExchange : public GadgetExchange {
    Q_OBJECT

public:
    static constexpr int kCycles = 10;
    using Pacing = MouseTestPacing;

    MouseTestExchange(GadgetLink& link, std::optional<GadgetId> target, Pacing pacing = {});

protected:
    void Begin() override;

private:
    void Move();
    void Rest();
    void Complete();

    Pacing m_pacing;
    int m_cycle = 0;
};

}  // namespace tavrel
