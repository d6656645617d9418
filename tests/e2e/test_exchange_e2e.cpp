// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange page against comlab-peer on pseudo-terminals: typed lines arrive byte for byte at the far
// side, and a long stream from the far side shows in the log whole and in order.
#include "Cp1251.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "event_wait.h"
#include "fd.h"
#include "peer_process.h"
#include "temp_dir.h"
#include "ui_Unit1.h"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using comlab::test::Fd;
using comlab::test::readStats;
using comlab::test::runUntil;
using comlab::test::TempDir;

// One comlab-peer process; its first output line is the device path.
class Peer : public comlab::test::PeerProcess {
public:
    explicit Peer(std::vector<std::string> args)
        : PeerProcess(COMLAB_PEER_BIN, std::move(args),
                      {.env = {}, .silenceStderr = false, .stopSignal = SIGKILL}) {}
};

class ExchangeE2E : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldPorts = qgetenv("COMLAB_PORTS_DIR");
        qputenv("COMLAB_PORTS_DIR", QByteArray::fromStdString(dir.path().string()));
        form = std::make_unique<TForm1>();
    }
    void TearDown() override {
        form.reset();
        qputenv("COMLAB_PORTS_DIR", m_oldPorts);
    }

    void connectCom1() {
        form->ui->cbCOM->setCurrentIndex(0);
        form->btCOMonClick(form->ui->btCOMon);
        ASSERT_TRUE(form->CPDrv->IsOpen());
    }

    TempDir dir{"exchange-e2e"};
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;

private:
    QByteArray m_oldPorts;
};

TEST_F(ExchangeE2E, LinesInBothFormsArriveByteForByte) {
    const fs::path stats = dir.path() / "sink.txt";
    Peer peer({"sink", "--expect", "counter", "--map", dir.path().string(), "--com", "1", "--stats-file",
               stats.string()});
    ASSERT_FALSE(peer.path().empty());
    connectCom1();

    // 00..FF as hex codes, then 00..FF again as characters with escapes where a character cannot be typed.
    QString hex, sym;
    for (int i = 0; i < 256; ++i) {
        hex += QString::asprintf("%02x ", i);
        if (i < 0x20)
            sym += QString::asprintf("\\%02X", i);
        else if (i == 0x5C)
            sym += QStringLiteral("\\\\");
        else
            sym += Cp1251ToChar(static_cast<std::uint8_t>(i));
    }
    form->ui->rbOutHex->setChecked(true);
    form->ui->edCOMout->setText(hex);
    form->btOutCOMClick(form->ui->btOutCOM);
    form->ui->rbOutSym->setChecked(true);
    form->ui->edCOMout->setText(sym);
    form->btOutCOMClick(form->ui->btOutCOM);
    EXPECT_TRUE(boxes.boxes().empty());

    std::map<std::string, std::string> kv;
    const bool arrived = runUntil(
        [&] {
            peer.signal(SIGUSR1);
            QTest::qWait(50);
            kv = readStats(stats);
            return kv["bytes_in"] == "512";
        },
        30000);
    EXPECT_TRUE(arrived) << "bytes_in=" << kv["bytes_in"];
    EXPECT_EQ(kv["mismatches"], "0");
    EXPECT_EQ(kv["first_mismatch"], "none");
}

// The window empties the input queue when it connects, so the far side must start sending only after
// that. The source peer makes its own device as it starts; a relay carries its bytes to the device the
// window is already connected to, reading them the way a late opener would, with nothing flushed.
TEST_F(ExchangeE2E, OneMebibyteFromTheFarSideShowsWholeAndInOrder) {
    constexpr std::size_t kCount = 1 << 20;

    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(master.get(), 0);
    ASSERT_EQ(::grantpt(master.get()), 0);
    ASSERT_EQ(::unlockpt(master.get()), 0);
    const std::string slavePath = ::ptsname(master.get());
    // Held open so the master never sees a hang-up while the window opens and closes the device.
    Fd slave(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(slave.get(), 0);
    fs::create_symlink(slavePath, dir.path() / "COM1");

    connectCom1();
    form->ui->edCOMout->clear();
    form->btOutCOMClick(form->ui->btOutCOM); // the exchange mode; the empty line's box is recorded
    form->ui->rbCOMinSym->setChecked(true);
    form->ui->cbCountOn->setChecked(true);
    form->ui->mmCOMin->clearLog();

    Peer peer({"source", "--count", std::to_string(kCount), "--pattern", "counter"});
    ASSERT_FALSE(peer.path().empty());
    Fd far(::open(peer.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(far.get(), 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(far.get(), &t), 0);
    ::cfmakeraw(&t);
    ASSERT_EQ(::tcsetattr(far.get(), TCSANOW, &t), 0);

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> relayed{0};
    std::thread relay([&] {
        std::uint8_t buf[4096];
        while (!stop && relayed < kCount) {
            pollfd p{far.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(far.get(), buf, sizeof buf);
            if (n <= 0)
                continue;
            for (ssize_t done = 0; done < n && !stop;) {
                const ssize_t w = ::write(master.get(), buf + done, static_cast<std::size_t>(n - done));
                if (w > 0) {
                    done += w;
                } else {
                    pollfd o{master.get(), POLLOUT, 0};
                    ::poll(&o, 1, 100);
                }
            }
            relayed += static_cast<std::size_t>(n);
        }
    });

    const bool all = runUntil([&] { return form->RxByteCount >= static_cast<std::int64_t>(kCount); }, 180000);
    stop = true;
    relay.join();
    ASSERT_TRUE(all) << "received " << form->RxByteCount << " of " << kCount;
    EXPECT_EQ(form->RxByteCount, static_cast<std::int64_t>(kCount));
    EXPECT_EQ(form->ui->lbCount->text(), QString::number(kCount));

    Bytes counter(kCount);
    for (std::size_t i = 0; i < kCount; ++i)
        counter[i] = static_cast<std::uint8_t>(i);
    QString expected = Cp1251ToString(counter.data(), counter.size());
    // Byte 0 is shown as a visible symbol; CR and LF (never adjacent here) are each a line break.
    expected.replace(QChar(0), QChar(0x2400));
    expected.replace(u'\r', u'\n');
    const QString shown = form->ui->mmCOMin->text();
    ASSERT_EQ(shown.size(), expected.size());
    EXPECT_TRUE(shown == expected);
}

} // namespace
