// What the benchmarks that start programs share: a process started with its
// output thrown away, a run timed to its end, and a scratch folder.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

// Starts the program with stdout and stderr on /dev/null; its pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& words)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
}

// Runs the program to its end; its time in milliseconds, or a negative
// number when it failed.
inline double TimedRun(const std::vector<std::string>& words)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = Spawn(words);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A new folder of the benchmark's own in the temporary folder; empty when
// none could be made.
inline std::string ScratchFolder(const std::string& name)
{
    std::string folder = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
    return mkdtemp(folder.data()) == nullptr ? std::string() : folder;
}

}  // namespace bench
