// SPDX-License-Identifier: GPL-3.0-or-later
// TForm1: comlab's one window. The controls come from Unit1.ui; each control event is connected to
// the handler of the same name. Handlers hold no parsing or conversion: they call convert/ and the
// driver. The window's working state lives here, so tests can build fresh windows.
#pragma once

#include "CPDrv.h"

#include <QByteArray>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class BreakControl;
class FileSendPanel;
class QAction;
class QLabel;
class PortKeeper;
class RemoteConnect;
class ReceiveProblems;
class RecordingFile;
class QLineEdit;
class LogFindBar;
class QTimer;
class SendLine;
class TimeStamps;
class SettingsStore;
class THexKit;

namespace Ui {
class Form1;
}

// What the window does with received data.
enum TWorkMode : std::uint8_t {
    mdExchange = 0,
    mdTest = 1,
    mdStub = 2,
    mdSequence = 3,
    mdArray = 4,
    mdIdle = 10,
};

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The controls of Unit1.ui, by their object names.
    std::unique_ptr<Ui::Form1> ui;

    // Non-visual components.
    TCommPortDriver* CPDrv = nullptr;
    QTimer* trTx = nullptr;
    QTimer* trRx = nullptr;
    QTimer* trTest = nullptr;
    QTimer* trOpros = nullptr;
    THexKit* HexKit1 = nullptr;

    // Working state shared by the pages.
    TWorkMode WorkMode = mdExchange;
    bool LoopRunning = false;
    QByteArray RxBlock;

    // Exchange page.
    std::vector<std::uint8_t> TxBuffer; // the bytes of the last line; its size is the count
    std::int64_t RxByteCount = 0;       // 64-bit: a 32-bit count would turn negative after 2 GiB

    // Line tests.
    std::uint8_t TestCode = 0;
    std::int32_t TestCycles = 0;
    std::int32_t TestErrors = 0;
    // The loopback test has shown its one failure box of this run: it goes on counting, quietly.
    bool TestFailureShown = false;
    std::uint8_t ArrayCode = 0;
    std::int32_t ArrayIndex = 0;
    std::int32_t ArraySize = 0;
    std::int32_t ArraySum = 0;
    bool ArrayRunning = false;
    // Counts the starts of the test page: a sequence or array loop whose run was superseded by a start
    // nested in its event processing ends without touching the page.
    std::uint32_t RunSerial = 0;

    // Modem lines.
    bool PollingOn = false;

    // --- Window core and connection ---
    void FormClose(QObject* Sender);
    void btCOMonClick(QObject* Sender);
    void btCOMoffClick(QObject* Sender);
    void btTekClick(QObject* Sender);
    void btTekClrClick(QObject* Sender);
    void edBODKeyPress(QObject* Sender, char& Key);
    void CPDrvReceiveData(QObject* Sender, void* DataPtr, DWORD DataSize);
    // What happened to the received stream, in its place between the blocks: counted on the status
    // strip, marked in the exchange log when it shows the data, listed beside a recording.
    void CPDrvReceiveEvents(QObject* Sender, const platform::ReceiveEvent* Events, DWORD Count);
    ReceiveProblems* Problems = nullptr;
    // The connection kept through an unplug: lost when the device hangs up, opened again when it is
    // back (unless acReconnect is unticked). "Разъединить" ends the lost state.
    PortKeeper* Keeper = nullptr;
    QAction* acReconnect = nullptr; // "Переподключаться, когда устройство вернётся", on the port's label
    // A port on another machine is connected off the GUI thread before the open, the settings panel
    // off meanwhile.
    RemoteConnect* Remote = nullptr;
    void PortLost(int error);
    void PortReturned(const QString& device);
    void trTxTimer(QObject* Sender);
    void trRxTimer(QObject* Sender);

    // True when the byte went. A failure is reported in its box unless `report` is false; the caller
    // may then report it later with ReportSendFailure.
    bool SendCode(std::uint8_t code, bool report = true);
    void ShowSendFailure();
    // The box of a send that failed: no connection, or a write that did not go.
    void ReportSendFailure();
    void ReceiveDispatch(const void* DataPtr, DWORD DataSize);

    // --- Exchange page ---
    void btOutCOMClick(QObject* Sender);
    void edCOMoutKeyPress(QObject* Sender, char& Key);
    void btWriteClick(QObject* Sender);
    void btCOMinClrClick(QObject* Sender);
    void btCountClrClick(QObject* Sender);
    void ShowReceivedBlock();
    void ParseHexLine(const QString& line);
    void ParseSymbolLine(const QString& line);

    // --- Line tests ---
    void btTestClick(QObject* Sender);
    void trTestTimer(QObject* Sender);
    void btZagClick(QObject* Sender);
    void btPosClick(QObject* Sender);
    void btMassStartClick(QObject* Sender);
    void btStopClick(QObject* Sender);
    void btTestClrClick(QObject* Sender);
    void btOutClrClick(QObject* Sender);
    void btInClrClick(QObject* Sender);
    void btmmZagClrClick(QObject* Sender);
    void btMassClrClick(QObject* Sender);
    void edPosKeyPress(QObject* Sender, char& Key);
    void edMassKeyPress(QObject* Sender, char& Key);
    // The per-byte entry points and the steps give false when their byte could not be sent: the rest
    // of a received block is then left alone, and a run ends.
    bool TestOnByte(std::uint8_t b);
    bool StubOnByte(std::uint8_t b);
    bool TestStep();
    bool ArrayStep();

    // --- Modem lines ---
    void btOprosClick(QObject* Sender);
    void trOprosTimer(QObject* Sender);
    void cbDTRdChange(QObject* Sender);
    void cbRTSdChange(QObject* Sender);
    void btDTRClick(QObject* Sender);
    void btRTSClick(QObject* Sender);
    void ShowInputLines();

    // --- Keeping a run: the exchange log's menu saves the log and records what arrives ---
    QAction* acSaveLog = nullptr; // "Сохранить протокол…"
    QAction* acRecord = nullptr; // "Записывать принятое в файл…", ticked while recording
    QLabel* lbRecord = nullptr;    // on the status strip while recording: the file
    LogFindBar* fbCOMin = nullptr; // the log's find bar, under it; Ctrl+F on the exchange page
    void acSaveLogExecute(QObject* Sender);
    void acRecordExecute(QObject* Sender);
    // Ends a recording, if one runs: the item unticked, the port closed, a write failed.
    void StopRecording();
    bool Recording() const { return m_record != nullptr; }

    // --- Day to day: settings kept between runs, the send line's history and line end, a file sent,
    // the break. Each a collaborator of its own (Unit1Daily.cpp wires them) ---
    SettingsStore* settings = nullptr;
    SendLine* sendLine = nullptr;
    FileSendPanel* fileSend = nullptr;
    BreakControl* lineBreak = nullptr;
    TimeStamps* timeStamps = nullptr; // "Метки времени" in the log's menu

    // The controls of the open or closed connection: settings locked while open, the disconnect button
    // and the output-line combos usable.
    void ShowConnected(bool open);
    // The start buttons of the test page (btTest, btZag, btPos, btMassStart, btOutCOM), in that order,
    // and btStop the other way round.
    void SetStartButtons(bool enabled);

    // Shows a message box through the box service (recorded in tests).
    void ShowBox(const QString& text, const QString& caption, int iconFlag,
                 const QString& detailedText = QString());
    // Why the last open of the port failed, in words: the device its name led to and the system's
    // reason, as the platform kept them.
    QString ConnectFailureReason() const;
    // The window's notice: caption "Внимание", the information icon.
    void ShowAttention(const QString& text);
    // A typed number as a signed 32-bit decimal; anything else gives nothing and the error box
    // "'<text>' is not a valid integer value." that ends the handler.
    std::optional<std::int32_t> ConvertInteger(const QString& text);
    // Starts a timer that is not running; a running one keeps its interval. false stops it.
    static void EnableTimer(QTimer* timer, bool enabled);
    // True once the window has been closed: loops that pump events must end.
    bool Closing() const { return m_closing; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // "COMn ведёт к <device>", or what stands in when the name leads nowhere or is no COM name.
    static QString deviceLine(const std::string& portName, const std::string& device);
    // A refused line setting in words, e.g. "7 бит данных".
    static QString settingText(const platform::FailureDetail& detail);
    // Why a port on another machine could not be had; empty for other failures.
    static QString netFailureText(const platform::FailureDetail& detail);
    void connectHandlers();
    void filterKeys(QLineEdit* edit, void (TForm1::*handler)(QObject*, char&));
    void refreshPortTooltips();
    void setupKeeping();
    void setupKeeper();
    void setupDaily();
    void followConnection(bool open);
    void setupFind();
    void fixCounterSize();
    // Appends a received block to the recording; a failed write stops it, and a box says why.
    void RecordBlock(const QByteArray& block);
    void RecordEvent(const platform::ReceiveEvent& event);
    void RecordingFailed();

    bool m_closing = false;
    std::unique_ptr<RecordingFile> m_record;
    std::vector<std::pair<QObject*, void (TForm1::*)(QObject*, char&)>> m_keyFilters;
};
