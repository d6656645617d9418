// SPDX-License-Identifier: GPL-3.0-or-later
// Keeping a run from the exchange log's menu: the log saved as UTF-8 text, and every received byte
// recorded raw into a file until the item is unticked or the port closes; failures in one box each.
#include "ExchangeLog.h"
#include "FileDialog.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <sys/resource.h>

namespace {

QString u(const char* s) {
    return QString::fromUtf8(s);
}

class Keeping : public ::testing::Test {
protected:
    void SetUp() override {
        comm.addDevice("\\\\.\\COM1");
        form = std::make_unique<TForm1>();
        form->show();
    }

    void connectPort() {
        form->btCOMonClick(form->ui->btCOMon);
        ASSERT_TRUE(form->CPDrv->IsOpen());
    }

    void receive(const std::string& block) {
        form->ReceiveDispatch(block.data(), static_cast<DWORD>(block.size()));
    }

    QByteArray file(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QStringList menuTexts() {
        std::unique_ptr<QMenu> menu(form->ui->mmCOMin->createStandardContextMenu());
        QStringList texts;
        for (QAction* a : menu->actions())
            texts << a->text();
        return texts;
    }

    platform::FakeComm comm;
    platform::ScopedCommDevice device{comm};
    msgbox::MessageBoxRecorder boxes;
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
};

TEST_F(Keeping, TheLogsMenuOffersBothAfterTheStandardItems) {
    const QStringList texts = menuTexts();
    ASSERT_GE(texts.size(), 2);
    EXPECT_EQ(texts.mid(texts.size() - 2),
              QStringList({u("Сохранить протокол…"), u("Записывать принятое в файл…")}));
    // Recording needs an open port; saving does not.
    EXPECT_TRUE(form->acSaveLog->isEnabled());
    EXPECT_FALSE(form->acRecord->isEnabled());
    connectPort();
    EXPECT_TRUE(form->acRecord->isEnabled());
}

TEST_F(Keeping, SaveWritesTheWholeLogAsUtf8OrSaysWhyNot) {
    struct Case {
        const char* name;
        QString answer; // what the file dialog answers; empty is a cancel
        bool written;
        bool diskFull = false; // files may not grow past 50 kB: the write fails half-way
    };
    const Case cases[] = {
        {"a new file", dir.filePath("log.txt"), true},
        {"an existing file is replaced", dir.filePath("log.txt"), true},
        {"cancelled", QString(), false},
        {"a folder that does not exist", dir.filePath("no/such/folder/log.txt"), false},
        {"a folder in place of the file", dir.path(), false},
        {"the write fails: the old file stays, the box says why", dir.filePath("log.txt"), false, true},
    };
    // Two lines, Cyrillic, a received 0 and a character outside the code page, and a long run.
    const QString text = u("> Привет < \n") + QChar(0x2400) + QChar(0x4E2D) + QString(100000, u'x');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        form->ui->mmCOMin->setText(text);
        filedlg::FileDialogStub dialog({c.answer});
        if (c.diskFull) {
            form->ui->mmCOMin->setText(text + text);
            rlimit was{};
            ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
            rlimit small = was;
            small.rlim_cur = 50000;
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
            form->acSaveLog->trigger();
            setrlimit(RLIMIT_FSIZE, &was);
            std::signal(SIGXFSZ, oldHandler);
            EXPECT_EQ(file(c.answer), text.toUtf8());
            ASSERT_EQ(boxes.boxes().size(), 1u);
            EXPECT_TRUE(boxes.boxes()[0].text.contains(QString::fromLocal8Bit(std::strerror(EFBIG))))
                << boxes.boxes()[0].text.toStdString();
            continue;
        }
        form->acSaveLog->trigger();
        EXPECT_EQ(dialog.captions(), QStringList{u("Сохранить протокол")});
        if (c.written) {
            EXPECT_EQ(file(c.answer), text.toUtf8());
            EXPECT_TRUE(boxes.boxes().empty());
        } else if (c.answer.isEmpty()) {
            EXPECT_TRUE(boxes.boxes().empty());
        } else {
            ASSERT_EQ(boxes.boxes().size(), 1u);
            EXPECT_EQ(boxes.boxes()[0].caption, u("Ошибка сохранения"));
            EXPECT_EQ(boxes.boxes()[0].icon, msgbox::IconError);
            EXPECT_TRUE(boxes.boxes()[0].text.contains(c.answer));
        }
    }
}

TEST_F(Keeping, RecordingTakesEveryReceivedByteRawUntilUnticked) {
    connectPort();
    const QString path = dir.filePath("rx.bin");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old|"); // appended to, not replaced
    }
    filedlg::FileDialogStub dialog({path});
    form->acRecord->trigger();
    EXPECT_TRUE(form->acRecord->isChecked());
    EXPECT_TRUE(form->lbRecord->isVisible());
    EXPECT_TRUE(form->lbRecord->text().contains(u("rx.bin")));

    // Whatever the mode: idle after the connect, the exchange, the stub.
    const std::string idle("\x00\x0D\x0A\xFF", 4);
    receive(idle);
    form->ui->rbOutHex->setChecked(true);
    form->ui->edCOMout->setText(u(" "));
    form->btOutCOMClick(form->ui->btOutCOM);
    receive("AB");
    form->btZagClick(form->ui->btZag);
    receive("\x80z");
    EXPECT_EQ(file(path), QByteArray("old|") + QByteArray(idle.data(), 4) + "AB\x80z");

    form->acRecord->trigger(); // the ticked item ends the recording
    EXPECT_FALSE(form->acRecord->isChecked());
    EXPECT_FALSE(form->lbRecord->isVisible());
    receive("later");
    EXPECT_EQ(file(path), QByteArray("old|") + QByteArray(idle.data(), 4) + "AB\x80z");
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Keeping, RecordingEndsWhenThePortCloses) {
    connectPort();
    const QString path = dir.filePath("rx.bin");
    filedlg::FileDialogStub dialog({path});
    form->acRecord->trigger();
    receive("before");
    form->btCOMoffClick(form->ui->btCOMoff);
    EXPECT_FALSE(form->Recording());
    EXPECT_FALSE(form->acRecord->isChecked());
    EXPECT_FALSE(form->acRecord->isEnabled());
    EXPECT_FALSE(form->lbRecord->isVisible());
    connectPort();
    receive("after");
    EXPECT_EQ(file(path), QByteArray("before"));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Keeping, ARecordingThatCannotWriteStopsWithOneBox) {
    struct Case {
        const char* name;
        QString path;
        bool opens;
        int reason = 0;    // the system's reason the box gives
        int sizeLimit = 0; // files may not grow past this many bytes: a write falls short, then fails
        int written = -1;  // the bytes the box says reached the file
    };
    const Case cases[] = {
        {"a full device", QStringLiteral("/dev/full"), true, ENOSPC, 0, 0},
        {"a file that reaches the size limit", dir.filePath("big.bin"), true, EFBIG, 10, 10},
        {"a folder", dir.path(), false},
        {"a folder that does not exist", dir.filePath("no/such/rx.bin"), false},
    };
    connectPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        filedlg::FileDialogStub dialog({c.path});
        form->acRecord->trigger();
        EXPECT_EQ(form->Recording(), c.opens);
        rlimit was{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (c.sizeLimit) {
            rlimit small = was;
            small.rlim_cur = rlim_t(c.sizeLimit);
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        for (int i = 0; i < 3; ++i)
            receive("data");
        setrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, oldHandler);
        QCoreApplication::processEvents(); // the box comes after the block that failed
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].caption, u("Ошибка записи"));
        EXPECT_EQ(boxes.boxes()[0].icon, msgbox::IconError);
        EXPECT_TRUE(boxes.boxes()[0].text.contains(c.path));
        if (c.reason) {
            EXPECT_TRUE(boxes.boxes()[0].text.contains(QString::fromLocal8Bit(std::strerror(c.reason))))
                << boxes.boxes()[0].text.toStdString();
            EXPECT_TRUE(boxes.boxes()[0].text.contains(u("В файл записано байт: %1.").arg(c.written)))
                << boxes.boxes()[0].text.toStdString();
        }
        EXPECT_FALSE(form->Recording());
        EXPECT_FALSE(form->acRecord->isChecked());
        EXPECT_FALSE(form->lbRecord->isVisible());
    }
}

TEST_F(Keeping, TheFailureBoxWaitsSoThatWhatArrivesMeanwhileShowsInOrder) {
    connectPort();
    form->ui->rbOutSym->setChecked(true);
    form->ui->edCOMout->setText(u("x"));
    form->btOutCOMClick(form->ui->btOutCOM); // mdExchange: received data shows in the log
    form->ui->mmCOMin->clearLog();
    filedlg::FileDialogStub dialog({QStringLiteral("/dev/full")});
    form->acRecord->trigger();
    // While the box is up, the poll tick delivers another block.
    boxes.setWhileOpen([this](const msgbox::RecordedBox&) { receive("2"); });
    receive("1");
    EXPECT_TRUE(boxes.boxes().empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(form->ui->mmCOMin->text(), u("12"));
}

} // namespace
