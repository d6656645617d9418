// SPDX-License-Identifier: GPL-3.0-or-later
// The line-test page against comlab-peer on a pseudo-terminal: the loopback test counts exactly the
// bytes an echo device dropped or corrupted, and the array and the sequence arrive as a checking sink
// expects them.
#include "MessageBox.h"
#include "Unit1.h"
#include "peer_process.h"
#include "temp_dir.h"
#include "ui_Unit1.h"

#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using comlab::test::TempDir;

// comlab-peer mapped as COM1 in `dir`, writing its statistics to dir/stats.
class Peer : public comlab::test::MappedPeer {
public:
    Peer(const fs::path& dir, std::vector<std::string> args)
        : MappedPeer(COMLAB_PEER_BIN, dir, std::move(args),
                     {.env = {}, .silenceStderr = false, .stopSignal = SIGKILL}) {}

    // A fresh statistics line, letting the window's event loop run meanwhile.
    comlab::test::Stats stats() const {
        return MappedPeer::stats([](const auto& ready) { return QTest::qWaitFor(ready, 5000); });
    }
    long long stat(const char* key) const { return comlab::test::statNumber(stats(), key); }
};

class LineTestsE2E : public ::testing::Test {
protected:
    TempDir dir{"linetests-e2e"};
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<Peer> peer;
    std::unique_ptr<TForm1> form;

    void start(std::vector<std::string> args) {
        qputenv("COMLAB_PORTS_DIR", QByteArray::fromStdString(dir.path().string()));
        peer = std::make_unique<Peer>(dir.path(), std::move(args));
        ASSERT_TRUE(peer->ok());
        form = std::make_unique<TForm1>();
        form->show();
        form->ui->cbCOM->setCurrentIndex(0);
        form->btCOMonClick(nullptr);
        ASSERT_TRUE(form->CPDrv->IsOpen());
    }
    void TearDown() override {
        form.reset();
        peer.reset();
    }
};

TEST_F(LineTestsE2E, LoopbackCountsEveryDroppedAndCorruptedEcho) {
    constexpr int kDrop = 25, kCorrupt = 7, kCodes = 60;
    start({"echo", "--drop-every", std::to_string(kDrop), "--corrupt-every", std::to_string(kCorrupt)});
    form->btTestClick(nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->TestCycles == 1 && form->TestCode >= kCodes; }, 60000));
    form->btStopClick(nullptr);
    // Every code but the last has been answered or timed out; the last one is still out.
    const int sent = form->TestCode + 1;
    int expected = 0;
    for (int i = 1; i < sent; ++i)
        expected += (i % kDrop == 0 || i % kCorrupt == 0) ? 1 : 0;
    EXPECT_EQ(form->TestErrors, expected);
    EXPECT_EQ(form->ui->lbErr->text(), QString::number(expected));
    EXPECT_EQ(peer->stat("bytes_in"), sent);
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(LineTestsE2E, ArrayArrivesAsACounterWithItsSum) {
    start({"sink", "--expect", "counter"});
    form->ui->edMass->setText("258");
    form->btMassStartClick(nullptr);
    EXPECT_EQ(form->ArraySum, 1);
    EXPECT_EQ(form->WorkMode, mdArray);
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->stat("bytes_in") == 258; }, 10000));
    auto s = peer->stats();
    EXPECT_EQ(s["mismatches"], "0");
    EXPECT_EQ(s["sum"], "1");
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(LineTestsE2E, SequenceRepeatsItsCodeUntilStop) {
    start({"sink", "--expect", "repeat:55"});
    form->ui->edPos->setText("55");
    QTimer::singleShot(500, form.get(), [this] { form->btStopClick(nullptr); });
    form->btPosClick(nullptr);
    QTest::qWait(100);
    EXPECT_GT(peer->stat("bytes_in"), 100);
    EXPECT_EQ(peer->stat("mismatches"), 0);
    EXPECT_TRUE(boxes.boxes().empty());
}

} // namespace
