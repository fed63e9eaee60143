// The host's COM numbering and the device root's COMn links.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/device_root.h"
#include "platform/posix/serial_ports.h"

namespace {

const int kMaxCom = 255;

// n when name is prefix followed by decimal digits only (no sign, no leading zero); else -1.
int NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 6 || (digits.size() > 1 && digits[0] == '0')) {
        return -1;
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return -1;
        }
    }
    return std::atoi(digits.c_str());
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        return names;
    }
    while (dirent* e = readdir(d)) {
        names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// A UART the kernel has a driver port for but no hardware behind reports type 0 (unknown).
bool UartPresent(const std::string& devPath, const std::string& sysTtyDir,
                 const std::string& name) {
    std::ifstream type(sysTtyDir + "/" + name + "/type");
    int value = 0;
    if (type >> value) {
        return value != 0;
    }
    // No sysfs entry to read: ask the driver. Opening a UART may move its modem lines, which is
    // why sysfs is asked first.
    int fd = open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    serial_struct info{};
    const bool present = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return present;
}

} // namespace

namespace vmod_posix {

std::map<int, std::string> AssignComPorts(const std::string& devDir, const std::string& sysTtyDir) {
    std::map<int, std::string> ports;
    std::set<std::string> named;
    const std::vector<std::string> entries = Entries(devDir);
    for (const std::string& name : entries) {
        const int n = NumberAfter(name, "COM");
        if (n >= 1 && n <= kMaxCom) {
            const std::string path = devDir + "/" + name;
            ports[n] = path;
            named.insert(RealPath(path));
        }
    }
    int next = 1;
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        std::vector<std::pair<int, std::string>> found;
        for (const std::string& name : entries) {
            const int k = NumberAfter(name, prefix);
            if (k >= 0) {
                found.emplace_back(k, name);
            }
        }
        std::sort(found.begin(), found.end());
        for (const auto& [k, name] : found) {
            (void)k;
            const std::string path = devDir + "/" + name;
            if (named.count(RealPath(path))) {
                continue;
            }
            if (std::string(prefix) == "ttyS" && !UartPresent(path, sysTtyDir, name)) {
                continue;
            }
            while (next <= kMaxCom && ports.count(next)) {
                ++next;
            }
            if (next > kMaxCom) {
                return ports;
            }
            ports[next] = path;
        }
    }
    return ports;
}

HostComPorts::HostComPorts(std::string devDir, std::string sysTtyDir, std::string byIdDir)
    : m_devDir(std::move(devDir)), m_sysTtyDir(std::move(sysTtyDir)),
      m_byIdDir(std::move(byIdDir)) {}

std::string HostComPorts::PathOf(int n) const {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto pinned = m_pinned.find(n);
        if (pinned != m_pinned.end()) {
            struct stat st {};
            return stat(pinned->second.c_str(), &st) == 0 ? pinned->second : std::string();
        }
    }
    const std::map<int, std::string> ports = AssignComPorts(m_devDir, m_sysTtyDir);
    auto it = ports.find(n);
    return it == ports.end() ? std::string() : it->second;
}

void HostComPorts::Opened(int n, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pinned.count(n)) {
        return;
    }
    // The by-id names carry the adapter's serial number: they follow the device, not the slot.
    const std::string device = RealPath(path);
    std::vector<std::string> names = Entries(m_byIdDir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string link = m_byIdDir + "/" + name;
        if (name != "." && name != ".." && RealPath(link) == device) {
            m_pinned[n] = link;
            return;
        }
    }
    m_pinned[n] = path;
}

namespace {

std::atomic<HostComPorts*> g_testPorts{nullptr};

HostComPorts& CurrentHostComPorts() {
    static HostComPorts host("/dev", "/sys/class/tty", "/dev/serial/by-id");
    HostComPorts* test = g_testPorts.load();
    return test ? *test : host;
}

} // namespace

void SetHostComPorts(HostComPorts* ports) {
    g_testPorts.store(ports);
}

std::string ComDevicePath(int n) {
    const std::string root = DeviceRoot();
    if (!root.empty()) {
        const std::string path = root + "/dev/COM" + std::to_string(n);
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? path : std::string();
    }
    return CurrentHostComPorts().PathOf(n);
}

void ComPortOpened(int n, const std::string& path) {
    if (DeviceRoot().empty()) {
        CurrentHostComPorts().Opened(n, path);
    }
}

} // namespace vmod_posix
