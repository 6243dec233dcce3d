#include "ReminderWindow.h"

// Placeholder until the reminder card lands.
struct ReminderWindow::Open {
};

ReminderWindow::ReminderWindow(Clock& clock, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
{
}

ReminderWindow::~ReminderWindow() = default;

bool ReminderWindow::isVisible() const
{
    return m_open != nullptr;
}

void ReminderWindow::show(qint64, double, std::function<void()>)
{
}

void ReminderWindow::dismiss()
{
}
