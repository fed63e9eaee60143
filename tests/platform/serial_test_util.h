// Helpers of the serial tests: a device root whose dev/COMn links lead to real pseudo-terminals.
#pragma once

#include <pty.h>
#include <string>
#include <sys/stat.h>
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

} // namespace serial_test
