#include "AutoUpdater.h"

#include "VersionFile.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProgressDialog>
#include <QTemporaryFile>

namespace {

const QString kReleaseSiteUrl =
    QStringLiteral("https://torvane.github.io/releases/version.txt?pid=torvane-linux");
const char kUpdateUrlVariable[] = "TORVANE_UPDATE_URL";
#ifdef Q_OS_WIN
const QString kInstallerTemplate = QStringLiteral("/updateXXXXXX.exe");
#else
const QString kInstallerTemplate = QStringLiteral("/updateXXXXXX");
#endif
constexpr int kDefaultTransferTimeout_ms = 30000;

struct Hooks
{
    AutoUpdater::BoxHandler box;
    AutoUpdater::Launcher launch;
    AutoUpdater::Quitter quit;
    int transferTimeout_ms = kDefaultTransferTimeout_ms;
};

Hooks& hooks()
{
    static Hooks current;
    return current;
}

bool showBox(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (hooks().box)
        return hooks().box(icon, title, text);
    QWidget* parent = QApplication::activeWindow();
    switch (icon) {
    case QMessageBox::Question:
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    case QMessageBox::Critical:
        QMessageBox::critical(parent, title, text);
        return true;
    case QMessageBox::Warning:
        QMessageBox::warning(parent, title, text);
        return true;
    default:
        QMessageBox::information(parent, title, text);
        return true;
    }
}

// Qt reports a transfer that timed out as "Operation canceled", as if the user had cancelled it.
QString replyErrorText(const QNetworkReply& reply)
{
    const QNetworkReply::NetworkError error = reply.error();
    return error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError
               ? AutoUpdater::tr("The server did not answer.")
               : reply.errorString();
}

} // namespace

AutoUpdater::AutoUpdater(QObject* parent)
    : QObject(parent), network_(new QNetworkAccessManager(this))
{
}

AutoUpdater::~AutoUpdater()
{
    delete progressDialog_;
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

void AutoUpdater::startCheck(const QString& currentVersion, bool silent)
{
    currentVersion_ = currentVersion;
    silent_ = silent;
    const QUrl url = endpointUrl();
    if (!isAllowedUrl(url)) {
        qWarning().noquote() << "Update check refused, the endpoint is not https:"
                             << url.toDisplayString();
        const QString refusal = tr("Refused to download %1: only https addresses are allowed.")
                                    .arg(url.toDisplayString());
        QMetaObject::invokeMethod(
            this, [this, refusal] { failCheck(refusal); }, Qt::QueuedConnection);
        return;
    }
    reply_ = get(url);
    connect(reply_, &QNetworkReply::finished, this, &AutoUpdater::onVersionFileDownloaded);
}

QUrl AutoUpdater::endpointUrl()
{
    const QString configured = qEnvironmentVariable(kUpdateUrlVariable);
    return QUrl(configured.isEmpty() ? kReleaseSiteUrl : configured, QUrl::TolerantMode);
}

bool AutoUpdater::isAllowedUrl(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    if (scheme != QLatin1String("http"))
        return false;
    if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(url.host());
    return !address.isNull() && address.isLoopback();
}

void AutoUpdater::setBoxHandler(BoxHandler handler)
{
    hooks().box = std::move(handler);
}

void AutoUpdater::setLauncher(Launcher launcher)
{
    hooks().launch = std::move(launcher);
}

void AutoUpdater::setQuitter(Quitter quitter)
{
    hooks().quit = std::move(quitter);
}

void AutoUpdater::setTransferTimeout(int timeout_ms)
{
    hooks().transferTimeout_ms = timeout_ms;
}

QNetworkReply* AutoUpdater::get(const QUrl& url)
{
    QNetworkRequest request(url);
    // Every hop of a redirect must pass the same https rule as the first address.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(hooks().transferTimeout_ms);
    refusal_.clear();
    QNetworkReply* started = network_->get(request);
    connect(started, &QNetworkReply::redirected, this, [this, started](const QUrl& target) {
        if (isAllowedUrl(target)) {
            emit started->redirectAllowed();
            return;
        }
        qWarning().noquote() << "Update redirect refused:" << target.toDisplayString();
        refusal_ = tr("Refused to download %1: only https addresses are allowed.")
                       .arg(target.toDisplayString());
        started->abort();
    });
    return started;
}

void AutoUpdater::onVersionFileDownloaded()
{
    QNetworkReply* finishedReply = reply_;
    reply_ = nullptr;
    if (!finishedReply)
        return;
    finishedReply->deleteLater();
    if (finishedReply->error() != QNetworkReply::NoError) {
        qWarning().noquote() << "Update check failed:" << finishedReply->errorString();
        failCheck(refusal_.isEmpty() ? replyErrorText(*finishedReply) : refusal_);
        return;
    }
    const VersionFile file = VersionFile::parse(finishedReply->readAll());
    if (!file.version.isEmpty() && isNewerVersion(file.version, currentVersion_)) {
        qInfo().noquote() << "Update offered:" << file.version;
        emit updateAvailable(file.version, file.downloadUrl);
        offeredVersion_ = file.version;
        if (showBox(QMessageBox::Question, tr("Update Available"),
                    tr("A new version %1 is available. Download now?").arg(file.version))) {
            expectedSha256_ = file.sha256;
            startDownload(file.downloadUrl);
            return;
        }
    } else if (!silent_) {
        showBox(QMessageBox::Information, tr("Update"), tr("No update available"));
    }
    emit finished();
}

void AutoUpdater::startDownload(const QUrl& url)
{
    downloadUrl_ = url;
    if (!isAllowedUrl(url)) {
        qWarning().noquote() << "Update download refused, not https:" << url.toDisplayString();
        failDownload(tr("Refused to download %1: only https addresses are allowed.")
                         .arg(url.toDisplayString()));
        return;
    }
    reply_ = get(url);
    connect(reply_, &QNetworkReply::downloadProgress, this, &AutoUpdater::onDownloadProgress);
    connect(reply_, &QNetworkReply::finished, this, &AutoUpdater::onUpdateDownloaded);

    progressDialog_ = new QProgressDialog(tr("Downloading update..."), tr("Cancel"), 0, 100);
    progressDialog_->setWindowTitle(tr("Update"));
    progressDialog_->setWindowModality(Qt::ApplicationModal);
    cancelled_ = false;
    connect(progressDialog_, &QProgressDialog::canceled, this, [this] {
        cancelled_ = true;
        if (reply_)
            reply_->abort();
    });
    progressDialog_->show();
}

void AutoUpdater::onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    if (bytesTotal >= 1 && progressDialog_)
        progressDialog_->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
}

void AutoUpdater::onUpdateDownloaded()
{
    QNetworkReply* finishedReply = reply_;
    reply_ = nullptr;
    if (!finishedReply)
        return;
    finishedReply->deleteLater();
    if (progressDialog_) {
        // Closing a progress dialog reports a cancel of its own.
        progressDialog_->disconnect(this);
        progressDialog_->close();
        progressDialog_->deleteLater();
        progressDialog_ = nullptr;
    }
    if (cancelled_) {
        // The user's own choice needs no box.
        qInfo() << "Update download cancelled.";
        emit finished();
        return;
    }
    if (finishedReply->error() != QNetworkReply::NoError) {
        qWarning().noquote() << "Update download failed:" << finishedReply->errorString();
        failDownload(refusal_.isEmpty() ? replyErrorText(*finishedReply) : refusal_);
        return;
    }
    const QByteArray body = finishedReply->readAll();
    installerPath_.clear();

    // Checked before anything is written, so a mismatching download never reaches
    // the disk.
    if (!expectedSha256_.isEmpty()) {
        const QString actual =
            QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex());
        if (actual != expectedSha256_) {
            qWarning().noquote() << "Update download refused, SHA-256" << actual << "expected"
                                 << expectedSha256_;
            failDownload(tr("The downloaded installer does not match its SHA-256 checksum."));
            return;
        }
    }

    installerPath_ = saveInstaller(body);
    if (installerPath_.isEmpty()) {
        showBox(QMessageBox::Critical, tr("Error"), tr("Cannot save update installer."));
        emit finished();
        return;
    }
    // Torvane goes away next: the user learns why before it does.
    showBox(QMessageBox::Information, tr("Update"),
            tr("Version %1 has been downloaded. Torvane closes now and its installer starts.")
                .arg(offeredVersion_));
    qInfo().noquote() << "Starting update installer" << installerPath_;
    const bool started = hooks().launch ? hooks().launch(installerPath_)
                                        : QProcess::startDetached(installerPath_, {});
    if (!started) {
        qWarning().noquote() << "Update installer did not start:" << installerPath_;
        showBox(QMessageBox::Critical, tr("Error"),
                tr("The installer could not be started. It is saved here:") + QLatin1Char('\n') +
                    QDir::toNativeSeparators(installerPath_));
        emit finished();
        return;
    }
    emit finished();
    if (hooks().quit)
        hooks().quit();
    else
        QCoreApplication::quit();
}

void AutoUpdater::failCheck(const QString& text)
{
    // The check at start-up stays quiet; one the user asked for says why it has no answer.
    if (!silent_)
        showBox(QMessageBox::Warning, tr("Update"),
                tr("The release site could not be reached:") + QLatin1Char('\n') + text);
    emit finished();
}

void AutoUpdater::failDownload(const QString& text)
{
    showBox(QMessageBox::Critical, tr("Download Failed"), text);
    emit finished();
}

QString AutoUpdater::saveInstaller(const QByteArray& body)
{
    QTemporaryFile file(QDir::tempPath() + kInstallerTemplate);
    if (!file.open()) {
        qWarning().noquote() << "Cannot create the update installer in" << QDir::tempPath();
        return {};
    }
    // A failed write leaves the temporary file to remove itself.
    if (file.write(body) != body.size() || !file.flush() ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ExeOwner)) {
        qWarning().noquote() << "Cannot write the update installer" << file.fileName();
        return {};
    }
    file.setAutoRemove(false);
    const QString path = file.fileName();
    file.close();
    return path;
}
