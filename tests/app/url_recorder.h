// Stands in for the desktop's browser: records the addresses it is asked to open.
#pragma once

#include <QObject>
#include <QUrl>

#include <vector>

namespace apptest {

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;

public slots:
    void Open(const QUrl& url) { urls.push_back(url); }
};

}  // namespace apptest
