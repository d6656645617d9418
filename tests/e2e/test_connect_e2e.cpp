// SPDX-License-Identifier: GPL-3.0-or-later
// Connecting the window to a virtual device on a pseudo-terminal, through the port map, with the
// real event loop: the status line, the state report, an echoed byte, and an absent port.
#include "MessageBox.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QString u(const char* s) {
    return QString::fromUtf8(s);
}

// comlab-peer echo on COM1 of a fresh map folder, which the process uses as its only port map.
class EchoPeer {
public:
    EchoPeer() {
        m_was = qgetenv("COMLAB_PORTS_DIR");
        m_peer.setProgram(QStringLiteral(COMLAB_PEER_BIN));
        m_peer.setArguments({QStringLiteral("echo"), QStringLiteral("--map"), m_dir.path(),
                             QStringLiteral("--com"), QStringLiteral("1"), QStringLiteral("--parent"),
                             QString::number(QCoreApplication::applicationPid())});
        m_peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_peer.start();
        qputenv("COMLAB_PORTS_DIR", QFile::encodeName(m_dir.path()));
    }
    ~EchoPeer() {
        m_peer.terminate();
        if (!m_peer.waitForFinished(5000))
            m_peer.kill();
        m_peer.waitForFinished(5000);
        qputenv("COMLAB_PORTS_DIR", m_was);
    }
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

    bool ready() {
        const QString link = m_dir.filePath(QStringLiteral("COM1"));
        return m_dir.isValid() && m_peer.waitForStarted(5000) &&
               QTest::qWaitFor([&] { return QFileInfo(link).isSymLink() && QFileInfo(link).exists(); },
                               10000);
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_was;
    QProcess m_peer;
};

} // namespace

TEST(ConnectE2E, ConnectsReportsEchoesAndFailsOnAnAbsentPort) {
    EchoPeer peer;
    ASSERT_TRUE(peer.ready());
    msgbox::MessageBoxRecorder boxes;
    TForm1 form;
    auto& ui = *form.ui;

    form.btCOMonClick(ui.btCOMon);
    ASSERT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0].text.toStdString();
    ASSERT_TRUE(form.CPDrv->IsOpen());
    EXPECT_EQ(ui.lbCOM->text(), u("Соединение с портом \"\\\\.\\COM1\" "));

    form.btTekClick(ui.btTek);
    EXPECT_EQ(ui.mmTek->toPlainText(), u("Соед. с портом \"\\\\.\\COM1\"\n9600,8,N,1\nHw:None - Sw:None"));

    // Idle after the connect: the echo comes back, lights the lamp and waits in RxBlock.
    form.SendCode(0x5A);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.RxBlock.contains('Z'); }, 10000));
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(form.WorkMode, mdIdle);

    form.btCOMoffClick(ui.btCOMoff);
    EXPECT_FALSE(form.CPDrv->IsOpen());

    ui.cbCOM->setCurrentIndex(1);
    form.btCOMonClick(ui.btCOMon);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, u("Ошибка установки связи"));
    EXPECT_EQ(boxes.boxes()[0].icon, 16);
    EXPECT_FALSE(form.CPDrv->IsOpen());
    EXPECT_EQ(ui.lbCOM->text(), u("Нет соединения"));

    // The first port is still there for another try.
    ui.cbCOM->setCurrentIndex(0);
    form.btCOMonClick(ui.btCOMon);
    EXPECT_TRUE(form.CPDrv->IsOpen());
    EXPECT_EQ(boxes.boxes().size(), 1u);
}
