#include "QtSessionClient.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QSessionManager>

QtSessionClient::QtSessionClient(QGuiApplication& application, QObject* parent)
    : SessionManagerClient(parent)
    , m_application(application)
{
}

void QtSessionClient::start()
{
    connect(&m_application, &QGuiApplication::commitDataRequest, this,
            &QtSessionClient::commitDataRequested, Qt::DirectConnection);
}

void QtSessionClient::commitDataRequested(QSessionManager& manager)
{
    if (m_endSessionWaiting) {
        return;
    }
    // Without leave to interact, a card would be cut off: let the session end unasked.
    if (!manager.allowsInteraction()) {
        return;
    }
    m_endSessionWaiting = true;
    emit endSessionRequested();
    if (m_endSessionWaiting) {
        // The session manager waits for this function to return, so the card's events and
        // timers run here until the agent answers.
        QEventLoop waitLoop;
        m_waitLoop = &waitLoop;
        waitLoop.exec();
        m_waitLoop = nullptr;
    }
    manager.release();
}

void QtSessionClient::answerEndSession()
{
    if (!m_endSessionWaiting) {
        return;
    }
    m_endSessionWaiting = false;
    if (m_waitLoop) {
        m_waitLoop->quit();
    }
}
