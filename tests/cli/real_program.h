#pragma once

// The real tavrel-cli as a child process with real descriptors, pipes, sockets and signals.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrel {

class RealProgram : public ::testing::Test {
protected:
    // Starts tavrel-cli with `args`; its standard input, output and error are the given descriptors
    // (-1: closed).
    pid_t Start(const std::vector<std::string>& args, int in, int out, int err) {
        return StartProgram(TAVREL_CLI_BINARY, args, in, out, err);
    }

    // The same for any program, found on the PATH.
    static pid_t StartProgram(const std::string& program, const std::vector<std::string>& args, int in,
                              int out, int err) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const int from[] = {in, out, err};
        for (int target = 0; target <= 2; ++target) {
            if (from[target] < 0) {
                posix_spawn_file_actions_addclose(&actions, target);
            } else {
                posix_spawn_file_actions_adddup2(&actions, from[target], target);
            }
        }
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int failed = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(failed, 0) << std::strerror(failed);
        return pid;
    }

    // The wait status once it has ended; killed and -1 when it has not within the deadline.
    static int Await(pid_t pid, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return status;
    }

    struct Pipe {
        Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
        ~Pipe() {
            CloseRead();
            CloseWrite();
        }
        void CloseRead() {
            if (fds[0] >= 0) close(std::exchange(fds[0], -1));
        }
        void CloseWrite() {
            if (fds[1] >= 0) close(std::exchange(fds[1], -1));
        }
        // Whatever is there to read now, without waiting.
        std::string Drain() const {
            std::string text;
            char buffer[4096];
            pollfd readable{fds[0], POLLIN, 0};
            while (poll(&readable, 1, 0) == 1 && (readable.revents & POLLIN) != 0) {
                const ssize_t got = read(fds[0], buffer, sizeof buffer);
                if (got <= 0) break;
                text.append(buffer, static_cast<std::size_t>(got));
            }
            return text;
        }
        // Everything until the other end is closed.
        std::string ReadToEnd() const {
            std::string text;
            char buffer[4096];
            for (ssize_t got = 0; (got = read(fds[0], buffer, sizeof buffer)) > 0;)
                text.append(buffer, static_cast<std::size_t>(got));
            return text;
        }
        int fds[2] = {-1, -1};
    };

    static long LineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

    static std::string ReadFile(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    // Waits until `condition` holds, at most ten seconds.
    static bool WaitUntil(const std::function<bool()>& condition) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    static void SendTo(int port, const std::string& bytes) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        close(fd);
    }

    // The port serve says it listens on, from the first line it wrote to `err`.
    static int ListeningPort(const Pipe& err, std::string& said) {
        int port = 0;
        WaitUntil([&] {
            said += err.Drain();
            const std::size_t at = said.find("listening on 127.0.0.1:");
            if (at == std::string::npos || said.find('\n', at) == std::string::npos) return false;
            port = std::stoi(said.substr(at + 23));
            return true;
        });
        return port;
    }

    // serve --verbose on a simulated gadget, its trace in a file of `name`, its standard error into
    // `err`: the process, its port (0 when it never said it listened) and the trace's path.
    struct Served {
        pid_t pid = -1;
        int port = 0;
        std::string trace;
    };
    Served StartServe(const std::string& name, Pipe& err) {
        Served served{-1, 0, m_folder + name};
        std::filesystem::remove(served.trace);
        served.pid = Start({"serve", "--verbose", "--simulate", "--sim-trace", served.trace, "--udp-bind",
                            "127.0.0.1", "--port", "0"},
                           -1, -1, err.fds[1]);
        err.CloseWrite();
        std::string said;
        served.port = ListeningPort(err, said);
        EXPECT_NE(served.port, 0) << said;
        return served;
    }

    // Sends `lines` and then a key line; whether the key line reached the gadget (the trace grew).
    static bool RunsUpToAKey(const Served& served, const std::vector<std::string>& lines = {}) {
        const auto before = LineCount(ReadFile(served.trace));
        for (const std::string& line : lines)
            SendTo(served.port, line);
        SendTo(served.port,
               "\xB0\xB4\xBC\xFC\xA3\xBA"
               "A");  // 按键：A
        return WaitUntil([&] { return LineCount(ReadFile(served.trace)) > before; });
    }

    const std::string m_folder = ::testing::TempDir();
};

}  // namespace tavrel
