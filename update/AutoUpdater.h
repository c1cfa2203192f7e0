#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QProgressDialog;

// Asks the release site for the newest version, offers it, downloads the
// installer into the temporary folder, starts it and quits. One object serves
// one check; finished() tells the owner when it may be deleted.
class AutoUpdater : public QObject
{
    Q_OBJECT

public:
    // Returns true for Yes (questions) or OK.
    using BoxHandler =
        std::function<bool(QMessageBox::Icon icon, const QString& title, const QString& text)>;
    // Starts the saved installer without waiting for it; returns whether it
    // started.
    using Launcher = std::function<bool(const QString& program)>;
    using Quitter = std::function<void()>;

    explicit AutoUpdater(QObject* parent = nullptr);
    ~AutoUpdater() override;

    // Asks the endpoint for its version file. silent keeps "No update available"
    // and a release site that cannot be reached to itself.
    void startCheck(const QString& currentVersion, bool silent);

    // The version file's address: TORVANE_UPDATE_URL when set, otherwise the
    // release site.
    static QUrl endpointUrl();
    // Only https is fetched, and plain http to a loopback address.
    static bool isAllowedUrl(const QUrl& url);

    // Replace the boxes, the installer start and the application quit (tests); an
    // empty function restores the real one. Process-wide, so that updaters made
    // by the main window obey them too.
    static void setBoxHandler(BoxHandler handler);
    static void setLauncher(Launcher launcher);
    static void setQuitter(Quitter quitter);
    // Time without any data after which a request gives up.
    static void setTransferTimeout(int timeout_ms);

signals:
    void updateAvailable(const QString& newVersion, const QUrl& downloadUrl);
    // The check or the download has ended, whatever the outcome.
    void finished();

public slots:
    void onVersionFileDownloaded();
    void onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void onUpdateDownloaded();

private:
    QNetworkReply* get(const QUrl& url);
    void startDownload(const QUrl& url);
    void failCheck(const QString& text);
    void failDownload(const QString& text);
    // Writes the installer into the temporary folder; empty on failure.
    QString saveInstaller(const QByteArray& body);

    QString currentVersion_;
    bool silent_ = false;
    QNetworkAccessManager* network_ = nullptr;
    QPointer<QNetworkReply> reply_;
    QUrl downloadUrl_;
    QString expectedSha256_;
    QString installerPath_;
    QString offeredVersion_;
    bool cancelled_ = false; // by the user, in the progress dialog
    // Set when a redirect is refused, shown instead of the reply's own error.
    QString refusal_;
    QPointer<QProgressDialog> progressDialog_;
};
