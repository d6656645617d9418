// SPDX-License-Identifier: GPL-3.0-or-later
// The window core: construction, connection, the state report, the one send routine, the receive
// dispatch by working mode and the two lamps.
#include "Unit1.h"

#include "Cp1251.h"
#include "HexKit.h"
#include "IntText.h"
#include "MessageBox.h"
#include "PortKeeper.h"
#include "ReceiveProblems.h"
#include "RecordingFile.h"
#include "RemoteConnect.h"
#include "TimeStamps.h"
#include "platform/ports.h"
#include "ui_Unit1.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTextDocument>
#include <QTimer>

#include <cstring>

namespace {

const QColor kLampOff(0x80, 0x80, 0x80);
const QColor kLampTx(0x00, 0xFF, 0x00);
// 0xF0CAA6 is written blue-green-red: red A6, green CA, blue F0.
const QColor kLampRx(0xA6, 0xCA, 0xF0);

const char* const kDataBitsText[] = {"5", "6", "7", "8"};
const char* const kParityText[] = {"N", "O", "E", "M", "S"};
const char* const kStopBitsText[] = {"1", "1.5", "2"};
const char* const kHwFlowText[] = {"None", "None+DTR on", "RTS/CTS"};
const char* const kSwFlowText[] = {"None", "XON/XOFF"};

const TBaudRate kRateByIndex[] = {br110,   br300,   br600,   br1200,  br2400,   br4800,   br9600,  br14400,
                                  br19200, br38400, br56000, br57600, br115200, br128000, br256000};

// An editable combo keeps its last index while the user types text that names no item, so a click
// would still apply the old item. Select the item the text names exactly, or none, and leave the
// typed text and the cursor as they were (selecting no item would blank the field).
void followEditedText(QComboBox* combo) {
    QLineEdit* edit = combo->lineEdit();
    const int index = combo->findText(edit->text(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index == combo->currentIndex())
        return;
    const QString text = edit->text();
    const int cursor = edit->cursorPosition();
    combo->setCurrentIndex(index);
    if (edit->text() != text)
        edit->setText(text);
    edit->setCursorPosition(cursor);
}

QString comName(int n) {
    return QStringLiteral("\\\\.\\COM%1").arg(n);
}

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::Form1>()) {
    ui->setupUi(this);
    resize(696, 481);

    CPDrv = new TCommPortDriver(this);
    CPDrv->setObjectName(QStringLiteral("CPDrv"));
    CPDrv->setPort(pnCustom);
    CPDrv->setPortName("\\\\.\\COM1");
    CPDrv->setOnReceiveData(
        [this](QObject* sender, void* data, DWORD size) { CPDrvReceiveData(sender, data, size); });
    CPDrv->setOnReceiveEvents([this](QObject* sender, const platform::ReceiveEvent* events, DWORD count) {
        CPDrvReceiveEvents(sender, events, count);
    });

    auto makeTimer = [this](const char* name, int interval) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(interval);
        return t;
    };
    trTx = makeTimer("trTx", 200);
    trRx = makeTimer("trRx", 200);
    trTest = makeTimer("trTest", 1000);
    trOpros = makeTimer("trOpros", 500);

    HexKit1 = new THexKit(this);
    HexKit1->setObjectName(QStringLiteral("HexKit1"));

    connectHandlers();
    fixCounterSize();
    setupKeeping();
    // Counts of lost data and line errors since the connect, on the status strip beside the port.
    auto* lbErrors = new QLabel(ui->plCOM);
    ui->hlStatus->insertWidget(ui->hlStatus->indexOf(ui->lbCOM) + 1, lbErrors);
    Problems = new ReceiveProblems(lbErrors, this);
    setupKeeper();
    setupDaily();
    setupFind();
}

void TForm1::setupKeeper() {
    Keeper = new PortKeeper(CPDrv, this);
    Remote = new RemoteConnect(ui->GroupBox1, ui->lbCOM, this);
    connect(Keeper, &PortKeeper::reconnected, this, [this](const QString& device) { PortReturned(device); });
    connect(Keeper, &PortKeeper::lostNote, this,
            [this](const QString& text) { ui->lbCOM->setToolTip(text); });
    // The port list follows devices as they come and go while it is open.
    connect(Keeper, &PortKeeper::devicesChanged, this, [this] {
        if (ui->cbCOM->view()->isVisible())
            refreshPortTooltips();
    });
    acReconnect = new QAction(tr("Переподключаться, когда устройство вернётся"), this);
    acReconnect->setObjectName(QStringLiteral("acReconnect"));
    acReconnect->setCheckable(true);
    acReconnect->setChecked(true);
    connect(acReconnect, &QAction::toggled, Keeper, &PortKeeper::setReconnecting);
    ui->lbCOM->addAction(acReconnect);
    ui->lbCOM->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TForm1::PortLost(int error) {
    if (Keeper->isLost() || !CPDrv->IsOpen())
        return;
    // What runs on the port stops as "Останов" stops it; the exchange goes on once the device is back.
    if (WorkMode == mdTest || WorkMode == mdStub || WorkMode == mdSequence || WorkMode == mdArray ||
        LoopRunning || ArrayRunning)
        btStopClick(nullptr);
    const QString device = QString::fromStdString(Keeper->device());
    Keeper->lost();
    ui->lbCOM->setText(tr("Связь потеряна: %1 отключено").arg(device));
    const QString why = QString::fromLocal8Bit(std::strerror(error));
    ui->lbCOM->setToolTip(Keeper->reconnecting()
                              ? tr("%1 отключилось (%2). Оно будет открыто снова, как только вернётся: %3.")
                                    .arg(device, why, Keeper->identity())
                              : tr("%1 отключилось (%2). Нажмите \"Разъединить\".").arg(device, why));
}

void TForm1::PortReturned(const QString& device) {
    ui->lbCOM->setText(
        tr("Соединение с портом \"%1\" восстановлено").arg(QString::fromStdString(Keeper->portName())));
    ui->lbCOM->setToolTip(deviceLine(Keeper->portName(), device.toStdString()));
    if (WorkMode == mdExchange)
        ui->mmCOMin->appendMark(LogMarks::Style::Note,
                                QChar(0x27E8) + tr("снова на связи: %1").arg(device) + QChar(0x27E9));
}

TForm1::~TForm1() = default;

void TForm1::connectHandlers() {
    struct Click {
        QAbstractButton* button;
        void (TForm1::*handler)(QObject*);
    };
    const Click clicks[] = {
        {ui->btCOMon, &TForm1::btCOMonClick},       {ui->btCOMoff, &TForm1::btCOMoffClick},
        {ui->btTek, &TForm1::btTekClick},           {ui->btTekClr, &TForm1::btTekClrClick},
        {ui->btOutCOM, &TForm1::btOutCOMClick},     {ui->btWrite, &TForm1::btWriteClick},
        {ui->btCOMinClr, &TForm1::btCOMinClrClick}, {ui->btCountClr, &TForm1::btCountClrClick},
        {ui->btTest, &TForm1::btTestClick},         {ui->btZag, &TForm1::btZagClick},
        {ui->btPos, &TForm1::btPosClick},           {ui->btMassStart, &TForm1::btMassStartClick},
        {ui->btStop, &TForm1::btStopClick},         {ui->btTestClr, &TForm1::btTestClrClick},
        {ui->btOutClr, &TForm1::btOutClrClick},     {ui->btInClr, &TForm1::btInClrClick},
        {ui->btmmZagClr, &TForm1::btmmZagClrClick}, {ui->btMassClr, &TForm1::btMassClrClick},
        {ui->btOpros, &TForm1::btOprosClick},       {ui->btDTR, &TForm1::btDTRClick},
        {ui->btRTS, &TForm1::btRTSClick},
    };
    for (const auto& c : clicks) {
        auto handler = c.handler;
        auto* button = c.button;
        connect(button, &QAbstractButton::clicked, this,
                [this, handler, button] { (this->*handler)(button); });
    }

    connect(trTx, &QTimer::timeout, this, [this] { trTxTimer(trTx); });
    connect(trRx, &QTimer::timeout, this, [this] { trRxTimer(trRx); });
    connect(trTest, &QTimer::timeout, this, [this] { trTestTimer(trTest); });
    connect(trOpros, &QTimer::timeout, this, [this] { trOprosTimer(trOpros); });

    // A change of the line combos is a change by the user only: picking an item or editing the text.
    // Selections made by code (connecting) emit neither signal.
    connect(ui->cbDTRd, &QComboBox::activated, this, [this] { cbDTRdChange(ui->cbDTRd); });
    connect(ui->cbRTSd, &QComboBox::activated, this, [this] { cbRTSdChange(ui->cbRTSd); });
    if (ui->cbDTRd->lineEdit())
        connect(ui->cbDTRd->lineEdit(), &QLineEdit::textEdited, this, [this] {
            followEditedText(ui->cbDTRd);
            cbDTRdChange(ui->cbDTRd);
        });
    if (ui->cbRTSd->lineEdit())
        connect(ui->cbRTSd->lineEdit(), &QLineEdit::textEdited, this, [this] {
            followEditedText(ui->cbRTSd);
            cbRTSdChange(ui->cbRTSd);
        });

    filterKeys(ui->edBOD, &TForm1::edBODKeyPress);
    filterKeys(ui->edCOMout, &TForm1::edCOMoutKeyPress);
    filterKeys(ui->edPos, &TForm1::edPosKeyPress);
    filterKeys(ui->edMass, &TForm1::edMassKeyPress);

    // The port tooltips are filled each time the list opens, the only place they show.
    ui->cbCOM->view()->installEventFilter(this);
}

void TForm1::filterKeys(QLineEdit* edit, void (TForm1::*handler)(QObject*, char&)) {
    edit->installEventFilter(this);
    m_keyFilters.emplace_back(edit, handler);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && watched == ui->cbCOM->view()) {
        refreshPortTooltips();
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    for (const auto& [object, handler] : m_keyFilters) {
        if (object != watched)
            continue;
        auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        // Shortcuts (copy, paste, select all…) are no typed characters; keys without text neither.
        // Tab moves the focus and Delete edits, though X11 gives them the text "\t" and "\x7f".
        const int code = key->key();
        if (text.isEmpty() || (key->modifiers() & Qt::ControlModifier) || code == Qt::Key_Tab ||
            code == Qt::Key_Backtab || code == Qt::Key_Delete)
            return false;
        // One key may type more than one code unit: a character beyond 16 bits, or a composed
        // sequence. Every character goes through the filter; one the page does not hold is a '?'.
        QString kept;
        bool changed = false;
        for (qsizetype i = 0; i < text.size();) {
            const qsizetype n =
                text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate() ? 2
                                                                                                       : 1;
            char k = n == 1 ? static_cast<char>(CharToCp1251(text.at(i))) : '?';
            const char before = k;
            (this->*handler)(object, k);
            if (k == before)
                kept += QStringView(text).sliced(i, n);
            else if (k != 0)
                kept += Cp1251ToChar(static_cast<std::uint8_t>(k));
            changed = changed || k != before;
            i += n;
        }
        if (!changed)
            return false;
        if (!kept.isEmpty())
            static_cast<QLineEdit*>(object)->insert(kept);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::refreshPortTooltips() {
    const auto targets = platform::ComPortTargets();
    for (int i = 0; i < ui->cbCOM->count(); ++i) {
        const auto& target = i < int(targets.size()) ? targets[std::size_t(i)] : std::nullopt;
        const QString tip = deviceLine("\\\\.\\COM" + std::to_string(i + 1), target.value_or(std::string()));
        // A tooltip that looks like markup is shown as markup; a device path is the user's to name.
        ui->cbCOM->setItemData(i, Qt::mightBeRichText(tip) ? Qt::convertFromPlainText(tip) : tip,
                               Qt::ToolTipRole);
    }
}

void TForm1::ShowBox(const QString& text, const QString& caption, int iconFlag, const QString& detailedText) {
    msgbox::Show(this, text, caption, iconFlag, detailedText);
}

void TForm1::ShowAttention(const QString& text) {
    ShowBox(text, tr("Внимание"), msgbox::IconInformation);
}

std::optional<std::int32_t> TForm1::ConvertInteger(const QString& text) {
    const auto value = StrToInt(text);
    // The number conversion's own report: English in every language, as it always was.
    if (!value && !Closing())
        ShowBox(QStringLiteral("'%1' is not a valid integer value.").arg(text), QStringLiteral("comlab"),
                msgbox::IconError);
    return value;
}

void TForm1::EnableTimer(QTimer* timer, bool enabled) {
    if (!enabled)
        timer->stop();
    else if (!timer->isActive())
        timer->start();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose(this);
    m_closing = true;
    event->accept();
}

void TForm1::FormClose(QObject*) {
    if (CPDrv->IsOpen())
        CPDrv->ClosePort();
    StopRecording();
}

void TForm1::btCOMonClick(QObject*) {
    // 1. Port.
    const int com = ui->cbCOM->currentIndex();
    if (com >= 0 && com <= 15)
        CPDrv->setPortName(comName(com + 1).toStdString());

    if (ui->CheckBOD->isChecked()) {
        // 2. A custom rate; an empty, zero, negative or too high one becomes 9600 without a word.
        CPDrv->setBaudRate(brCustom);
        if (!ui->edBOD->text().isEmpty()) {
            const auto value = ConvertInteger(ui->edBOD->text());
            if (!value)
                return;
            if (*value <= 0 || *value > 256000)
                ui->edBOD->setText(QStringLiteral("9600"));
        } else {
            ui->edBOD->setText(QStringLiteral("9600"));
        }
        CPDrv->setBaudRateValue(static_cast<DWORD>(*StrToInt(ui->edBOD->text())));
    } else {
        // 3. A standard rate; the last item is the MIDI rate, driven at 31200.
        const int rate = ui->cbBOD->currentIndex();
        if (rate >= 0 && rate <= 14) {
            CPDrv->setBaudRate(kRateByIndex[rate]);
        } else if (rate == 15) {
            CPDrv->setBaudRate(brCustom);
            CPDrv->setBaudRateValue(31200);
        }
    }

    // 4-7. Format, parity, stop bits, flow control.
    const int bits = ui->cbFORM->currentIndex();
    if (bits >= 0 && bits <= 3)
        CPDrv->setDataBits(static_cast<TDataBits>(bits));
    const int parity = ui->cbCHECK->currentIndex();
    if (parity >= 0 && parity <= 4)
        CPDrv->setParity(static_cast<TParity>(parity));
    const int stop = ui->cbSTOP->currentIndex();
    if (stop >= 0 && stop <= 2)
        CPDrv->setStopBits(static_cast<TStopBits>(stop));
    switch (ui->cbCONTROL->currentIndex()) {
    case 0:
        CPDrv->setHwFlow(hfNONE);
        CPDrv->setSwFlow(sfNONE);
        break;
    case 1:
        CPDrv->setHwFlow(hfNONERTSON);
        CPDrv->setSwFlow(sfNONE);
        break;
    case 2:
        CPDrv->setHwFlow(hfRTSCTS);
        CPDrv->setSwFlow(sfNONE);
        break;
    case 3:
        CPDrv->setHwFlow(hfNONE);
        CPDrv->setSwFlow(sfXONXOFF);
        break;
    default:
        break;
    }

    // 8-9. Open. Why it failed goes into the box's details. A port on another machine is reached off
    // the GUI thread first; the window may be closing once it is.
    CPDrv->setCheckLineStatus(false);
    if (!CPDrv->IsOpen() && (!Remote->prepare(CPDrv->PortName(), CPDrv->BuildDCB()) || Closing()))
        return;
    if (!CPDrv->IsOpen() && !CPDrv->OpenPort()) {
        ShowBox(tr("Программа не может установить связь\r\nс заданным последовательным портом.\r\n"
                   "Проверьте установки порта и попробуйте опять."),
                tr("Ошибка установки связи"), msgbox::IconError, ConnectFailureReason());
    }

    // 10-11. The controls follow the outcome.
    QString status;
    if (CPDrv->IsOpen()) {
        Problems->reset();
        Keeper->connected();
        status = tr("Соединение с портом \"%1\" ").arg(QString::fromStdString(CPDrv->PortName()));
        // Selections by code: no change handler runs, so btDTR/btRTS and their labels stay as they are.
        ui->cbRTSd->setCurrentIndex(1);
        ui->cbDTRd->setCurrentIndex(0);
        ShowConnected(true);
        const std::string device = platform::DeviceBehind(platform::ResolvePortName(CPDrv->PortName()));
        const QString tip = device.empty() ? QString() : deviceLine(CPDrv->PortName(), device);
        // A device path is the user's to name: shown as it is, never as markup.
        ui->lbCOM->setToolTip(Qt::mightBeRichText(tip) ? Qt::convertFromPlainText(tip) : tip);
    } else {
        status = tr("Нет соединения");
        ui->lbCOM->setToolTip(QString());
    }
    ui->lbCOM->setText(status);

    // 12. Whatever the outcome, the test page returns to idle, the loopback test's time-out included:
    // a test left running unseen would go on counting errors and sending into whatever runs next.
    SetStartButtons(true);
    ui->lbTestN->setText(QStringLiteral("  "));
    WorkMode = mdIdle;
    LoopRunning = false;
    EnableTimer(trTest, false);
}

QString TForm1::ConnectFailureReason() const {
    const DWORD error = ::GetLastError();
    const platform::FailureDetail& detail = platform::LastFailureDetail();
    const std::string& name = CPDrv->PortName();
    QString reason;
    if (QString net = netFailureText(detail); !net.isEmpty()) {
        const QString device = deviceLine(name, detail.device);
        return device + QLatin1Char('\n') + net;
    }
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        // A name that leads nowhere says so in its first line already.
        if (!detail.device.empty() || !platform::comPortNumber(name))
            reason = tr("Такого устройства нет.");
        break;
    case ERROR_ACCESS_DENIED:
        reason = tr("Нет прав на доступ к устройству. Последовательные порты обычно открыты группе dialout: "
                    "sudo usermod -aG dialout $USER, затем войдите в систему заново.");
        break;
    case ERROR_SHARING_VIOLATION:
        reason = detail.holderPid > 0 ? tr("Устройство занято: его держит программа %1 (PID %2).")
                                            .arg(QString::fromStdString(detail.holderName))
                                            .arg(detail.holderPid)
                                      : tr("Устройство занято другой программой.");
        break;
    default:
        if (detail.refused != platform::LineSetting::None)
            reason = tr("Устройство не принимает настройку: %1.").arg(settingText(detail));
        else if (detail.systemError != 0)
            reason =
                tr("Системная ошибка: %1.").arg(QString::fromLocal8Bit(std::strerror(detail.systemError)));
        else
            reason = tr("Системная ошибка %1.").arg(error);
        break;
    }
    const QString device = deviceLine(name, detail.device);
    return reason.isEmpty() ? device : device + QLatin1Char('\n') + reason;
}

QString TForm1::netFailureText(const platform::FailureDetail& detail) {
    const QString seconds = QString::number((detail.waitedMs + 999) / 1000);
    switch (detail.net) {
    case platform::NetProblem::NotResolved:
        return tr("Имя узла не найдено.");
    case platform::NetProblem::Refused:
        return tr("Соединение отвергнуто: на этом порту узла никто не ждёт соединений.");
    case platform::NetProblem::NoAnswer:
        return detail.refused != platform::LineSetting::None
                   ? tr("Сервер не ответил за %1 с на настройку: %2.").arg(seconds, settingText(detail))
                   : tr("Нет ответа за %1 с.").arg(seconds);
    case platform::NetProblem::NoComPortOption:
        return tr("Сервер не предлагает COM-PORT-OPTION (RFC 2217): настройки линии ему не передать. "
                  "Для ser2net: accepter telnet(rfc2217),tcp,ПОРТ; для потока байтов без настроек: tcp://.");
    case platform::NetProblem::None:
        break;
    }
    return {};
}

QString TForm1::deviceLine(const std::string& portName, const std::string& device) {
    const auto n = platform::comPortNumber(portName);
    QString path = QString::fromStdString(device);
    // Raw TCP carries bytes only; whoever reads where a port leads learns that there too.
    if (path.startsWith(QStringLiteral("tcp://")))
        path += tr(" (только байты: скорость, формат и модемные линии не передаются)");
    if (!n)
        return path.isEmpty() ? QString::fromStdString(portName) : path;
    return path.isEmpty() ? tr("За COM%1 сейчас нет устройства").arg(*n)
                          : tr("COM%1 ведёт к %2").arg(*n).arg(path);
}

QString TForm1::settingText(const platform::FailureDetail& detail) {
    const DWORD value = detail.refusedValue;
    switch (detail.refused) {
    case platform::LineSetting::DataBits:
        return tr("%1 бит данных").arg(value);
    case platform::LineSetting::Parity: {
        const QString kinds[] = {tr("без контроля чётности"), tr("контроль чётности: нечет"),
                                 tr("контроль чётности: чет"), tr("контроль чётности: mark (\"1\")"),
                                 tr("контроль чётности: space (\"0\")")};
        return value < std::size(kinds) ? kinds[value] : tr("контроль чётности");
    }
    case platform::LineSetting::StopBits: {
        const QString kinds[] = {tr("1 стоповый бит"), tr("1,5 стоповых бита"), tr("2 стоповых бита")};
        return value < std::size(kinds) ? kinds[value] : tr("число стоповых битов");
    }
    case platform::LineSetting::BaudRate:
        return tr("скорость %1 бод").arg(value);
    case platform::LineSetting::RtsCtsFlow:
        return tr("управление потоком RTS/CTS");
    case platform::LineSetting::XonXoffFlow:
        return tr("управление потоком XON/XOFF");
    default:
        return tr("одна из настроек линии");
    }
}

void TForm1::ShowConnected(bool open) {
    for (QWidget* w : {static_cast<QWidget*>(ui->cbCOM), static_cast<QWidget*>(ui->cbBOD),
                       static_cast<QWidget*>(ui->edBOD), static_cast<QWidget*>(ui->CheckBOD),
                       static_cast<QWidget*>(ui->cbFORM), static_cast<QWidget*>(ui->cbCHECK),
                       static_cast<QWidget*>(ui->cbSTOP), static_cast<QWidget*>(ui->cbCONTROL),
                       static_cast<QWidget*>(ui->btCOMon)})
        w->setEnabled(!open);
    ui->btCOMoff->setEnabled(open);
    ui->cbRTSd->setEnabled(open);
    ui->cbDTRd->setEnabled(open);
    // What arrives can be recorded while the port is open; a recording ends with the connection.
    if (!open)
        StopRecording();
    acRecord->setEnabled(open);
    followConnection(open);
}

void TForm1::SetStartButtons(bool enabled) {
    for (QWidget* w : {static_cast<QWidget*>(ui->btTest), static_cast<QWidget*>(ui->btZag),
                       static_cast<QWidget*>(ui->btPos), static_cast<QWidget*>(ui->btMassStart),
                       static_cast<QWidget*>(ui->btOutCOM)})
        w->setEnabled(enabled);
    ui->btStop->setEnabled(!enabled);
}

void TForm1::btCOMoffClick(QObject*) {
    if (CPDrv->IsOpen() || Keeper->isLost()) {
        Keeper->forget();
        CPDrv->ClosePort();
        ShowConnected(false);
    }
    ui->lbCOM->setText(tr("Нет соединения"));
    ui->lbCOM->setToolTip(QString());
}

void TForm1::btTekClick(QObject*) {
    if (!CPDrv->IsOpen()) {
        ui->mmTek->appendPlainText(tr("Нет соединения"));
        return;
    }
    ui->mmTek->appendPlainText(tr("Соед. с портом \"%1\"").arg(QString::fromStdString(CPDrv->PortName())));
    ui->mmTek->appendPlainText(QStringLiteral("%1,%2,%3,%4")
                                   .arg(CPDrv->BaudRateValue())
                                   .arg(QLatin1String(kDataBitsText[CPDrv->DataBits()]))
                                   .arg(QLatin1String(kParityText[CPDrv->Parity()]))
                                   .arg(QLatin1String(kStopBitsText[CPDrv->StopBits()])));
    ui->mmTek->appendPlainText(QStringLiteral("Hw:%1 - Sw:%2")
                                   .arg(QLatin1String(kHwFlowText[CPDrv->HwFlow()]))
                                   .arg(QLatin1String(kSwFlowText[CPDrv->SwFlow()])));
}

void TForm1::btTekClrClick(QObject*) {
    ui->mmTek->clear();
}

void TForm1::edBODKeyPress(QObject*, char& Key) {
    Key = HexKit1->DigitKeyFilter(Key, false);
}

void TForm1::CPDrvReceiveData(QObject*, void* DataPtr, DWORD DataSize) {
    ReceiveDispatch(DataPtr, DataSize);
}

void TForm1::trTxTimer(QObject*) {
    ui->spCOMTxled->setBrushColor(kLampOff);
    EnableTimer(trTx, false);
}

void TForm1::trRxTimer(QObject*) {
    ui->spCOMRxled->setBrushColor(kLampOff);
    EnableTimer(trRx, false);
}

bool TForm1::SendCode(std::uint8_t code, bool report) {
    if (CPDrv->IsOpen() && CPDrv->WriteByte(code)) {
        ui->spCOMTxled->setBrushColor(kLampTx);
        EnableTimer(trTx, true);
        return true;
    }
    if (report)
        ReportSendFailure();
    return false;
}

void TForm1::ReportSendFailure() {
    if (!CPDrv->IsOpen())
        ShowAttention(tr("Нет соединения с COM-портом."));
    else
        ShowSendFailure();
}

void TForm1::ShowSendFailure() {
    // English in every language, as it always was: no tr().
    const QString text =
        CPDrv->CheckLineStatus()
            ? QStringLiteral("Could not send data.\r\nNo device connected to serial port or device is off. "
                             "Please, turn it on.\r\nTry setting Device Check to Off in the settings dialog "
                             "box.\r\nAlso, replace your two wires serial cable with a full wires cable.")
            : QStringLiteral(
                  "Could not send data.\r\nPlease, check connections and try again.\r\nTurn serial "
                  "device on or, try setting Device Check to On in the settings dialog box.\r\nAlso, "
                  "disable Hardware Flow Control if you are using a two wires cable.");
    ShowBox(text, QStringLiteral("Warning"), msgbox::IconInformation);
}

void TForm1::CPDrvReceiveEvents(QObject*, const platform::ReceiveEvent* Events, DWORD Count) {
    for (DWORD i = 0; i < Count; ++i) {
        const platform::ReceiveEvent& e = Events[i];
        // Bytes after a pause: a time stamp where the log shows them, nothing to count or record.
        if (e.kind == platform::ReceiveEventKind::Arrival) {
            if (WorkMode == mdExchange)
                timeStamps->arrival(e);
            continue;
        }
        Problems->note(e);
        if (m_record)
            RecordEvent(e);
        // The log shows received data only in exchange mode; elsewhere the strip keeps the count.
        if (WorkMode == mdExchange)
            ui->mmCOMin->appendMark(ReceiveProblems::isProblem(e.kind) ? LogMarks::Style::Problem
                                                                       : LogMarks::Style::Note,
                                    ReceiveProblems::markText(e));
        if (e.kind == platform::ReceiveEventKind::HangUp)
            PortLost(int(e.count));
    }
}

void TForm1::ReceiveDispatch(const void* DataPtr, DWORD DataSize) {
    // The driver lends its buffer for this call only: copy it before anything can run nested.
    RxBlock = QByteArray(static_cast<const char*>(DataPtr), DataPtr ? static_cast<qsizetype>(DataSize) : 0);
    if (RxBlock.isEmpty())
        return;
    // Recorded first, whatever the mode: a block received while this one is handled (in a box's
    // loop) is recorded after it.
    if (m_record)
        RecordBlock(RxBlock);
    ui->spCOMRxled->setBrushColor(kLampRx);
    EnableTimer(trRx, true);

    switch (WorkMode) {
    case mdExchange:
        ShowReceivedBlock();
        break;
    case mdTest:
    case mdStub: {
        // Each loop walks its own block, even when a nested receive replaces RxBlock meanwhile.
        // A box raised on the way runs a nested loop: once the window closes (or is gone) the rest of
        // the block has nowhere to go.
        const QByteArray block = RxBlock;
        const bool test = WorkMode == mdTest;
        const QPointer<TForm1> self(this);
        // A byte that could not be answered ends the walk: each further one would wait out the write
        // time-out again on a line that is not taking data.
        for (const char c : block) {
            if (!self || Closing())
                return;
            const bool answered =
                test ? TestOnByte(static_cast<std::uint8_t>(c)) : StubOnByte(static_cast<std::uint8_t>(c));
            if (!answered)
                return;
        }
        break;
    }
    case mdSequence:
    case mdArray:
    case mdIdle:
        break;
    }
}
