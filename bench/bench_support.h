// What the benchmarks that run the built programs share: whole files, shell quoting, waiting.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace bench {

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteAll(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

// The path as one word of a shell command, in single quotes.
inline std::string Quoted(const std::filesystem::path& path) {
    std::string q = "'";
    for (char c : path.string())
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Polls done every 20 ms until it answers true (true) or seconds have passed (false).
inline bool WaitFor(const std::function<bool()>& done, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Starts a program with its input from /dev/null, its output streams in files and the given
// environment additions. Everything the child needs is made before the fork, so that it may be
// called while other threads run.
inline pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& out,
                   const std::filesystem::path& err,
                   const std::vector<std::pair<std::string, std::string>>& env = {}) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : env)
            replaced = replaced || entry.rfind(name + "=", 0) == 0;
        if (!replaced)
            environment.push_back(entry);
    }
    for (const auto& [name, value] : env)
        environment.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string outPath = out.string(), errPath = err.string();
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (o < 0 || e < 0 || in < 0)
        ::_exit(127);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

} // namespace bench
