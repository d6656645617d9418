// The modem-line page.
#include "Unit1.h"

#include "ui_Unit1.h"

void TForm1::btOprosClick(QObject*) {}
void TForm1::trOprosTimer(QObject*) {}
void TForm1::cbDTRdChange(QObject*) {}
void TForm1::cbRTSdChange(QObject*) {}
void TForm1::btDTRClick(QObject*) {}
void TForm1::btRTSClick(QObject*) {}
void TForm1::ShowInputLines() {}
