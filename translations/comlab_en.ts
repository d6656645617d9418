<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="ru_RU">
<context>
    <name>BreakControl</name>
    <message>
        <source>Послать Break, %1 мс</source>
        <translation>Send break, %1 ms</translation>
    </message>
    <message>
        <source>Послать Break на %1 мс</source>
        <translation>Send a break of %1 ms</translation>
    </message>
    <message>
        <source>Удержать линию передачи в состоянии Break (пауза) %1 мс</source>
        <translation>Hold the transmit line in the break state (space) for %1 ms</translation>
    </message>
    <message>
        <source>Нет соединения с COM-портом.</source>
        <translation>No connection to the COM port.</translation>
    </message>
    <message>
        <source>Устройство не приняло Break.</source>
        <translation>The device did not take the break.</translation>
    </message>
</context>
<context>
    <name>FileSendPanel</name>
    <message>
        <source>Передать файл…</source>
        <translation>Send file…</translation>
    </message>
    <message>
        <source>Передать файл как есть, байт за байтом</source>
        <translation>Send a file&apos;s bytes as they are</translation>
    </message>
    <message>
        <source>Паузы при передаче файла</source>
        <translation>Pauses while sending a file</translation>
    </message>
    <message>
        <source>Без пауз (ждать только управления потоком)</source>
        <translation>No pauses (wait for flow control only)</translation>
    </message>
    <message>
        <source>Пауза %1 мс после каждой строки</source>
        <translation>Pause %1 ms after each line</translation>
    </message>
    <message>
        <source>Пауза %1 мс после каждого байта</source>
        <translation>Pause %1 ms after each byte</translation>
    </message>
    <message>
        <source>Передать файл</source>
        <translation>Send file</translation>
    </message>
    <message>
        <source>Передать файл; стрелка: паузы для устройств без управления потоком</source>
        <translation>Send a file; the arrow: pauses for devices without flow control</translation>
    </message>
    <message>
        <source>Передача файла</source>
        <translation>File send</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Отменить передачу файла</source>
        <translation>Cancel the file send</translation>
    </message>
    <message>
        <source>Нет соединения с COM-портом.</source>
        <translation>No connection to the COM port.</translation>
    </message>
    <message>
        <source>Не удалось открыть файл<byte value="xd"/>
%1<byte value="xd"/>
для передачи: %2.</source>
        <translation>Could not open the file<byte value="xd"/>
%1<byte value="xd"/>
to send it: %2.</translation>
    </message>
    <message>
        <source>Ошибка чтения</source>
        <translation>Read error</translation>
    </message>
    <message>
        <source>&gt; Передача файла &quot;%1&quot;, %2 байт &lt; </source>
        <translation>&gt; Sending file &quot;%1&quot;, %2 bytes &lt; </translation>
    </message>
    <message>
        <source>%1 байт</source>
        <translation>%1 bytes</translation>
    </message>
    <message>
        <source>%1 КБ</source>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>%1 МБ</source>
        <translation>%1 MB</translation>
    </message>
    <message>
        <source>%1 ГБ</source>
        <translation>%1 GB</translation>
    </message>
    <message>
        <source>ожидание: управление потоком</source>
        <translation>waiting: flow control</translation>
    </message>
    <message>
        <source>%1 из %2</source>
        <translation>%1 of %2</translation>
    </message>
    <message>
        <source>%1/с</source>
        <translation>%1/s</translation>
    </message>
    <message>
        <source>осталось %1</source>
        <translation>%1 left</translation>
    </message>
    <message>
        <source>&gt; Файл &quot;%1&quot; передан: %2 байт &lt; </source>
        <translation>&gt; File &quot;%1&quot; sent: %2 bytes &lt; </translation>
    </message>
    <message>
        <source>&gt; Передача файла &quot;%1&quot; отменена: передано %2 из %3 байт &lt; </source>
        <translation>&gt; Sending file &quot;%1&quot; cancelled: %2 of %3 bytes sent &lt; </translation>
    </message>
    <message>
        <source>&gt; Передача файла &quot;%1&quot; прервана: порт закрыт, передано %2 из %3 байт &lt; </source>
        <translation>&gt; Sending file &quot;%1&quot; stopped: the port closed, %2 of %3 bytes sent &lt; </translation>
    </message>
    <message>
        <source>&gt; Передача файла &quot;%1&quot; прервана: ошибка чтения (%4), передано %2 из %3 байт &lt; </source>
        <translation>&gt; Sending file &quot;%1&quot; stopped: read error (%4), %2 of %3 bytes sent &lt; </translation>
    </message>
</context>
<context>
    <name>FileSender</name>
    <message>
        <source>это не обычный файл</source>
        <translation>it is not a regular file</translation>
    </message>
</context>
<context>
    <name>Form1</name>
    <message>
        <source> Программа для работы с последовательным портом. Вер. 1.2 </source>
        <translation> A program for working with a serial port. Ver. 1.2 </translation>
    </message>
    <message>
        <source>comlab — терминал последовательного порта для Linux</source>
        <translation>comlab — a serial port terminal for Linux</translation>
    </message>
    <message>
        <source>Обмен</source>
        <translation>Exchange</translation>
    </message>
    <message>
        <source> Протокол обмена </source>
        <translation> Exchange log </translation>
    </message>
    <message>
        <source>Очистить</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>Вид принимаемой информации</source>
        <translation>Show received data as</translation>
    </message>
    <message>
        <source>Симв.</source>
        <translation>Chars</translation>
    </message>
    <message>
        <source>дубль симв.</source>
        <translation>with chars</translation>
    </message>
    <message>
        <source>дубль hex</source>
        <translation>with hex</translation>
    </message>
    <message>
        <source>Счетчик принятых байт</source>
        <translation>Received bytes</translation>
    </message>
    <message>
        <source>Считать</source>
        <translation>Count</translation>
    </message>
    <message>
        <source>Сброс</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source> Информация на вывод </source>
        <translation> Data to send </translation>
    </message>
    <message>
        <source>Передать</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>Вид передаваемой информации</source>
        <translation>Send data as</translation>
    </message>
    <message>
        <source> Спецсимволы </source>
        <translation> Special characters </translation>
    </message>
    <message>
        <source>Ввод</source>
        <translation>Insert</translation>
    </message>
    <message>
        <source>Тест</source>
        <comment>notebook page</comment>
        <translation>Tests</translation>
    </message>
    <message>
        <source>Тест</source>
        <comment>loopback test</comment>
        <translation>Loopback test</translation>
    </message>
    <message>
        <source> Код в линию </source>
        <translation> Code sent </translation>
    </message>
    <message>
        <source> Ответ с линии </source>
        <translation> Code received </translation>
    </message>
    <message>
        <source> В линию </source>
        <translation> Sent </translation>
    </message>
    <message>
        <source>С линии </source>
        <translation>Received </translation>
    </message>
    <message>
        <source> Цикл теста </source>
        <translation> Pass </translation>
    </message>
    <message>
        <source>Счетчик ошибок </source>
        <translation>Errors </translation>
    </message>
    <message>
        <source>Пуск</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Массив</source>
        <translation>Array</translation>
    </message>
    <message>
        <source>Размер массива, байт</source>
        <translation>Array size, bytes</translation>
    </message>
    <message>
        <source>Номер</source>
        <translation>Number</translation>
    </message>
    <message>
        <source>Код</source>
        <translation>Code</translation>
    </message>
    <message>
        <source>Сумма</source>
        <translation>Sum</translation>
    </message>
    <message>
        <source>Заглушка</source>
        <translation>Echo stub</translation>
    </message>
    <message>
        <source>Выводить в окно </source>
        <translation>Show in window </translation>
    </message>
    <message>
        <source>Очистка</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>Последовательность</source>
        <translation>Sequence</translation>
    </message>
    <message>
        <source> Код в линию </source>
        <comment>sequence</comment>
        <translation> Code to send </translation>
    </message>
    <message>
        <source>Останов</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>Текущий режим</source>
        <translation>Current mode</translation>
    </message>
    <message>
        <source>Доп. Установки</source>
        <translation>Modem lines</translation>
    </message>
    <message>
        <source>Установка выходов</source>
        <translation>Set outputs</translation>
    </message>
    <message>
        <source>Выкл. (OFF) +12 V</source>
        <translation>Off  +12 V</translation>
    </message>
    <message>
        <source>Вкл.    (ON)  - 12 V</source>
        <translation>On   -12 V</translation>
    </message>
    <message>
        <source>Вкл.    (ON)   -12 V</source>
        <translation>On   -12 V</translation>
    </message>
    <message>
        <source>Установленные состояния</source>
        <translation>Applied states</translation>
    </message>
    <message>
        <source>Для задания необходимого 
состояния выводов
DTR или RTS нужно выбрать
(изменить) значение 
в выпадающем меню
и нажать активизирущуюся
кнопку.</source>
        <translation>To set the DTR or RTS output,
choose (change) its state
in the drop-down list
and press the button
that becomes active.</translation>
    </message>
    <message>
        <source>Состояние входов</source>
        <translation>Input lines</translation>
    </message>
    <message>
        <source>Периодический</source>
        <translation>Periodic</translation>
    </message>
    <message>
        <source>Опрос</source>
        <translation>Poll</translation>
    </message>
    <message>
        <source>Настройки COM-порта</source>
        <translation>COM port settings</translation>
    </message>
    <message>
        <source> COM-порт </source>
        <translation> COM port </translation>
    </message>
    <message>
        <source> Скорость, бод </source>
        <translation> Baud rate </translation>
    </message>
    <message>
        <source>Произвольная</source>
        <translation>Custom</translation>
    </message>
    <message>
        <source>Произв.</source>
        <translation>Custom</translation>
    </message>
    <message>
        <source>Стандарт.</source>
        <translation>Standard</translation>
    </message>
    <message>
        <source> Формат, бит </source>
        <translation> Data bits </translation>
    </message>
    <message>
        <source> Стоповые биты </source>
        <translation> Stop bits </translation>
    </message>
    <message>
        <source>1,5</source>
        <translation>1.5</translation>
    </message>
    <message>
        <source> Контроль </source>
        <translation> Parity </translation>
    </message>
    <message>
        <source>None   (без контроля)</source>
        <translation>None</translation>
    </message>
    <message>
        <source>Odd     (нечет)</source>
        <translation>Odd</translation>
    </message>
    <message>
        <source>Even   (чет)</source>
        <translation>Even</translation>
    </message>
    <message>
        <source>Mark   (&quot;1&quot;)</source>
        <translation>Mark (&quot;1&quot;)</translation>
    </message>
    <message>
        <source>Space (&quot;0&quot;)</source>
        <translation>Space (&quot;0&quot;)</translation>
    </message>
    <message>
        <source> Управление потоком </source>
        <translation> Flow control </translation>
    </message>
    <message>
        <source>None  (нет, RTS выкл.)</source>
        <translation>None (RTS off)</translation>
    </message>
    <message>
        <source>None  (нет, RTS вкл.)</source>
        <translation>None (RTS on)</translation>
    </message>
    <message>
        <source>RTS/CTS (аппаратн.)</source>
        <translation>RTS/CTS (hardware)</translation>
    </message>
    <message>
        <source>Xon/Xoff   (прогр.)</source>
        <translation>XON/XOFF (software)</translation>
    </message>
    <message>
        <source>Тек. состояние</source>
        <translation>Show state</translation>
    </message>
    <message>
        <source>Соединить</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>Разъединить</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>Зеленый -  когда идет запрос на COM-порт</source>
        <translation>Green while data goes to the COM port</translation>
    </message>
    <message>
        <source>передача</source>
        <translation>transmit</translation>
    </message>
    <message>
        <source> прием </source>
        <translation> receive </translation>
    </message>
    <message>
        <source>нет соединения</source>
        <translation>not connected</translation>
    </message>
</context>
<context>
    <name>LogFindBar</name>
    <message>
        <source>Поиск в протоколе</source>
        <translation>Search in the log</translation>
    </message>
    <message>
        <source>Найти:</source>
        <translation>Find:</translation>
    </message>
    <message>
        <source>Найти</source>
        <translation>Find</translation>
    </message>
    <message>
        <source>Текст для поиска</source>
        <translation>Text to find</translation>
    </message>
    <message>
        <source>Далее</source>
        <translation>Next</translation>
    </message>
    <message>
        <source>Найти следующее (Enter)</source>
        <translation>Find the next (Enter)</translation>
    </message>
    <message>
        <source>Назад</source>
        <translation>Previous</translation>
    </message>
    <message>
        <source>Найти предыдущее (Shift+Enter)</source>
        <translation>Find the previous (Shift+Enter)</translation>
    </message>
    <message>
        <source>Регистр</source>
        <translation>Case</translation>
    </message>
    <message>
        <source>Различать прописные и строчные буквы</source>
        <translation>Tell capital and small letters apart</translation>
    </message>
    <message>
        <source>С учётом регистра</source>
        <translation>Match case</translation>
    </message>
    <message>
        <source>HEX</source>
        <translation>HEX</translation>
    </message>
    <message>
        <source>Искать коды байтов, например «0D 0A», пока протокол показывает принятое в HEX</source>
        <translation>Find byte codes, such as “0D 0A”, while the log shows received data in HEX</translation>
    </message>
    <message>
        <source>Искать коды HEX</source>
        <translation>Find HEX codes</translation>
    </message>
    <message>
        <source>Итог поиска</source>
        <translation>Search result</translation>
    </message>
    <message>
        <source>Закрыть поиск (Esc)</source>
        <translation>Close the search (Esc)</translation>
    </message>
    <message>
        <source>Закрыть поиск</source>
        <translation>Close the search</translation>
    </message>
    <message>
        <source>Не найдено</source>
        <translation>Not found</translation>
    </message>
    <message>
        <source>Коды HEX: по две цифры через пробел</source>
        <translation>HEX codes: two digits each, separated by blanks</translation>
    </message>
</context>
<context>
    <name>PortKeeper</name>
    <message>
        <source>%1 подходят оба (%2): не открываю ни одного</source>
        <translation>%1 matches more than one device (%2): opening none of them</translation>
    </message>
    <message>
        <source>%1 вернулось, но не открывается: %2</source>
        <translation>%1 is back but cannot be opened: %2</translation>
    </message>
</context>
<context>
    <name>ReceiveProblems</name>
    <message>
        <source>Ошибок приёма: %1</source>
        <translation>Receive errors: %1</translation>
    </message>
    <message>
        <source>С момента соединения:</source>
        <translation>Since the connect:</translation>
    </message>
    <message>
        <source>входная очередь переполнялась: %1 раз, потеряно %2 байт</source>
        <translation>input queue full: %1 times, %2 bytes lost</translation>
    </message>
    <message>
        <source>переполнение приёмника: %1</source>
        <translation>receiver overruns: %1</translation>
    </message>
    <message>
        <source>ошибки кадра: %1</source>
        <translation>framing errors: %1</translation>
    </message>
    <message>
        <source>ошибки чётности: %1</source>
        <translation>parity errors: %1</translation>
    </message>
    <message>
        <source>разрывы линии (break): %1</source>
        <translation>breaks: %1</translation>
    </message>
    <message>
        <source>%1 байт потеряно: входная очередь полна</source>
        <translation>%1 bytes lost: input queue full</translation>
    </message>
    <message>
        <source>переполнение приёмника: байты потеряны</source>
        <translation>receiver overrun: bytes lost</translation>
    </message>
    <message>
        <source>ошибка кадра</source>
        <translation>framing error</translation>
    </message>
    <message>
        <source>ошибка чётности</source>
        <translation>parity error</translation>
    </message>
    <message>
        <source>разрыв линии (break)</source>
        <translation>break</translation>
    </message>
    <message>
        <source>устройство отключилось: %1</source>
        <translation>device hung up: %1</translation>
    </message>
</context>
<context>
    <name>RemoteConnect</name>
    <message>
        <source>Соединение с %1…</source>
        <translation>Connecting to %1…</translation>
    </message>
</context>
<context>
    <name>SendLine</name>
    <message>
        <source>Конец строки</source>
        <translation>Line end</translation>
    </message>
    <message>
        <source>нет</source>
        <translation>none</translation>
    </message>
    <message>
        <source>Что добавлять к каждой передаваемой строке</source>
        <translation>What to add to every line sent</translation>
    </message>
    <message>
        <source>Enter — передать, ↑ и ↓ — строки, переданные раньше</source>
        <translation>Enter sends, ↑ and ↓ recall the lines sent before</translation>
    </message>
</context>
<context>
    <name>TForm1</name>
    <message>
        <source>COM%1 ведёт к %2</source>
        <translation>COM%1 leads to %2</translation>
    </message>
    <message>
        <source>За COM%1 сейчас нет устройства</source>
        <translation>No device behind COM%1 now</translation>
    </message>
    <message>
        <source>Внимание</source>
        <translation>Attention</translation>
    </message>
    <message>
        <source>Программа не может установить связь<byte value="xd"/>
с заданным последовательным портом.<byte value="xd"/>
Проверьте установки порта и попробуйте опять.</source>
        <translation>Cannot connect<byte value="xd"/>
to the chosen serial port.<byte value="xd"/>
Check the port settings and try again.</translation>
    </message>
    <message>
        <source>Ошибка установки связи</source>
        <translation>Connection error</translation>
    </message>
    <message>
        <source>Соединение с портом &quot;%1&quot; </source>
        <translation>Connected to port &quot;%1&quot; </translation>
    </message>
    <message>
        <source>Нет соединения</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>Соед. с портом &quot;%1&quot;</source>
        <translation>Connected to port &quot;%1&quot;</translation>
    </message>
    <message>
        <source>Нет соединения с COM-портом.</source>
        <translation>No connection to the COM port.</translation>
    </message>
    <message>
        <source>Пустая строка на вывод.</source>
        <translation>The line to send is empty.</translation>
    </message>
    <message>
        <source>+12 В</source>
        <translation>+12 V</translation>
    </message>
    <message>
        <source>-12 В (воздух)</source>
        <translation>-12 V (open)</translation>
    </message>
    <message>
        <source>+12 В (выкл)</source>
        <translation>+12 V (off)</translation>
    </message>
    <message>
        <source>-12 В (вкл)</source>
        <translation>-12 V (on)</translation>
    </message>
    <message>
        <source>Опрос</source>
        <translation>Poll</translation>
    </message>
    <message>
        <source>Остановить</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>Входной и выходной буфера не сбрасываются.</source>
        <translation>Cannot flush the input and output buffers.</translation>
    </message>
    <message>
        <source> Тест </source>
        <translation> Loopback test </translation>
    </message>
    <message>
        <source> Заглушка </source>
        <translation> Echo stub </translation>
    </message>
    <message>
        <source>Последовательность. </source>
        <translation>Sequence. </translation>
    </message>
    <message>
        <source>COM-порт не подсоединен!.</source>
        <translation>The COM port is not connected.</translation>
    </message>
    <message>
        <source>Входной буфер не сбрасывается.</source>
        <translation>Cannot flush the input buffer.</translation>
    </message>
    <message>
        <source>Размер массива не задан или слишком велик.</source>
        <translation>The array size is missing or too large.</translation>
    </message>
    <message>
        <source> Массив </source>
        <translation> Array </translation>
    </message>
    <message>
        <source>Сохранить протокол…</source>
        <translation>Save the log…</translation>
    </message>
    <message>
        <source>Записывать принятое в файл…</source>
        <translation>Record received data to a file…</translation>
    </message>
    <message>
        <source>Сохранить протокол</source>
        <translation>Save the log</translation>
    </message>
    <message>
        <source>Не удалось сохранить протокол в файл<byte value="xd"/>
%1:<byte value="xd"/>
%2.</source>
        <translation>Could not save the log to the file<byte value="xd"/>
%1:<byte value="xd"/>
%2.</translation>
    </message>
    <message>
        <source>Ошибка сохранения</source>
        <translation>Save failed</translation>
    </message>
    <message>
        <source>Записывать принятое в файл</source>
        <translation>Record received data to a file</translation>
    </message>
    <message>
        <source>Не удалось открыть файл<byte value="xd"/>
%1<byte value="xd"/>
для записи принятого: %2.</source>
        <translation>Could not open the file<byte value="xd"/>
%1<byte value="xd"/>
to record received data: %2.</translation>
    </message>
    <message>
        <source>Ошибка записи</source>
        <translation>Recording failed</translation>
    </message>
    <message>
        <source>Запись в файл %1</source>
        <translation>Recording to %1</translation>
    </message>
    <message>
        <source>Такого устройства нет.</source>
        <translation>No such device.</translation>
    </message>
    <message>
        <source>Нет прав на доступ к устройству. Последовательные порты обычно открыты группе dialout: sudo usermod -aG dialout $USER, затем войдите в систему заново.</source>
        <translation>No permission to use the device. Serial ports are usually open to the dialout group: sudo usermod -aG dialout $USER, then log in again.</translation>
    </message>
    <message>
        <source>Устройство занято: его держит программа %1 (PID %2).</source>
        <translation>The device is busy: program %1 (PID %2) holds it.</translation>
    </message>
    <message>
        <source>Устройство занято другой программой.</source>
        <translation>The device is busy with another program.</translation>
    </message>
    <message>
        <source>Устройство не принимает настройку: %1.</source>
        <translation>The device does not take the setting: %1.</translation>
    </message>
    <message>
        <source>Системная ошибка: %1.</source>
        <translation>System error: %1.</translation>
    </message>
    <message>
        <source>Системная ошибка %1.</source>
        <translation>System error %1.</translation>
    </message>
    <message>
        <source>%1 бит данных</source>
        <translation>%1 data bits</translation>
    </message>
    <message>
        <source>без контроля чётности</source>
        <translation>no parity</translation>
    </message>
    <message>
        <source>контроль чётности: нечет</source>
        <translation>odd parity</translation>
    </message>
    <message>
        <source>контроль чётности: чет</source>
        <translation>even parity</translation>
    </message>
    <message>
        <source>контроль чётности: mark (&quot;1&quot;)</source>
        <translation>mark parity (&quot;1&quot;)</translation>
    </message>
    <message>
        <source>контроль чётности: space (&quot;0&quot;)</source>
        <translation>space parity (&quot;0&quot;)</translation>
    </message>
    <message>
        <source>контроль чётности</source>
        <translation>parity</translation>
    </message>
    <message>
        <source>1 стоповый бит</source>
        <translation>1 stop bit</translation>
    </message>
    <message>
        <source>1,5 стоповых бита</source>
        <translation>1.5 stop bits</translation>
    </message>
    <message>
        <source>2 стоповых бита</source>
        <translation>2 stop bits</translation>
    </message>
    <message>
        <source>число стоповых битов</source>
        <translation>stop bits</translation>
    </message>
    <message>
        <source>скорость %1 бод</source>
        <translation>%1 baud</translation>
    </message>
    <message>
        <source>управление потоком RTS/CTS</source>
        <translation>RTS/CTS flow control</translation>
    </message>
    <message>
        <source>управление потоком XON/XOFF</source>
        <translation>XON/XOFF flow control</translation>
    </message>
    <message>
        <source>одна из настроек линии</source>
        <translation>a line setting</translation>
    </message>
    <message>
        <source>Запись принятого в файл<byte value="xd"/>
%1<byte value="xd"/>
остановлена: %2.<byte value="xd"/>
В файл записано байт: %3.</source>
        <translation>Recording received data to the file<byte value="xd"/>
%1<byte value="xd"/>
has stopped: %2.<byte value="xd"/>
Bytes written to the file: %3.</translation>
    </message>
    <message>
        <source>Переподключаться, когда устройство вернётся</source>
        <translation>Reconnect when the device is back</translation>
    </message>
    <message>
        <source>Связь потеряна: %1 отключено</source>
        <translation>Connection lost: %1 is gone</translation>
    </message>
    <message>
        <source>%1 отключилось (%2). Оно будет открыто снова, как только вернётся: %3.</source>
        <translation>%1 went away (%2). It will be opened again as soon as it is back: %3.</translation>
    </message>
    <message>
        <source>%1 отключилось (%2). Нажмите &quot;Разъединить&quot;.</source>
        <translation>%1 went away (%2). Press &quot;Disconnect&quot;.</translation>
    </message>
    <message>
        <source>Соединение с портом &quot;%1&quot; восстановлено</source>
        <translation>Connection to port &quot;%1&quot; restored</translation>
    </message>
    <message>
        <source>снова на связи: %1</source>
        <translation>back: %1</translation>
    </message>
    <message>
        <source>Найти…</source>
        <translation>Find…</translation>
    </message>
    <message>
        <source>Имя узла не найдено.</source>
        <translation>Host name not found.</translation>
    </message>
    <message>
        <source>Соединение отвергнуто: на этом порту узла никто не ждёт соединений.</source>
        <translation>Connection refused: nothing on that host listens on this port.</translation>
    </message>
    <message>
        <source>Сервер не ответил за %1 с на настройку: %2.</source>
        <translation>The server did not answer within %1 s to the setting: %2.</translation>
    </message>
    <message>
        <source>Нет ответа за %1 с.</source>
        <translation>No answer within %1 s.</translation>
    </message>
    <message>
        <source>Сервер не предлагает COM-PORT-OPTION (RFC 2217): настройки линии ему не передать. Для ser2net: accepter telnet(rfc2217),tcp,ПОРТ; для потока байтов без настроек: tcp://.</source>
        <translation>The server does not offer COM-PORT-OPTION (RFC 2217): line settings cannot be passed to it. For ser2net: accepter telnet(rfc2217),tcp,PORT; for a byte stream without settings: tcp://.</translation>
    </message>
    <message>
        <source> (только байты: скорость, формат и модемные линии не передаются)</source>
        <translation> (bytes only: rate, format and modem lines are not passed on)</translation>
    </message>
</context>
<context>
    <name>TimeStamps</name>
    <message>
        <source>Метки времени</source>
        <translation>Time stamps</translation>
    </message>
</context>
</TS>
