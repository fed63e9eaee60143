#include "platform/pty.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

void MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
}

long RetryRead(int fd, uint8_t* out, size_t max) {
    while (true) {
        ssize_t n = read(fd, out, max);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

} // namespace

bool PtyOpen(PtyPair* pty, std::string* slavePath) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        return false;
    }
    const char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
        close(master);
        return false;
    }
    std::string path = name;
    int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) {
        close(master);
        return false;
    }
    MakeRaw(slave);
    int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    pty->master = master;
    pty->slave = slave;
    *slavePath = path;
    return true;
}

void PtyClose(PtyPair* pty) {
    if (pty->slave >= 0) {
        close(pty->slave);
    }
    if (pty->master >= 0) {
        close(pty->master);
    }
    pty->master = -1;
    pty->slave = -1;
}

int PtyWaitReadable(const PtyPair& pty, uint64_t timeoutUs) {
    pollfd p{pty.master, POLLIN, 0};
    timespec ts{static_cast<time_t>(timeoutUs / 1000000),
                static_cast<long>(timeoutUs % 1000000) * 1000};
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (r == 0) {
        return 0;
    }
    return (p.revents & POLLIN) ? 1 : -1;
}

long PtyRead(const PtyPair& pty, uint8_t* out, size_t max) {
    return RetryRead(pty.master, out, max);
}

long PtyWrite(const PtyPair& pty, const uint8_t* data, size_t count) {
    while (true) {
        ssize_t n = write(pty.master, data, count);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

long PtyUnread(const PtyPair& pty) {
    int n = 0;
    if (ioctl(pty.slave, FIONREAD, &n) != 0) {
        return -1;
    }
    return n;
}

int TtyOpenRaw(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    MakeRaw(fd);
    return fd;
}

long TtyRead(int fd, uint8_t* out, size_t max, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t got = 0;
    while (got < max) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        long n = RetryRead(fd, out + got, max - got);
        if (n <= 0) {
            // Readable but nothing to read: the device has gone.
            return got ? static_cast<long>(got) : -1;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

long TtyWrite(int fd, const uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return static_cast<long>(done);
}

void TtyClose(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}
