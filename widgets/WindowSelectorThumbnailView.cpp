#include "WindowSelectorThumbnailView.h"

#include "ui_WindowSelectorThumbnailView.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QStyleOption>
#include <QVBoxLayout>

namespace {

constexpr int kColumns = 3;
constexpr QSize kCardSize(180, 140);
constexpr QSize kThumbnailSize(160, 100);
constexpr int kCardMargin = 5;

QString cardStyle(const QWidget* card, int borderWidth, const char* colour)
{
    return QStringLiteral("#%1{border: %2px solid %3;border-radius:5px;}")
        .arg(card->objectName())
        .arg(borderWidth)
        .arg(QLatin1String(colour));
}

// A card is a button, so that the keyboard (Space) and screen readers pick a window as a click
// does. It draws no button face: only what its style sheet gives it, its labels and the focus.
class WindowCard : public QAbstractButton
{
public:
    using QAbstractButton::QAbstractButton;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QStyleOption option;
        option.initFrom(this);
        style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
        if (hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
        }
    }
};

} // namespace

WindowSelectorThumbnailView::WindowSelectorThumbnailView(QWidget* parent,
                                                         std::unique_ptr<WindowSystem> windowSystem)
    : QDialog(parent), ui(std::make_unique<Ui::WindowSelectorThumbnailView>()),
      windowSystem_(windowSystem ? std::move(windowSystem) : WindowSystem::create())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(600, 450);
    auto* shadow = new QGraphicsDropShadowEffect(ui->frameMain);
    shadow->setBlurRadius(30);
    shadow->setOffset(3, 5);
    shadow->setColor(QColor(65, 167, 246, 130));
    ui->frameMain->setGraphicsEffect(shadow);

    ui->checkBoxHiddenWindows->setChecked(false);
    refreshWindowList();

    connect(ui->pushButtonRefresh, &QPushButton::clicked, this,
            &WindowSelectorThumbnailView::refreshWindowList);
    connect(ui->pushButtonOk, &QPushButton::clicked, this,
            &WindowSelectorThumbnailView::confirmSelection);
    connect(ui->pushButtonCancel, &QPushButton::clicked, this,
            &WindowSelectorThumbnailView::cancelSelection);
    // Queued so the check box repaints before the slower enumeration runs.
    connect(ui->checkBoxHiddenWindows, &QCheckBox::toggled, this,
            &WindowSelectorThumbnailView::refreshWindowList, Qt::QueuedConnection);
}

WindowSelectorThumbnailView::~WindowSelectorThumbnailView() = default;

WindowIdentity WindowSelectorThumbnailView::windowIdentity(NativeWindow window)
{
    const auto system = WindowSystem::create();
    return system ? system->windowIdentity(window) : WindowIdentity{};
}

NativeWindow WindowSelectorThumbnailView::findWindowByIdentity(const WindowIdentity& identity)
{
    const auto system = WindowSystem::create();
    return system ? system->findWindowByIdentity(identity) : 0;
}

void WindowSelectorThumbnailView::refreshWindowList()
{
    const bool includeHidden = ui->checkBoxHiddenWindows->isChecked();
    selectedCard_ = nullptr;
    selectedTitle.clear();
    selectedWindow = 0;

    for (auto it = cards_.cbegin(); it != cards_.cend(); ++it) {
        QWidget* card = it.key();
        card->removeEventFilter(this);
        ui->gridLayout->removeWidget(card);
        card->setParent(nullptr);
        card->deleteLater();
    }
    cards_.clear();

    for (int column = 0; column < kColumns; ++column)
        ui->gridLayout->setColumnStretch(column, 1);
    const QList<WindowEntry> entries =
        windowSystem_ ? windowSystem_->enumerateWindows(includeHidden) : QList<WindowEntry>();

    int row = 0;
    int column = 0;
    for (const WindowEntry& entry : entries) {
        QWidget* card = createCard(entry, row, column);
        cards_.insert(card, entry);
        ui->gridLayout->addWidget(card, row, column);
        if (++column == kColumns) {
            column = 0;
            ++row;
        }
    }
}

QWidget* WindowSelectorThumbnailView::createCard(const WindowEntry& entry, int row, int column)
{
    auto* card = new WindowCard(ui->scrollAreaWidgetContents);
    card->setCheckable(true);
    card->setAutoExclusive(true);
    card->setAccessibleName(entry.title);
    card->setObjectName(QStringLiteral("grid_parent_%1_%2").arg(row).arg(column));
    card->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    card->setFixedHeight(kCardSize.height());
    // Three full-width cards and a vertical scroll bar are wider than the picker: the cards give
    // up a little width, down to their thumbnail's, rather than the last one being cut off.
    card->setMinimumWidth(kThumbnailSize.width() + 2 * kCardMargin);
    card->setMaximumWidth(kCardSize.width());
    card->setStyleSheet(cardStyle(card, 1, "#aaa"));

    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(kCardMargin, kCardMargin, kCardMargin, kCardMargin);
    layout->setAlignment(Qt::AlignTop);

    auto* image = new QLabel(card);
    const QImage thumbnail = windowSystem_ ? windowSystem_->windowImage(entry.window) : QImage();
    if (thumbnail.isNull()) {
        image->setText(tr("No Preview"));
        image->setStyleSheet(QStringLiteral("QLabel { color: #888; font-style: italic; }"));
        image->setFixedSize(kThumbnailSize);
    } else {
        image->setPixmap(QPixmap::fromImage(
            thumbnail.scaled(kThumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    }
    image->setAlignment(Qt::AlignCenter);
    layout->addWidget(image, 0, Qt::AlignHCenter);

    auto* title = new QLabel(entry.title, card);
    title->setStyleSheet(QStringLiteral("QLabel { color: #ddd; }"));
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);
    layout->addWidget(title);

    card->setCursor(Qt::PointingHandCursor);
    card->installEventFilter(this);
    connect(card, &QAbstractButton::clicked, this, [this, card] { selectCard(card); });
    return card;
}

void WindowSelectorThumbnailView::confirmSelection()
{
    if (selectedTitle.isEmpty()) {
        showNoSelectionWarning();
        return;
    }
    accept();
}

void WindowSelectorThumbnailView::showNoSelectionWarning()
{
    // While a popup is open it receives every mouse and key event, so a modal box beside it
    // could never be answered, and showing one would close the picker. The warning is a popup
    // on top of this one instead, and the picker waits for it, open.
    QMessageBox box(QMessageBox::Warning, tr("No selection"), tr("Please select a window first."),
                    QMessageBox::Ok, this);
    box.setWindowFlags(Qt::Popup);
    QEventLoop loop;
    connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    warningShown_ = true;
    box.show();
    box.move(mapToGlobal(rect().center()) - box.rect().center());
    loop.exec();
    warningShown_ = false;
}

void WindowSelectorThumbnailView::closeEvent(QCloseEvent* event)
{
    if (warningShown_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void WindowSelectorThumbnailView::cancelSelection()
{
    reject();
}

bool WindowSelectorThumbnailView::eventFilter(QObject* watched, QEvent* event)
{
    // A double click picks the window and closes the picker in one go.
    auto* card = qobject_cast<QWidget*>(watched);
    if (event->type() != QEvent::MouseButtonDblClick || !cards_.contains(card))
        return QDialog::eventFilter(watched, event);
    selectCard(card);
    confirmSelection();
    return true;
}

void WindowSelectorThumbnailView::selectCard(QWidget* card)
{
    if (selectedCard_ && selectedCard_ != card)
        selectedCard_->setStyleSheet(cardStyle(selectedCard_, 1, "#aaa"));
    card->setStyleSheet(cardStyle(card, 2, "#41A7F6"));
    selectedCard_ = card;
    selectedTitle = cards_.value(card).title;
    selectedWindow = cards_.value(card).window;
}
