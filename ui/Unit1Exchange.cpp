// The exchange page.
#include "Unit1.h"

#include "ui_Unit1.h"

void TForm1::btOutCOMClick(QObject*) {}
void TForm1::edCOMoutKeyPress(QObject*, char&) {}
void TForm1::btWriteClick(QObject*) {}
void TForm1::btCOMinClrClick(QObject*) {}
void TForm1::btCountClrClick(QObject*) {}
void TForm1::ShowReceivedBlock() {}
void TForm1::ParseHexLine(const QString&) {}
void TForm1::ParseSymbolLine(const QString&) {}
