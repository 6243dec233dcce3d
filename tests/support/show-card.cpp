// Puts up a real reminder card at 12 % and exits when it closes, for tests that photograph the
// card on a real display:  show-card [SECONDS]
#include "Clock.h"
#include "ReminderWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? QByteArray(argv[1]).toDouble() : 4.0;
    SystemClock clock;
    ReminderWindow reminder(clock);
    reminder.show(12, seconds, [] { QCoreApplication::quit(); });
    return QApplication::exec();
}
