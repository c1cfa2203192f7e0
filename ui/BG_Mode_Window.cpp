#include "BG_Mode_Window.h"
#include "ui_BG_Mode_Window.h"

#include <QEnterEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QScreen>
#include <QStyle>
#include <QTimer>

namespace {

constexpr int hideDelay_ms = 1000;
constexpr int fadeDuration_ms = 500;
// Not fully transparent: the bar must stay on screen and keep receiving the mouse.
constexpr qreal fadedOpacity = 0.01;

const QString recordingIcon = QStringLiteral(":/resources/red.png");
const QString idleIcon = QStringLiteral(":/resources/green.png");

} // namespace

BG_Mode_Window::BG_Mode_Window(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::BG_Mode_Window>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowOpacity(1.0);

    hideTimer = new QTimer(this);
    hideTimer->setObjectName(QStringLiteral("hideTimer"));
    hideTimer->setSingleShot(true);
    hideTimer->setInterval(hideDelay_ms);
    connect(hideTimer, &QTimer::timeout, this, [this] { fadeTo(fadedOpacity); });

    fade = new QPropertyAnimation(this, "windowOpacity", this);
    fade->setObjectName(QStringLiteral("fade"));
    fade->setDuration(fadeDuration_ms);
    fade->setEasingCurve(QEasingCurve::OutCubic);

    connect(ui->toolButtonRecord, &QToolButton::clicked, this, &BG_Mode_Window::startStopRecording);
    connect(ui->toolButtonPause, &QToolButton::clicked, this, [this] {
        emit bg_mode_win_signal(paused ? Command::ResumeRecording : Command::PauseRecording);
    });
    setPauseState(false, false);
    connect(ui->toolButtonShowFolder, &QToolButton::clicked, this,
            &BG_Mode_Window::openRecordingsFolder);
    connect(ui->toolButtonRestore, &QToolButton::clicked, this, &BG_Mode_Window::restoreMainWindow);
}

BG_Mode_Window::~BG_Mode_Window() = default;

void BG_Mode_Window::setRecordingState(bool isRecording)
{
    recording = isRecording;
    ui->toolButtonRecord->setIcon(QIcon(recording ? recordingIcon : idleIcon));
    // A stopped recording's last second must not stay on show until the next one.
    if (!recording)
        setElapsedText(QStringLiteral("00:00:00"));
}

void BG_Mode_Window::setPauseState(bool available, bool isPaused)
{
    paused = isPaused;
    ui->toolButtonPause->setEnabled(available);
    ui->toolButtonPause->setIcon(
        style()->standardIcon(paused ? QStyle::SP_MediaPlay : QStyle::SP_MediaPause));
    ui->toolButtonPause->setToolTip(paused ? tr("Resume recording") : tr("Pause recording"));
}

void BG_Mode_Window::setElapsedText(const QString& text)
{
    ui->labelTimer->setText(text);
}

void BG_Mode_Window::openRecordingsFolder()
{
    emit bg_mode_win_signal(Command::OpenRecordingsFolder);
}

void BG_Mode_Window::restoreMainWindow()
{
    emit bg_mode_win_signal(Command::RestoreMainWindow);
}

void BG_Mode_Window::startStopRecording()
{
    emit bg_mode_win_signal(recording ? Command::StopRecording : Command::StartRecording);
}

void BG_Mode_Window::showEvent(QShowEvent* event)
{
    QScreen* target = screen();
    if (!target)
        target = QGuiApplication::primaryScreen();
    if (target) {
        const QRect available = target->availableGeometry();
        move(available.x() + (available.width() - width()) / 2, available.y());
    }
    setWindowOpacity(1.0);
    hideTimer->stop();
    fade->stop();
    hideTimer->start(hideDelay_ms);
    QWidget::showEvent(event);
}

void BG_Mode_Window::enterEvent(QEnterEvent* event)
{
    hideTimer->stop();
    fadeTo(1.0);
    QWidget::enterEvent(event);
}

void BG_Mode_Window::leaveEvent(QEvent* event)
{
    hideTimer->start(hideDelay_ms);
    QWidget::leaveEvent(event);
}

void BG_Mode_Window::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    event->accept();
}

void BG_Mode_Window::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - dragOffset);
    event->accept();
}

void BG_Mode_Window::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
    event->accept();
}

void BG_Mode_Window::changeEvent(QEvent* event)
{
    // The clock's text is not translatable, so retranslating leaves the running time alone.
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
    QWidget::changeEvent(event);
}

void BG_Mode_Window::fadeTo(qreal opacity)
{
    fade->stop();
    fade->setStartValue(windowOpacity());
    fade->setEndValue(opacity);
    fade->start();
}
