#include "AutoUpdater.h"

#include "ReleaseKey.h"
#include "VersionFile.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QHostAddress>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProgressDialog>
#include <QTemporaryFile>
#include <QTimer>

#include <sodium.h>

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
// The version file and the signature are a few lines; no installer comes near a gigabyte.
constexpr qint64 kSmallFileLimit = 64 * 1024;
constexpr qint64 kInstallerLimit = qint64(1) << 30;
// The slowest line a download is given time for beyond the first deadline.
constexpr qint64 kSlowestBytesPerSecond = 256 * 1024;

struct Hooks
{
    AutoUpdater::BoxHandler box;
    AutoUpdater::Launcher launch;
    AutoUpdater::Quitter quit;
    int transferTimeout_ms = kDefaultTransferTimeout_ms;
    int transferDeadline_ms = kDefaultTransferTimeout_ms;
    QByteArray releaseKey;
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
    // Versions, addresses and errors come from the server: shown as they are, never as markup.
    const bool question = icon == QMessageBox::Question;
    QMessageBox box(icon, title, text,
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    if (question)
        box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes || !question;
}

QString tooLargeText(qint64 limit)
{
    return AutoUpdater::tr("The file is larger than %1.")
        .arg(QLocale().formattedDataSize(limit, 0));
}

QString badSignatureText()
{
    return AutoUpdater::tr(
        "The update's signature is not valid for this download. Nothing was saved or started.");
}

// The signature sits beside the download, its path followed by .sig.
QUrl signatureUrl(QUrl url)
{
    url.setPath(url.path(QUrl::FullyEncoded) + QLatin1String(".sig"), QUrl::TolerantMode);
    return url;
}

bool signatureMatches(const QByteArray& signature, const uchar* data, qint64 size)
{
    const QByteArray key = hooks().releaseKey.isEmpty() ? QByteArray::fromHex(kReleasePublicKeyHex)
                                                        : hooks().releaseKey;
    return sodium_init() >= 0 && signature.size() == crypto_sign_BYTES &&
           key.size() == crypto_sign_PUBLICKEYBYTES &&
           crypto_sign_verify_detached(reinterpret_cast<const uchar*>(signature.constData()), data,
                                       quint64(size),
                                       reinterpret_cast<const uchar*>(key.constData())) == 0;
}

QString startDetached(const QString& program)
{
    QProcess process;
    process.setProgram(program);
    return process.startDetached() ? QString() : process.errorString();
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
    reply_ = get(url, kSmallFileLimit);
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

void AutoUpdater::setTransferDeadline(int deadline_ms)
{
    hooks().transferDeadline_ms = deadline_ms;
}

void AutoUpdater::setReleaseKey(const QByteArray& publicKey)
{
    hooks().releaseKey = publicKey;
}

QNetworkReply* AutoUpdater::get(const QUrl& url, qint64 limit)
{
    QNetworkRequest request(url);
    // Every hop of a redirect must pass the same https rule as the first address.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(hooks().transferTimeout_ms);
    refusal_.clear();
    body_.clear();
    limit_ = limit;
    QNetworkReply* started = network_->get(request);
    connect(started, &QNetworkReply::redirected, this, [this, started](const QUrl& target) {
        if (isAllowedUrl(target)) {
            emit started->redirectAllowed();
            return;
        }
        qWarning().noquote() << "Update redirect refused:" << target.toDisplayString();
        refuse(started, tr("Refused to download %1: only https addresses are allowed.")
                            .arg(target.toDisplayString()));
    });
    // The timeout above only notices silence; a server sending a byte now and then meets this.
    auto* deadline = new QTimer(started);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this, started] {
        refuse(started, tr("The server did not send the whole file in time."));
    });
    deadline->start(hooks().transferDeadline_ms);
    connect(started, &QNetworkReply::finished, deadline, &QTimer::stop);
    connect(started, &QNetworkReply::metaDataChanged, this, [this, started] {
        const qint64 announced = started->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > limit_)
            refuse(started, tooLargeText(limit_));
    });
    // Time is earned by bytes that arrived, not by a size the server claims: a large installer
    // on a slow line still arrives, a server trickling bytes still meets the deadline.
    connect(started, &QNetworkReply::readyRead, this, [this, started, deadline] {
        const qint64 before = started->bytesAvailable();
        receive(started);
        if (deadline->isActive())
            deadline->start(deadline->remainingTime() +
                            int(before * 1000 / kSlowestBytesPerSecond));
    });
    return started;
}

void AutoUpdater::receive(QNetworkReply* reply)
{
    const QByteArray chunk = reply->readAll();
    const qint64 held = installer_ ? installer_->pos() : body_.size();
    if (held + chunk.size() > limit_)
        return refuse(reply, tooLargeText(limit_));
    if (!installer_) {
        body_ += chunk;
    } else if (installer_->write(chunk) != chunk.size()) {
        qWarning().noquote() << "Cannot write the update installer" << installer_->fileName();
        refuse(reply, tr("Cannot save update installer."));
    }
}

void AutoUpdater::refuse(QNetworkReply* reply, const QString& text)
{
    if (!refusal_.isEmpty())
        return;
    refusal_ = text;
    if (!reply->isFinished())
        reply->abort();
}

void AutoUpdater::onVersionFileDownloaded()
{
    QNetworkReply* finishedReply = reply_;
    reply_ = nullptr;
    if (!finishedReply)
        return;
    finishedReply->deleteLater();
    if (finishedReply->error() == QNetworkReply::NoError)
        receive(finishedReply);
    if (finishedReply->error() != QNetworkReply::NoError || !refusal_.isEmpty()) {
        qWarning().noquote() << "Update check failed:" << finishedReply->errorString() << refusal_;
        failCheck(refusal_.isEmpty() ? replyErrorText(*finishedReply) : refusal_);
        return;
    }
    const VersionFile file = VersionFile::parse(body_);
    if (!file.version.isEmpty() && isNewerVersion(file.version, currentVersion_)) {
        qInfo().noquote() << "Update offered:" << file.version;
        emit updateAvailable(file.version, file.downloadUrl);
        offeredVersion_ = file.version;
        if (showBox(QMessageBox::Question, tr("Update Available"),
                    tr("A new version %1 is available. Download now?").arg(file.version))) {
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
    // The signature first: an unsigned release costs no download.
    reply_ = get(signatureUrl(url), kSmallFileLimit);
    connect(reply_, &QNetworkReply::finished, this, &AutoUpdater::onSignatureDownloaded);
}

void AutoUpdater::onSignatureDownloaded()
{
    if (!takeDownload())
        return;
    signature_ = body_;
    if (signature_.size() != crypto_sign_BYTES) {
        qWarning() << "Update refused, its signature has" << signature_.size() << "bytes";
        failDownload(badSignatureText());
        return;
    }
    // Written as it arrives and removed again unless the signature matches it.
    installer_ = std::make_unique<QTemporaryFile>(QDir::tempPath() + kInstallerTemplate);
    if (!installer_->open()) {
        qWarning().noquote() << "Cannot create the update installer in" << QDir::tempPath();
        failDownload(tr("Cannot save update installer."));
        return;
    }
    reply_ = get(downloadUrl_, kInstallerLimit);
    connect(reply_, &QNetworkReply::downloadProgress, this, &AutoUpdater::onDownloadProgress);
    connect(reply_, &QNetworkReply::finished, this, &AutoUpdater::onUpdateDownloaded);
}

void AutoUpdater::onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    if (bytesTotal >= 1 && progressDialog_)
        progressDialog_->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
}

bool AutoUpdater::takeDownload()
{
    QNetworkReply* finishedReply = reply_;
    reply_ = nullptr;
    if (!finishedReply)
        return false;
    finishedReply->deleteLater();
    if (finishedReply->error() == QNetworkReply::NoError)
        receive(finishedReply);
    if (cancelled_) {
        // The user's own choice needs no box.
        qInfo() << "Update download cancelled.";
        closeProgressDialog();
        installer_.reset();
        emit finished();
        return false;
    }
    if (finishedReply->error() == QNetworkReply::NoError && refusal_.isEmpty())
        return true;
    qWarning().noquote() << "Update download failed:" << finishedReply->url().toDisplayString()
                         << finishedReply->errorString() << refusal_;
    // Before the installer's download only the signature is asked for.
    const bool noSignature =
        !installer_ && finishedReply->error() == QNetworkReply::ContentNotFoundError;
    failDownload(!refusal_.isEmpty() ? refusal_
                 : noSignature       ? tr("The update is not signed. Nothing was saved or started.")
                                     : replyErrorText(*finishedReply));
    return false;
}

void AutoUpdater::onUpdateDownloaded()
{
    if (!takeDownload())
        return;
    closeProgressDialog();
    installerPath_.clear();
    const QString problem = keepVerifiedInstaller();
    if (!problem.isEmpty()) {
        failDownload(problem);
        return;
    }
    // Torvane goes away next: the user learns why before it does.
    showBox(QMessageBox::Information, tr("Update"),
            tr("Version %1 has been downloaded. Torvane closes now and its installer starts.")
                .arg(offeredVersion_));
    qInfo().noquote() << "Starting update installer" << installerPath_;
    const QString notStarted =
        hooks().launch ? hooks().launch(installerPath_) : startDetached(installerPath_);
    if (!notStarted.isEmpty()) {
        qWarning().noquote() << "Update installer did not start:" << installerPath_ << notStarted;
        showBox(QMessageBox::Critical, tr("Error"),
                tr("The installer could not be started. It is saved here:") + QLatin1Char('\n') +
                    QDir::toNativeSeparators(installerPath_) + QLatin1String("\n\n") + notStarted);
        emit finished();
        return;
    }
    emit finished();
    if (hooks().quit)
        hooks().quit();
    else
        QCoreApplication::quit();
}

QString AutoUpdater::keepVerifiedInstaller()
{
    const qint64 size = installer_->pos();
    static const uchar nothing = 0;
    const uchar* data = !installer_->flush() ? nullptr
                        : size > 0           ? installer_->map(0, size)
                                             : &nothing;
    if (!data) {
        qWarning().noquote() << "Cannot read back the update installer" << installer_->fileName();
        return tr("Cannot save update installer.");
    }
    if (!signatureMatches(signature_, data, size)) {
        qWarning().noquote() << "Update refused, its signature does not match"
                             << downloadUrl_.toDisplayString();
        return badSignatureText();
    }
    if (!installer_->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner)) {
        qWarning().noquote() << "Cannot make the update installer executable"
                             << installer_->fileName();
        return tr("Cannot save update installer.");
    }
    installer_->setAutoRemove(false);
    installerPath_ = installer_->fileName();
    installer_.reset();
    return {};
}

void AutoUpdater::closeProgressDialog()
{
    if (!progressDialog_)
        return;
    // Closing a progress dialog reports a cancel of its own.
    progressDialog_->disconnect(this);
    progressDialog_->close();
    progressDialog_->deleteLater();
    progressDialog_ = nullptr;
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
    closeProgressDialog();
    installer_.reset();
    showBox(QMessageBox::Critical, tr("Download Failed"), text);
    emit finished();
}
