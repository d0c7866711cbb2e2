#include "Network.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QThread>

QNetworkAccessManager &sharedNetworkAccessManager()
{
    // Owned by the application so that it goes before the event dispatcher does;
    // a static object would be destroyed after QCoreApplication and crash there.
    static QPointer<QNetworkAccessManager> manager;
    Q_ASSERT(!QCoreApplication::instance()
        || QThread::currentThread() == QCoreApplication::instance()->thread());
    if (!manager)
        manager = new QNetworkAccessManager(QCoreApplication::instance());
    return *manager;
}
