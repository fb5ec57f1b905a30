#include "log.h"

#include "text.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

void Log(std::string_view line)
{
    static std::mutex written;
    std::string text = Loggable(line, std::string_view::npos);
    text += '\n';
    const std::lock_guard<std::mutex> lock(written);
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t count = write(STDERR_FILENO, rest.data(), rest.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;  // stderr gone: there is nowhere left to tell
        }
        rest.remove_prefix(static_cast<std::size_t>(count));
    }
}
