// Helpers of the serial tests: a device root whose dev/COMn links lead to real pseudo-terminals.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <cstdlib>
#include <filesystem>

namespace serial_test {

// Sets VMOD_ROOT to a fresh folder with a dev/ subfolder for the test's lifetime.
class ScopedDeviceRoot {
  public:
    ScopedDeviceRoot() {
        char tmpl[] = "/tmp/vmod-serial-XXXXXX";
        m_dir = mkdtemp(tmpl);
        std::filesystem::create_directories(m_dir + "/dev");
        const char* old = std::getenv("VMOD_ROOT");
        m_had = old != nullptr;
        if (old) {
            m_old = old;
        }
        setenv("VMOD_ROOT", m_dir.c_str(), 1);
    }
    ~ScopedDeviceRoot() {
        if (m_had) {
            setenv("VMOD_ROOT", m_old.c_str(), 1);
        } else {
            unsetenv("VMOD_ROOT");
        }
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    const std::string& dir() const { return m_dir; }
    void Link(int com, const std::string& target) const {
        const std::string link = m_dir + "/dev/COM" + std::to_string(com);
        unlink(link.c_str());
        symlink(target.c_str(), link.c_str());
    }

  private:
    std::string m_dir;
    bool m_had = false;
    std::string m_old;
};

// A pseudo-terminal whose slave is linked as COMn, or at a given path. The test's own slave
// descriptor stays open (as the stand-in keeps it) so the tty's settings can be read while the
// tool has it.
struct LinkedPty {
    int master = -1;
    int slave = -1;
    std::string path;

    LinkedPty(const ScopedDeviceRoot& root, int com) {
        if (Open()) {
            root.Link(com, path);
        }
    }
    explicit LinkedPty(const std::string& link) {
        if (Open()) {
            symlink(path.c_str(), link.c_str());
        }
    }
    bool Open() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            return false;
        }
        path = name;
        return true;
    }
    ~LinkedPty() { CloseAll(); }
    void CloseAll() {
        if (master >= 0) {
            close(master);
        }
        if (slave >= 0) {
            close(slave);
        }
        master = slave = -1;
    }
    termios Settings() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    void Send(const std::string& bytes) const {
        ssize_t n = write(master, bytes.data(), bytes.size());
        (void)n;
    }
    std::string Receive() const {
        std::string out;
        char buf[512];
        // The master is blocking: ask for what is there only.
        int avail = 0;
        while (ioctl(master, FIONREAD, &avail) == 0 && avail > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
};

// The calling thread opens files as an ordinary user would: while the object lives, root's
// override of file permissions is gone from this thread's effective capabilities and the thread's
// supplementary groups are the given ones. The raw system calls change the calling thread only;
// the rest of the process keeps its credentials, and this thread gets its own back. Does nothing
// in a process that is not root, which has no override anyway.
class ThreadAsUser {
  public:
    explicit ThreadAsUser(const std::vector<gid_t>& groups = {}) {
        if (geteuid() != 0) {
            return;
        }
        m_active = true;
        m_groups.resize(static_cast<size_t>(syscall(SYS_getgroups, 0, nullptr)));
        syscall(SYS_getgroups, m_groups.size(), m_groups.data());
        syscall(SYS_setgroups, groups.size(), groups.data());
        syscall(SYS_capget, &m_header, m_caps);
        __user_cap_data_struct lowered[2] = {m_caps[0], m_caps[1]};
        lowered[0].effective &= ~(CAP_TO_MASK(CAP_DAC_OVERRIDE) | CAP_TO_MASK(CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &m_header, lowered);
    }
    ~ThreadAsUser() {
        if (m_active) {
            syscall(SYS_capset, &m_header, m_caps); // first: setgroups needs CAP_SETGID
            syscall(SYS_setgroups, m_groups.size(), m_groups.data());
        }
    }
    ThreadAsUser(const ThreadAsUser&) = delete;
    ThreadAsUser& operator=(const ThreadAsUser&) = delete;

  private:
    bool m_active = false;
    std::vector<gid_t> m_groups;
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_caps[2]{};
};

// The group a tty given away by ForbidDevice is left to: dialout where the host has it.
inline const group* ForbiddenDeviceGroup() {
    const group* g = getgrnam("dialout");
    return g ? g : getgrgid(65534);
}

// Takes a tty away from this process's user, as a serial device is from a user outside its
// group: as root, gives it to nobody with read and write for ForbiddenDeviceGroup only (a
// ThreadAsUser thread then may not open it). Returns that group's name. A process that is not
// root cannot give a device away: it takes every permission off its own and returns "" (no group
// may open it).
inline std::string ForbidDevice(const std::string& path) {
    if (geteuid() != 0) {
        chmod(path.c_str(), 0);
        return "";
    }
    const group* g = ForbiddenDeviceGroup();
    if (chown(path.c_str(), 65534, g ? g->gr_gid : 65534) != 0 || chmod(path.c_str(), 0660) != 0) {
        return "(device not given away)";
    }
    return g ? g->gr_name : "";
}

// Another program holding a tty: a child process that opens it and sets its exclusive flag, as
// a terminal program does. It holds the tty until Release (or until the test dies: it ends
// when its pipe closes).
class ExclusiveHolder {
  public:
    explicit ExclusiveHolder(const std::string& path) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            close(ready[0]);
            close(release[1]);
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
            const char ok = fd >= 0 && ioctl(fd, TIOCEXCL) == 0 ? '1' : '0';
            char c;
            if (write(ready[1], &ok, 1) == 1 && read(release[0], &c, 1) >= 0) {
                _exit(0);
            }
            _exit(1);
        }
        close(ready[1]);
        close(release[0]);
        m_release = release[1];
        char ok = 0;
        m_holding = m_pid > 0 && read(ready[0], &ok, 1) == 1 && ok == '1';
        close(ready[0]);
    }
    ~ExclusiveHolder() { Release(); }
    ExclusiveHolder(const ExclusiveHolder&) = delete;
    ExclusiveHolder& operator=(const ExclusiveHolder&) = delete;

    // The child has the tty open with its exclusive flag set.
    bool holding() const { return m_holding; }
    pid_t pid() const { return m_pid; }
    // Lets the child end and waits for it. The exclusive flag is the tty's: it stays set while
    // anyone (the test's own slave descriptor) keeps the tty open.
    void Release() {
        if (m_release >= 0) {
            close(m_release);
            m_release = -1;
        }
        if (m_pid > 0 && !m_ended) {
            waitpid(m_pid, nullptr, 0);
            m_ended = true;
        }
    }

  private:
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_release = -1;
    bool m_holding = false;
};

// This process's command name as /proc shows it (a child it forks has the same).
inline std::string OwnCommandName() {
    char name[64] = {};
    const int fd = open("/proc/self/comm", O_RDONLY);
    const ssize_t n = fd >= 0 ? read(fd, name, sizeof name - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    std::string comm(name, n > 0 ? static_cast<size_t>(n) : 0);
    while (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    return comm;
}

} // namespace serial_test
