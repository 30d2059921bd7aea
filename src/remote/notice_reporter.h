#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <QTimer>

#include "remote/notice_tally.h"

namespace tavrel {

// A NoticeTally on the event loop: counts notices and hands each that is due to `say`, at once or,
// for the counts held back, from a timer when their second is over.
class NoticeReporter {
public:
    explicit NoticeReporter(std::function<void(const NoticeTally::Notice&)> say);
    NoticeReporter(const NoticeReporter&) = delete;
    NoticeReporter& operator=(const NoticeReporter&) = delete;

    // Counts one notice of `kind` caused by `sender` (see NoticeTally::Count).
    void Count(std::size_t kind, const std::string& sender, const std::string& detail = {});
    // Says every count held back now, due or not (at the end of a run).
    void Flush();

private:
    void SayDue();
    void Arm();

    std::function<void(const NoticeTally::Notice&)> m_say;
    NoticeTally m_tally;
    QTimer m_timer;
};

}  // namespace tavrel
