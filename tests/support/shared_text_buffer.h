#pragma once

#include <mutex>
#include <streambuf>
#include <string>

namespace tavrel::test {

// A stream's text, written by one thread and read by another meanwhile (serve's standard error,
// read by the thread that drives a test or a benchmark).
class SharedTextBuffer : public std::streambuf {
public:
    std::string Text() const {
        std::lock_guard lock(m_mutex);
        return m_text;
    }

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        std::lock_guard lock(m_mutex);
        m_text.push_back(traits_type::to_char_type(c));
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard lock(m_mutex);
        m_text.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    mutable std::mutex m_mutex;
    std::string m_text;
};

}  // namespace tavrel::test
