// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Послать Break": holds the transmit line at space for 250 ms, from the modem-line page where the
// output lines are set. The window stays live meanwhile; the button waits for the break to end.
#include <QObject>

class QPushButton;
class TForm1;

class BreakControl : public QObject {
    Q_OBJECT
public:
    static constexpr unsigned kBreakMs = 250;

    explicit BreakControl(TForm1* form);

    QPushButton* btBreak = nullptr;

    void btBreakClick();
    // The port opened or closed.
    void followConnection(bool open);

private:
    TForm1* m_form;
};
