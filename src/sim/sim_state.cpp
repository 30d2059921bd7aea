#include "sim/sim_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/gbk_text.h"
#include "common/hex_text.h"
#include "common/text_escape.h"

namespace tavrel {

namespace {

constexpr std::string_view kHeader = "tavrel-sim-state 1";
constexpr std::size_t kMaxFileSize = 1024 * 1024;

std::string SystemText(int error) {
    return std::generic_category().message(error);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Takes the write lock on the lock file `fd` and writes this process's id into it, waiting up to
// `wait` for another holder to let go; the holder's process id (as it wrote it) when it cannot.
// The lock belongs to the open file, not the process: a second open in one process waits too,
// and closing it lets go of nothing else.
std::optional<long> Lock(int fd, std::chrono::milliseconds wait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    for (;;) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            // The number only names the holder in another process's message: a failed write costs
            // that message its number, nothing else.
            if (::ftruncate(fd, 0) == 0) {
                [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
            }
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= end) {
            char text[32] = {};
            const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
            return got > 0 ? std::strtol(text, nullptr, 10) : 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

std::string SimStateFile::Format(const std::vector<std::vector<std::uint8_t>>& flash) {
    std::string text = "# tavrel simulated gadgets: their flash, one line each\n";
    text += kHeader;
    text += '\n';
    for (std::size_t i = 0; i < flash.size(); ++i) {
        text += "sim:gadget-" + std::to_string(i + 1) + ' ';
        for (const std::uint8_t byte : flash[i])
            AppendHexPair(text, byte);
        text += '\n';
    }
    return text;
}

std::optional<std::string> SimStateFile::Parse(std::string_view text,
                                               std::vector<std::vector<std::uint8_t>>& flash) {
    std::vector<std::vector<std::uint8_t>> read;
    bool header = false;
    const std::vector<std::string> lines = SplitLines(text);
    std::size_t number = 0;
    for (const std::string_view line : lines) {
        ++number;
        if (line.empty() || line.starts_with('#')) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!header) {
            if (line != kHeader) return where + "expected '" + std::string(kHeader) + "'";
            header = true;
            continue;
        }
        const std::string name = "sim:gadget-" + std::to_string(read.size() + 1) + ' ';
        if (!line.starts_with(name)) return where + "expected " + name + "and its flash";
        const std::string_view digits = line.substr(name.size());
        if (digits.size() != 2 * kFlashSize)
            return where + "the flash has " + std::to_string(digits.size()) + " hex digits, not 1024";
        std::vector<std::uint8_t> bytes;
        bytes.reserve(kFlashSize);
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            const int high = HexValue(digits[i]);
            const int low = HexValue(digits[i + 1]);
            if (high < 0 || low < 0) return where + "the flash holds a character that is not a hex digit";
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
        read.push_back(std::move(bytes));
    }
    if (!header) return "line " + std::to_string(number + 1) + ": expected '" + std::string(kHeader) + "'";
    flash = std::move(read);
    return std::nullopt;
}

std::unique_ptr<SimStateFile> SimStateFile::Open(const std::string& path, int gadgets, Error& error,
                                                 std::chrono::milliseconds wait) {
    const std::string name = EscapeControlCharacters(path);
    const std::string lockPath = path + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (lockFd < 0) {
        error = {kExitDamaged, "cannot lock " + name + ": " + SystemText(errno)};
        return nullptr;
    }
    if (const std::optional<long> holder = Lock(lockFd, wait)) {
        ::close(lockFd);
        error = {kExitInUse, name + " is in use by another tavrel (process " + std::to_string(*holder) + ")"};
        return nullptr;
    }
    std::unique_ptr<SimStateFile> state(new SimStateFile(path, lockFd));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno != ENOENT) {
        error = {kExitDamaged, "cannot read " + name + ": " + SystemText(errno)};
        return nullptr;
    }
    if (fd >= 0) {
        std::string text;
        char buffer[8192];
        struct stat status {};
        std::string failure;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) failure = "not a regular file";
        while (failure.empty()) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) failure = SystemText(errno);
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
            if (text.size() > kMaxFileSize) failure = "larger than 1 MiB";
        }
        ::close(fd);
        if (!failure.empty()) {
            error = {kExitDamaged, "cannot read " + name + ": " + failure};
            return nullptr;
        }
        if (std::optional<std::string> damage = Parse(text, state->m_flash)) {
            error = {kExitDamaged, name + " is damaged, " + *damage + " (move it away to start afresh)"};
            return nullptr;
        }
    }
    state->m_flash.resize(static_cast<std::size_t>(gadgets), std::vector<std::uint8_t>(kFlashSize, 0xFF));
    if (std::optional<std::string> failure = state->Save()) {
        error = {kExitDamaged, "cannot write " + name + ": " + *failure};
        return nullptr;
    }
    return state;
}

SimStateFile::~SimStateFile() {
    if (m_lockFd >= 0) ::close(m_lockFd);  // lets go of the lock
}

std::optional<std::string> SimStateFile::Update(std::size_t index, const std::vector<std::uint8_t>& flash) {
    if (index >= m_flash.size()) return std::nullopt;
    m_flash[index] = flash;
    m_flash[index].resize(kFlashSize, 0xFF);
    return Save();
}

std::optional<std::string> SimStateFile::Save() {
    const std::string text = Format(m_flash);
    const std::string temporary = m_path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return SystemText(errno);
    std::optional<std::string> failure;
    std::size_t done = 0;
    while (done < text.size() && !failure) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) failure = written < 0 ? SystemText(errno) : std::string("nothing written");
        if (written > 0) done += static_cast<std::size_t>(written);
    }
    // On the disk before it takes the old file's place: a cut after the rename loses nothing either.
    if (!failure && ::fsync(fd) != 0) failure = SystemText(errno);
    if (::close(fd) != 0 && !failure) failure = SystemText(errno);
    if (!failure && m_beforeRename && !m_beforeRename()) return std::string("cut before the rename");
    if (!failure && std::rename(temporary.c_str(), m_path.c_str()) != 0) failure = SystemText(errno);
    if (failure) ::unlink(temporary.c_str());
    return failure;
}

}  // namespace tavrel
