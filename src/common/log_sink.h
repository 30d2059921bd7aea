#pragma once

#include <string_view>

namespace tavrel {

// Where the tool's messages go. The window appends them to its log box behind a time stamp;
// tests and the command line collect them. Texts are GBK bytes.
class LogSink {
public:
    virtual ~LogSink() = default;

    // One message line; never fails.
    virtual void LogLine(std::string_view text) = 0;

    // A message that only matters while debugging: logged only while a debugger is attached.
    void TraceLine(std::string_view text);
    // Whether TraceLine logs now; a sink that forwards to another asks that one.
    bool TracesShown() const { return DebuggerAttached(); }

protected:
    // The platform's debugger-present test, asked at every trace.
    virtual bool DebuggerAttached() const;
};

// Drops every line, traces too: for work whose messages nobody reads.
class SilentLogSink : public LogSink {
public:
    void LogLine(std::string_view) override {}

protected:
    bool DebuggerAttached() const override { return false; }
};

}  // namespace tavrel
