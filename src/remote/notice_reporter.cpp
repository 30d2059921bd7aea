#include "remote/notice_reporter.h"

#include <algorithm>
#include <chrono>

namespace tavrel {

NoticeReporter::NoticeReporter(std::function<void(const NoticeTally::Notice&)> say) : m_say(std::move(say)) {
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { SayDue(); });
}

void NoticeReporter::Count(std::size_t kind, const std::string& sender, const std::string& detail) {
    if (const auto notice = m_tally.Count(kind, sender, NoticeTally::Clock::now(), detail)) m_say(*notice);
    Arm();
}

void NoticeReporter::Flush() {
    m_timer.stop();
    for (const NoticeTally::Notice& notice : m_tally.TakeAll())
        m_say(notice);
}

void NoticeReporter::SayDue() {
    for (const NoticeTally::Notice& notice : m_tally.TakeDue(NoticeTally::Clock::now()))
        m_say(notice);
    Arm();
}

void NoticeReporter::Arm() {
    const std::optional<NoticeTally::TimePoint> due = m_tally.NextDue();
    if (!due || m_timer.isActive()) return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - NoticeTally::Clock::now());
    m_timer.start(std::max(wait, std::chrono::milliseconds(0)));
}

}  // namespace tavrel
