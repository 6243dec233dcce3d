// The floor the agent is measured against: an empty Qt Widgets program that only runs its event
// loop, on the same Qt and the same display.
#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return QApplication::exec();
}
