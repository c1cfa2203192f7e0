#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QProgressDialog;
class QTemporaryFile;

// Asks the release site for the newest version, offers it, downloads the
// installer and its signature, and only when the release key signed it starts
// it from the temporary folder and quits. One object serves one check;
// finished() tells the owner when it may be deleted.
class AutoUpdater : public QObject
{
    Q_OBJECT

public:
    // Returns true for Yes (questions) or OK.
    using BoxHandler =
        std::function<bool(QMessageBox::Icon icon, const QString& title, const QString& text)>;
    // Starts the saved installer without waiting for it; returns why it did not
    // start, empty when it did.
    using Launcher = std::function<QString(const QString& program)>;
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
    // Time a whole request may take, however steadily data comes; each 256 KiB
    // the server announces adds a second.
    static void setTransferDeadline(int deadline_ms);
    // Replaces the public key downloads must be signed with (tests); empty
    // restores the release key built in.
    static void setReleaseKey(const QByteArray& publicKey);

signals:
    void updateAvailable(const QString& newVersion, const QUrl& downloadUrl);
    // The check or the download has ended, whatever the outcome.
    void finished();

public slots:
    void onVersionFileDownloaded();
    void onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void onUpdateDownloaded();

private:
    // limit: the most bytes the reply may bring.
    QNetworkReply* get(const QUrl& url, qint64 limit);
    // Takes what has arrived into body_ or, during the installer's download,
    // into the temporary file.
    void receive(QNetworkReply* reply);
    // Gives the reply up; text is shown instead of its own error.
    void refuse(QNetworkReply* reply, const QString& text);
    void startDownload(const QUrl& url);
    void onSignatureDownloaded();
    // Releases the finished download reply; true when it brought its whole body,
    // otherwise the user has been told (or cancelled) and finished() sent.
    bool takeDownload();
    // Empty when the release key signed the saved download, which is then kept
    // executable at installerPath_; otherwise why it is refused.
    QString keepVerifiedInstaller();
    void closeProgressDialog();
    void failCheck(const QString& text);
    // Closes the progress, removes a partial download and says why.
    void failDownload(const QString& text);

    QString currentVersion_;
    bool silent_ = false;
    QNetworkAccessManager* network_ = nullptr;
    QPointer<QNetworkReply> reply_;
    QUrl downloadUrl_;
    qint64 limit_ = 0;
    QByteArray body_;
    QByteArray signature_;
    // The installer while it downloads: removed unless it is verified.
    std::unique_ptr<QTemporaryFile> installer_;
    QString installerPath_;
    QString offeredVersion_;
    bool cancelled_ = false; // by the user, in the progress dialog
    // Set when a redirect is refused, shown instead of the reply's own error.
    QString refusal_;
    QPointer<QProgressDialog> progressDialog_;
};
