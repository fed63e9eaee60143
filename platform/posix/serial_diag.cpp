// The serial trace (VMOD_TRACE=1) and the diagnostic of a port that exists but cannot be
// opened. Both write single lines with one fprintf so lines of two threads never mix.
#include "platform/posix/serial_diag.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <limits.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/testing.h"

namespace vmod_posix {

namespace {

std::mutex g_refusalMutex;
std::map<int, PortRefusal> g_reported;  // port -> the refusal last written for it
std::map<int, RefusalRecord> g_records; // port -> its last refusal since its last open began

std::string Resolved(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string ProcessName(const char* pid) {
    std::string comm;
    if (FILE* f = std::fopen((std::string("/proc/") + pid + "/comm").c_str(), "r")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f)) {
            comm = buf;
            while (!comm.empty() && comm.back() == '\n')
                comm.pop_back();
        }
        std::fclose(f);
    }
    return comm;
}

// Whether the process's effective group or one of its supplementary groups is gid.
bool InGroup(gid_t gid) {
    if (gid == getegid())
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

} // namespace

bool SerialTraceOn() {
    const char* v = std::getenv("VMOD_TRACE");
    return v && std::strcmp(v, "1") == 0;
}

std::string TraceLine(int com, const std::string& path, char direction, const uint8_t* data,
                      size_t count, uint64_t ms) {
    std::string line = "vmod-trace: " + std::to_string(ms) + " ms COM" + std::to_string(com) +
                       " (" + path + ") " + direction + " " + std::to_string(count) + " \"";
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = data[i];
        switch (c) {
        case '\r':
            line += "\\r";
            break;
        case '\n':
            line += "\\n";
            break;
        case '\t':
            line += "\\t";
            break;
        case '\\':
            line += "\\\\";
            break;
        case '"':
            line += "\\\"";
            break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                line += static_cast<char>(c);
            } else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                line += hex;
            }
        }
    }
    line += '"';
    return line;
}

void TraceSerial(int com, const std::string& path, char direction, const uint8_t* data,
                 size_t count) {
    if (count == 0 || !SerialTraceOn())
        return;
    const std::string line =
        TraceLine(com, path, direction, data, count, vmod_testing::NowMs()) + "\n";
    std::fputs(line.c_str(), stderr);
}

std::vector<PortHolder> PortHolders(const std::string& path) {
    const std::string device = Resolved(path);
    const std::string self = std::to_string(getpid());
    std::vector<PortHolder> holders;
    DIR* proc = opendir("/proc");
    if (!proc)
        return holders;
    while (const dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || self == e->d_name)
            continue;
        const std::string fdDir = std::string("/proc/") + e->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds)
            continue; // gone, or another user's process
        bool holds = false;
        while (const dirent* f = readdir(fds)) {
            char target[PATH_MAX];
            const ssize_t n =
                readlink((fdDir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = 0;
                if (device == target) {
                    holds = true;
                    break;
                }
            }
        }
        closedir(fds);
        if (holds)
            holders.push_back({std::strtol(e->d_name, nullptr, 10), ProcessName(e->d_name)});
    }
    closedir(proc);
    return holders;
}

std::string HoldersText(const std::vector<PortHolder>& holders) {
    std::string text;
    for (const PortHolder& h : holders) {
        if (!text.empty())
            text += ", ";
        text += "pid " + std::to_string(h.pid) + " (" + h.name + ")";
    }
    return text;
}

std::string PermittedGroup(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || InGroup(st.st_gid))
        return {};
    const group* g = getgrgid(st.st_gid);
    if (!g || !(st.st_mode & S_IRGRP) || !(st.st_mode & S_IWGRP))
        return {};
    return g->gr_name;
}

void ReportPortRefused(int com, const std::string& path, PortRefusal why) {
    RefusalRecord record{why, Resolved(path), {}, {}};
    if (why == PortRefusal::Busy)
        record.holders = PortHolders(path);
    else
        record.group = PermittedGroup(path);
    {
        std::lock_guard<std::mutex> lock(g_refusalMutex);
        g_records[com] = record;
        auto it = g_reported.find(com);
        if (it != g_reported.end() && it->second == why)
            return;
        g_reported[com] = why;
    }
    std::string reason;
    if (why == PortRefusal::Busy) {
        reason = "busy, another opener holds it";
        if (!record.holders.empty())
            reason += ": " + HoldersText(record.holders);
    } else {
        reason = "permission denied";
        if (!record.group.empty())
            reason += "; members of group " + record.group + " may open it";
    }
    std::string where = path;
    if (record.device != path)
        where += " -> " + record.device;
    const std::string line = std::string(program_invocation_short_name) + ": COM" +
                             std::to_string(com) + " (" + where + "): " + reason + "\n";
    std::fputs(line.c_str(), stderr);
}

void ForgetPortRefusal(int com) {
    std::lock_guard<std::mutex> lock(g_refusalMutex);
    g_reported.erase(com);
    g_records.erase(com);
}

void ClearPortRefusal(int com) {
    std::lock_guard<std::mutex> lock(g_refusalMutex);
    g_records.erase(com);
}

bool LastPortRefusal(int com, RefusalRecord* record) {
    std::lock_guard<std::mutex> lock(g_refusalMutex);
    auto it = g_records.find(com);
    if (it == g_records.end())
        return false;
    *record = it->second;
    return true;
}

} // namespace vmod_posix
