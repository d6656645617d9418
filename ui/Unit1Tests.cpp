// The line-test page.
#include "Unit1.h"

#include "ui_Unit1.h"

void TForm1::btTestClick(QObject*) {}
void TForm1::trTestTimer(QObject*) {}
void TForm1::btZagClick(QObject*) {}
void TForm1::btPosClick(QObject*) {}
void TForm1::btMassStartClick(QObject*) {}
void TForm1::btStopClick(QObject*) {}
void TForm1::btTestClrClick(QObject*) {}
void TForm1::btOutClrClick(QObject*) {}
void TForm1::btInClrClick(QObject*) {}
void TForm1::btmmZagClrClick(QObject*) {}
void TForm1::btMassClrClick(QObject*) {}
void TForm1::edPosKeyPress(QObject*, char&) {}
void TForm1::edMassKeyPress(QObject*, char&) {}
void TForm1::TestOnByte(std::uint8_t) {}
void TForm1::StubOnByte(std::uint8_t) {}
void TForm1::TestStep() {}
void TForm1::ArrayStep() {}
