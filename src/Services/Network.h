#pragma once

class QNetworkAccessManager;

// The one network access manager of the process, living on the main thread.
QNetworkAccessManager &sharedNetworkAccessManager();
