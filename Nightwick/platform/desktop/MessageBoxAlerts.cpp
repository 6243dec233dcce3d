#include "MessageBoxAlerts.h"

#include <QMessageBox>

void MessageBoxAlerts::showError(const QString& description)
{
    // The system's words alone: the program adds no title or text of its own.
    QMessageBox box(QMessageBox::Critical, QString(), description, QMessageBox::Ok);
    box.exec();
}

void MessageBoxAlerts::showNotice(const QString& text)
{
    QMessageBox box(QMessageBox::Information, QString(), text, QMessageBox::Ok);
    box.exec();
}
