#pragma once

#include <optional>

#include <QCoreApplication>

namespace tavrel {

// A command line has no event loop until a command needs one: makes the application in
// `application` unless one exists already (a test's, or the caller's).
inline void EnsureApplication(std::optional<QCoreApplication>& application) {
    static int argc = 1;
    static char name[] = "tavrel-cli";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) application.emplace(argc, argv);
}

}  // namespace tavrel
