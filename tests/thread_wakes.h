#pragma once
// How often the threads of this process with a given name have been switched in after sleeping: a timer or a
// paced loop that keeps running shows here, where a thread left asleep adds nothing.
#include <filesystem>
#include <fstream>
#include <string>

namespace plindo::test_threads {

inline long wakesOf(const std::string& thread) {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || name != thread) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

}  // namespace plindo::test_threads
