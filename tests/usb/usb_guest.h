// SPDX-License-Identifier: GPL-3.0-or-later
// The guest's side of the USB lane (scripts/usb-lane.sh): the devices the lane gave this program, the
// far end of each (a thread that echoes, sends or just holds the device open), and QEMU's control
// socket. COM1 is an FT232B under ftdi_sio whose far end is the guest's ttyS2; COM2 is CDC-ACM, joined
// through dummy_hcd to the g_serial gadget's ttyGS0. Anywhere else every test skips, so no machine's
// own port is ever touched.
#pragma once

#include "uart_guest.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <vector>

namespace comlab::usb {

using uart::DeviceView;
using uart::env;
using uart::PanelSettings;

struct Driver {
    const char* name; // as the tests print it
    int com;          // the panel's item
    std::string device, far;
};

inline Driver ftdi() {
    return {"ftdi_sio", 0, env("COMLAB_USB_FTDI"), env("COMLAB_USB_FTDI_FAR")};
}
inline Driver acm() {
    return {"cdc_acm", 1, env("COMLAB_USB_ACM"), env("COMLAB_USB_GADGET")};
}
inline bool inGuest() {
    return !ftdi().device.empty() && !acm().device.empty();
}

inline double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The far end of a device: opened raw and held open while this lives. It keeps what arrives (and
// echoes it, as Echo) and sends what it is given, on a thread of its own.
class FarEnd {
public:
    enum Mode { Hold, Echo };

    FarEnd(const std::string& path, Mode mode) : m_mode(mode) {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        termios t{};
        ::tcgetattr(m_fd, &t);
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::cfsetspeed(&t, B115200);
        ::tcsetattr(m_fd, TCSANOW, &t);
        ::tcflush(m_fd, TCIOFLUSH);
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { run(); });
    }
    ~FarEnd() {
        if (m_thread.joinable()) {
            m_quit = true;
            wake();
            m_thread.join();
        }
        if (m_stop >= 0)
            ::close(m_stop);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    bool ok() const { return m_fd >= 0; }
    // Sends these bytes from the far end, as fast as the device takes them.
    void send(std::vector<std::uint8_t> data) {
        {
            std::lock_guard lock(m_mutex);
            m_out.insert(m_out.end(), data.begin(), data.end());
        }
        wake();
    }
    std::size_t received() const { return m_in; }
    std::vector<std::uint8_t> bytes() const {
        std::lock_guard lock(m_mutex);
        return m_got;
    }

private:
    void wake() {
        const std::uint64_t one = 1;
        (void)!::write(m_stop, &one, sizeof one);
    }
    void run() {
        std::uint8_t buf[4096];
        for (;;) {
            bool pending;
            {
                std::lock_guard lock(m_mutex);
                pending = !m_out.empty();
            }
            pollfd p[2] = {{m_fd, short(POLLIN | (pending ? POLLOUT : 0)), 0}, {m_stop, POLLIN, 0}};
            if (::poll(p, 2, 1000) < 0)
                return;
            if (p[1].revents & POLLIN) {
                std::uint64_t n = 0;
                (void)!::read(m_stop, &n, sizeof n);
                if (m_quit)
                    return;
            }
            if (p[0].revents & POLLIN) {
                const ssize_t n = ::read(m_fd, buf, sizeof buf);
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_got.insert(m_got.end(), buf, buf + n);
                    m_in += std::size_t(n);
                    if (m_mode == Echo)
                        m_out.insert(m_out.end(), buf, buf + n);
                }
            }
            if (p[0].revents & POLLOUT) {
                std::lock_guard lock(m_mutex);
                const ssize_t n = ::write(m_fd, m_out.data(), std::min<std::size_t>(m_out.size(), 4096));
                if (n > 0)
                    m_out.erase(m_out.begin(), m_out.begin() + n);
            }
            if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    Mode m_mode;
    int m_fd = -1;
    int m_stop = -1;
    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_out, m_got;
    std::atomic<std::size_t> m_in{0};
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

// The window, on the guest's USB devices.
class UsbWindowTest : public comlab::uart::GuestWindowTest {
protected:
    void SetUp() override {
        if (!inGuest())
            GTEST_SKIP() << "runs only in the USB lane's guest (scripts/usb-lane.sh)";
        openWindow();
    }
};

// QEMU's control socket (QMP) on a guest UART: commands go out as lines of JSON, and the answer is the
// next line that holds "return" or "error" (events in between are skipped).
class Qmp {
public:
    Qmp() : m_fd(::open(env("COMLAB_USB_QMP").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (m_fd.get() < 0)
            return;
        termios t{};
        ::tcgetattr(m_fd.get(), &t);
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::cfsetspeed(&t, B115200);
        ::tcsetattr(m_fd.get(), TCSANOW, &t);
        ::tcflush(m_fd.get(), TCIOFLUSH);
        // The greeting waited in the UART since boot, and the tty may have echoed some of it before the
        // raw mode: QEMU's parser may then hold an object it sees as open. Closing braces past any it
        // holds make it start afresh (with an error answer, which no command asked for); the handshake is
        // retried all the same.
        const char reset[] = "}}}}}}}}}}}}}}}}\n";
        (void)!::write(m_fd.get(), reset, sizeof reset - 1);
        for (int attempt = 0; attempt < 5 && !m_ready; ++attempt) {
            m_answer = command(R"({"execute":"qmp_capabilities"})");
            m_ready = m_answer.find("\"return\"") != std::string::npos ||
                      m_answer.find("already complete") != std::string::npos;
        }
    }
    bool ok() const { return m_ready; }
    // The handshake's last answer, for a failure message.
    const std::string& answer() const { return m_answer; }

    // Sends one command; returns its answer line, or "" after `ms` without one. Each command carries an
    // id that QEMU puts in its answer, so that a late answer to an earlier one (a handshake retried
    // after an echoed greeting) is never taken for this one's.
    std::string command(const std::string& json, int ms = 5000) {
        const std::string id = "\"id\": " + std::to_string(++m_id);
        std::string line = json;
        line.insert(line.rfind('}'), ", " + id);
        line += "\n";
        if (::write(m_fd.get(), line.data(), line.size()) != ssize_t(line.size()))
            return {};
        const double deadline = secondsNow() + ms / 1000.0;
        while (secondsNow() < deadline) {
            for (std::size_t nl; (nl = m_buf.find('\n')) != std::string::npos;) {
                std::string answer = m_buf.substr(0, nl);
                m_buf.erase(0, nl + 1);
                if (answer.find(id) == std::string::npos)
                    continue;
                if (answer.find("\"return\"") != std::string::npos ||
                    answer.find("\"error\"") != std::string::npos)
                    return answer;
            }
            pollfd p{m_fd.get(), POLLIN, 0};
            ::poll(&p, 1, 50);
            char buf[512];
            const ssize_t n = ::read(m_fd.get(), buf, sizeof buf);
            if (n > 0)
                m_buf.append(buf, std::size_t(n));
        }
        return {};
    }

private:
    comlab::test::Fd m_fd;
    std::string m_buf, m_answer;
    bool m_ready = false;
    int m_id = 0;
};

} // namespace comlab::usb
