// The boards' files on Linux and other POSIX systems: the hold is an
// exclusive flock on the open file, which the kernel drops when the process
// ends, however it ends.
#include "state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vboard {

namespace {

std::string SystemText(int error)
{
    return std::strerror(error);
}

// Makes the folder, for its owner alone, when it is missing.
bool MakeFolder(const std::filesystem::path& folder, std::string& reason)
{
    if (mkdir(folder.c_str(), 0700) == 0) {
        // The umask may have taken away bits the owner needs.
        chmod(folder.c_str(), 0700);
        return true;
    }
    if (errno == EEXIST) {
        return true;
    }
    reason = "cannot make the folder " + folder.string() + " for the boards' state: " + SystemText(errno);
    return false;
}

// A default folder may lie on shared ground (/tmp), where someone else could
// have made it first: use it only when it is a real folder, not a symbolic
// link, that the user owns and no one else may enter.
bool IsOwnFolder(const std::filesystem::path& folder, std::string& reason)
{
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        reason = "cannot look at the folder " + folder.string() + ": " + SystemText(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid() || (info.st_mode & 0077U) != 0) {
        reason = "the folder " + folder.string() +
                 " is not the user's own (a folder, not a link, owned by the user, mode 0700); remove it, or name "
                 "another folder with VBOARD_DIR";
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> Environment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::filesystem::path StateFolder(std::string& reason)
{
    if (const auto named = Environment("VBOARD_DIR"); named.has_value() && !named->empty()) {
        std::filesystem::path folder = *named;
        return MakeFolder(folder, reason) ? folder : std::filesystem::path{};
    }
    std::filesystem::path folder;
    if (const auto runtime = Environment("XDG_RUNTIME_DIR"); runtime.has_value() && !runtime->empty()) {
        folder = std::filesystem::path(*runtime) / "relaypanel-virtual-board";
    } else {
        folder = "/tmp/relaypanel-virtual-board-" + std::to_string(getuid());
    }
    return MakeFolder(folder, reason) && IsOwnFolder(folder, reason) ? folder : std::filesystem::path{};
}

StateFile::StateFile(StateFile&& other) noexcept
    : m_descriptor(std::exchange(other.m_descriptor, -1)), m_file(std::move(other.m_file))
{
}

StateFile& StateFile::operator=(StateFile&& other) noexcept
{
    if (this != &other) {
        Release();
        m_descriptor = std::exchange(other.m_descriptor, -1);
        m_file = std::move(other.m_file);
    }
    return *this;
}

StateFile::Outcome StateFile::Hold(const std::filesystem::path& file, std::string& reason)
{
    Release();
    // Not handed to programs this one starts: they would keep the hold alive.
    const int descriptor = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0 && errno == ELOOP) {
        // Someone could have put it there to have the board write elsewhere.
        reason = file.string() + " is a symbolic link, which the board does not follow; remove it";
        return Outcome::Failed;
    }
    if (descriptor < 0) {
        reason = "cannot open " + file.string() + ": " + SystemText(errno);
        return Outcome::Failed;
    }
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(descriptor);
        if (error == EWOULDBLOCK) {
            return Outcome::Busy;
        }
        reason = "cannot lock " + file.string() + ": " + SystemText(error);
        return Outcome::Failed;
    }
    m_descriptor = descriptor;
    m_file = file;
    return Outcome::Held;
}

bool StateFile::IsHeld() const
{
    return m_descriptor >= 0;
}

void StateFile::Release()
{
    if (m_descriptor >= 0) {
        close(m_descriptor);  // and with it the lock
        m_descriptor = -1;
    }
}

namespace {

std::optional<std::uint8_t> ReadFrom(int descriptor, const std::filesystem::path& file, std::string& reason)
{
    std::array<char, 8> text{};
    const ssize_t got = pread(descriptor, text.data(), text.size(), 0);
    if (got < 0) {
        reason = "cannot read " + file.string() + ": " + SystemText(errno);
        return std::nullopt;
    }
    const auto lines = ParseLines(std::string_view(text.data(), static_cast<std::size_t>(got)));
    if (!lines.has_value()) {
        reason = file.string() + " does not hold a board's lines (two hexadecimal digits); delete it to start the "
                                 "board afresh";
    }
    return lines;
}

}  // namespace

std::optional<std::uint8_t> StateFile::Read(std::string& reason) const
{
    return ReadFrom(m_descriptor, m_file, reason);
}

bool StateFile::Write(std::uint8_t lines, std::string& reason)
{
    const auto text = FormatLines(lines);
    if (pwrite(m_descriptor, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ftruncate(m_descriptor, static_cast<off_t>(text.size())) != 0) {
        reason = "cannot write " + m_file.string() + ": " + SystemText(errno);
        return false;
    }
    return true;
}

bool StateFile::HeldElsewhere(const std::filesystem::path& file)
{
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) {
        return false;  // no file: no one has used the board yet
    }
    const bool held = flock(descriptor, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(descriptor);
    return held;
}

std::optional<std::uint8_t> StateFile::Peek(const std::filesystem::path& file)
{
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) {
        return std::nullopt;
    }
    std::string reason;
    const auto lines = ReadFrom(descriptor, file, reason);
    close(descriptor);
    return lines;
}

}  // namespace vboard
