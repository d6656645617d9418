// The line-test page against comlab-peer on a pseudo-terminal: the loopback test counts exactly the
// bytes an echo device dropped or corrupted, and the array and the sequence arrive as a checking sink
// expects them.
#include "MessageBox.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "linetests-e2e-XXXXXX").string();
        m_path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(m_path); }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// comlab-peer mapped as COM1 in `dir`, writing its statistics to dir/stats.
class Peer {
public:
    Peer(const fs::path& dir, std::vector<std::string> args) : m_stats(dir / "stats") {
        args.insert(args.begin(), COMLAB_PEER_BIN);
        for (const auto& [k, v] :
             std::vector<std::pair<std::string, std::string>>{{"--map", dir.string()},
                                                              {"--com", "1"},
                                                              {"--stats-file", m_stats.string()},
                                                              {"--parent", std::to_string(::getpid())}}) {
            args.push_back(k);
            args.push_back(v);
        }
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&m_pid, COMLAB_PEER_BIN, &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        // The device path comes once the device and its mapping are ready.
        for (;;) {
            pollfd p{out[0], POLLIN, 0};
            char c = 0;
            if (::poll(&p, 1, 5000) <= 0 || ::read(out[0], &c, 1) != 1 || c == '\n')
                break;
        }
        ::close(out[0]);
    }
    ~Peer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // A fresh statistics line, letting the window's event loop run meanwhile.
    std::map<std::string, std::string> stats() const {
        fs::remove(m_stats);
        ::kill(m_pid, SIGUSR1);
        if (!QTest::qWaitFor([&] { return fs::exists(m_stats); }, 5000))
            return {};
        std::ifstream f(m_stats);
        std::string line, w;
        std::getline(f, line);
        std::map<std::string, std::string> kv;
        std::istringstream words(line);
        while (words >> w)
            if (const auto eq = w.find('='); eq != std::string::npos)
                kv[w.substr(0, eq)] = w.substr(eq + 1);
        return kv;
    }
    long long stat(const char* key) const {
        const auto s = stats();
        const auto it = s.find(key);
        return it == s.end() ? -1 : std::stoll(it->second);
    }

private:
    pid_t m_pid = -1;
    fs::path m_stats;
};

class LineTestsE2E : public ::testing::Test {
protected:
    TempDir dir;
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<Peer> peer;
    std::unique_ptr<TForm1> form;

    void start(std::vector<std::string> args) {
        qputenv("COMLAB_PORTS_DIR", QByteArray::fromStdString(dir.path().string()));
        peer = std::make_unique<Peer>(dir.path(), std::move(args));
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
