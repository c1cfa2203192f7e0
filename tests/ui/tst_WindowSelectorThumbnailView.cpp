// The window picker over a scripted window list: the grid of cards, thumbnails, the hidden
// windows box, selection by click and the confirmation.
#include "support/TestSupport.h"
#include "platform/WindowSystem.h"
#include "ui/WindowSelectorThumbnailView.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

// The windows of a made-up desktop; the test changes them between refreshes.
struct FakeDesktop
{
    QList<WindowEntry> visible;
    QList<WindowEntry> hidden; // added when hidden windows are asked for
    QHash<NativeWindow, QImage> images;
    QList<bool> requests; // includeHidden of every enumeration
};

class FakeWindowSystem : public WindowSystem
{
public:
    explicit FakeWindowSystem(FakeDesktop* desktop) : desktop_(desktop) {}

    QList<WindowEntry> enumerateWindows(bool includeHidden) const override
    {
        desktop_->requests.append(includeHidden);
        return includeHidden ? desktop_->visible + desktop_->hidden : desktop_->visible;
    }
    QImage windowImage(NativeWindow window) const override
    {
        return desktop_->images.value(window);
    }

    bool windowManagerRunning() const override { return true; }
    bool isWindow(NativeWindow) const override { return true; }
    bool isVisible(NativeWindow) const override { return true; }
    bool isMinimised(NativeWindow) const override { return false; }
    void show(NativeWindow) override {}
    void restore(NativeWindow) override {}
    QRect outerRect(NativeWindow) const override { return {}; }
    QList<MonitorInfo> monitors() const override { return {}; }
    bool monitorFromPoint(QPoint, bool, MonitorInfo*) const override { return false; }
    bool monitorFromRect(const QRect&, MonitorInfo*) const override { return false; }

private:
    FakeDesktop* desktop_;
};

QList<WindowEntry> windows(int count)
{
    QList<WindowEntry> result;
    for (int i = 0; i < count; ++i)
        result.append({NativeWindow(0x1000 + i), QStringLiteral("Window %1").arg(i)});
    return result;
}

QImage solid(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QStringList cardNames(const WindowSelectorThumbnailView& view)
{
    QStringList names;
    for (auto* card : view.findChildren<QWidget*>(QRegularExpression("^grid_parent_")))
        names.append(card->objectName());
    names.sort();
    return names;
}

QLabel* imageLabel(QWidget* card)
{
    const auto labels = card->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    return labels.size() == 2 ? labels[0] : nullptr;
}

QLabel* titleLabel(QWidget* card)
{
    const auto labels = card->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    return labels.size() == 2 ? labels[1] : nullptr;
}

QWidget* card(const WindowSelectorThumbnailView& view, int row, int column)
{
    return view.findChild<QWidget*>(QStringLiteral("grid_parent_%1_%2").arg(row).arg(column));
}

} // namespace

class tst_WindowSelectorThumbnailView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void gridOfCards_data();
    void gridOfCards();
    void thumbnails_data();
    void thumbnails();
    void lookOfTheDialog();
    void hiddenWindowsBox();
    void clickSelectsCard_data();
    void clickSelectsCard();
    void refreshDropsSelection();
    void confirmWithoutSelectionWarns();
    void doubleClickPicks();
    void cancelRejects();
    void noDisplayGivesEmptyList();
};

void tst_WindowSelectorThumbnailView::initTestCase()
{
    testsupport::isolateUserFolders();
}

void tst_WindowSelectorThumbnailView::cleanup()
{
    // Cards are deleted later; let that happen between cases.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_WindowSelectorThumbnailView::gridOfCards_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("none") << 0 << QStringList();
    QTest::newRow("one") << 1 << QStringList{"grid_parent_0_0"};
    QTest::newRow("three fill a row")
        << 3 << QStringList{"grid_parent_0_0", "grid_parent_0_1", "grid_parent_0_2"};
    QTest::newRow("seven") << 7
                           << QStringList{"grid_parent_0_0", "grid_parent_0_1", "grid_parent_0_2",
                                          "grid_parent_1_0", "grid_parent_1_1", "grid_parent_1_2",
                                          "grid_parent_2_0"};
}

void tst_WindowSelectorThumbnailView::gridOfCards()
{
    QFETCH(int, count);
    QFETCH(QStringList, names);

    FakeDesktop desktop;
    desktop.visible = windows(count);
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    QCOMPARE(cardNames(view), names);

    // Cards follow the enumeration order, row by row.
    for (int i = 0; i < count; ++i) {
        QWidget* c = card(view, i / 3, i % 3);
        QVERIFY(c);
        QCOMPARE(titleLabel(c)->text(), desktop.visible[i].title);
        QCOMPARE(c->size(), QSize(180, 140));
        QCOMPARE(c->styleSheet(),
                 "#" + c->objectName() + "{border: 1px solid #aaa;border-radius:5px;}");
        QCOMPARE(c->cursor().shape(), Qt::PointingHandCursor);
    }
    QCOMPARE(view.selectedTitle, QString());
    QCOMPARE(view.selectedWindow, NativeWindow(0));
}

void tst_WindowSelectorThumbnailView::thumbnails_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QSize>("shown");

    QTest::newRow("wide window") << solid(QSize(800, 200), Qt::red) << QSize(160, 40);
    QTest::newRow("tall window") << solid(QSize(300, 600), Qt::red) << QSize(50, 100);
    QTest::newRow("small window") << solid(QSize(80, 50), Qt::red) << QSize(160, 100);
    QTest::newRow("no picture") << QImage() << QSize();
}

void tst_WindowSelectorThumbnailView::thumbnails()
{
    QFETCH(QImage, image);
    QFETCH(QSize, shown);

    FakeDesktop desktop;
    desktop.visible = windows(1);
    desktop.images.insert(desktop.visible[0].window, image);
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    QLabel* label = imageLabel(card(view, 0, 0));
    QVERIFY(label);
    if (image.isNull()) {
        QCOMPARE(label->text(), QStringLiteral("No Preview"));
        QVERIFY(label->pixmap().isNull());
        QCOMPARE(label->size(), QSize(160, 100));
        return;
    }
    // Scaled into 160 x 100, keeping the aspect ratio.
    const QImage thumbnail = label->pixmap().toImage();
    QCOMPARE(thumbnail.size(), shown);
    QCOMPARE(thumbnail.pixelColor(thumbnail.rect().center()), QColor(Qt::red));
}

void tst_WindowSelectorThumbnailView::lookOfTheDialog()
{
    FakeDesktop desktop;
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    QCOMPARE(view.windowTitle(), QStringLiteral("Select a Window"));
    QCOMPARE(view.size(), QSize(600, 450));
    QCOMPARE(view.minimumSize(), view.maximumSize());
    QVERIFY(view.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(view.windowFlags() & Qt::WindowType_Mask, Qt::Popup);
    QVERIFY(view.testAttribute(Qt::WA_TranslucentBackground));
    auto* box = view.findChild<QCheckBox*>("checkBoxHiddenWindows");
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Hidden Windows"));
    QVERIFY(!box->isChecked());
    for (const auto& [name, text] :
         {std::pair{"pushButtonRefresh", "Refresh"}, std::pair{"pushButtonOk", "Ok"},
          std::pair{"pushButtonCancel", "Cancel"}}) {
        auto* button = view.findChild<QPushButton*>(name);
        QVERIFY(button);
        QCOMPARE(button->text(), QLatin1String(text));
    }
}

void tst_WindowSelectorThumbnailView::hiddenWindowsBox()
{
    FakeDesktop desktop;
    desktop.visible = windows(2);
    desktop.hidden = {{NativeWindow(0x2000), QStringLiteral("Hidden one")}};
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    QCOMPARE(desktop.requests, QList<bool>{false});
    QCOMPARE(cardNames(view).size(), 2);

    auto* box = view.findChild<QCheckBox*>("checkBoxHiddenWindows");
    box->setChecked(true);
    // The list follows the box once the event loop has run.
    QTRY_COMPARE(desktop.requests, (QList<bool>{false, true}));
    QCOMPARE(cardNames(view).size(), 3);
    QCOMPARE(titleLabel(card(view, 0, 2))->text(), QStringLiteral("Hidden one"));

    box->setChecked(false);
    QTRY_COMPARE(desktop.requests, (QList<bool>{false, true, false}));
    QCOMPARE(cardNames(view).size(), 2);
}

void tst_WindowSelectorThumbnailView::clickSelectsCard_data()
{
    QTest::addColumn<bool>("onTitle"); // a click on the card's title label instead of its edge
    QTest::newRow("click on the card") << false;
    QTest::newRow("click on the title") << true;
}

void tst_WindowSelectorThumbnailView::clickSelectsCard()
{
    QFETCH(bool, onTitle);

    FakeDesktop desktop;
    desktop.visible = windows(5);
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    const auto click = [&](QWidget* target) {
        if (onTitle)
            QTest::mouseClick(titleLabel(target), Qt::LeftButton);
        else
            QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(3, 3));
    };
    const QString selectedStyle = "{border: 2px solid #41A7F6;border-radius:5px;}";
    const QString normalStyle = "{border: 1px solid #aaa;border-radius:5px;}";

    QWidget* first = card(view, 0, 1);
    click(first);
    QCOMPARE(first->styleSheet(), "#grid_parent_0_1" + selectedStyle);
    QCOMPARE(view.selectedTitle, QStringLiteral("Window 1"));
    QCOMPARE(view.selectedWindow, NativeWindow(0x1001));

    QWidget* second = card(view, 1, 1);
    click(second);
    QCOMPARE(second->styleSheet(), "#grid_parent_1_1" + selectedStyle);
    QCOMPARE(first->styleSheet(), "#grid_parent_0_1" + normalStyle);
    QCOMPARE(view.selectedTitle, QStringLiteral("Window 4"));
    QCOMPARE(view.selectedWindow, NativeWindow(0x1004));

    // A click beside the cards changes nothing.
    QTest::mouseClick(view.findChild<QCheckBox*>("checkBoxHiddenWindows"), Qt::LeftButton, {},
                      QPoint(-1, -1));
    QTest::mouseClick(view.findChild<QWidget*>("scrollAreaWidgetContents"), Qt::LeftButton, {},
                      QPoint(590, 2));
    QCOMPARE(view.selectedTitle, QStringLiteral("Window 4"));

    view.confirmSelection();
    QCOMPARE(view.result(), int(QDialog::Accepted));
    QVERIFY(!view.isVisible());
    QCOMPARE(view.selectedTitle, QStringLiteral("Window 4"));
    QCOMPARE(view.selectedWindow, NativeWindow(0x1004));
}

void tst_WindowSelectorThumbnailView::refreshDropsSelection()
{
    FakeDesktop desktop;
    desktop.visible = windows(2);
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    QTest::mouseClick(card(view, 0, 0), Qt::LeftButton);
    QCOMPARE(view.selectedWindow, NativeWindow(0x1000));

    desktop.visible = windows(4);
    view.findChild<QPushButton*>("pushButtonRefresh")->click();
    QCOMPARE(view.selectedTitle, QString());
    QCOMPARE(view.selectedWindow, NativeWindow(0));
    QCOMPARE(cardNames(view), (QStringList{"grid_parent_0_0", "grid_parent_0_1", "grid_parent_0_2",
                                           "grid_parent_1_0"}));
    QCOMPARE(card(view, 0, 0)->styleSheet(),
             QStringLiteral("#grid_parent_0_0{border: 1px solid #aaa;border-radius:5px;}"));
}

void tst_WindowSelectorThumbnailView::confirmWithoutSelectionWarns()
{
    FakeDesktop desktop;
    desktop.visible = windows(2);
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    QString title;
    QString text;
    bool seen = false;
    // The warning is modal; read and close it from the event loop it runs.
    QTimer::singleShot(0, &view, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                seen = true;
                title = box->windowTitle();
                text = box->text();
                box->close();
            }
        }
    });
    view.findChild<QPushButton*>("pushButtonOk")->click();
    QVERIFY(seen);
    QCOMPARE(title, QStringLiteral("No selection"));
    QCOMPARE(text, QStringLiteral("Please select a window first."));
    QVERIFY(view.isVisible());
    QCOMPARE(view.result(), 0);
}

void tst_WindowSelectorThumbnailView::doubleClickPicks()
{
    FakeDesktop desktop;
    desktop.visible = windows(3);
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTest::mouseDClick(card(view, 0, 2), Qt::LeftButton);
    QCOMPARE(view.result(), int(QDialog::Accepted));
    QCOMPARE(view.selectedTitle, QStringLiteral("Window 2"));
    QCOMPARE(view.selectedWindow, NativeWindow(0x1002));
}

void tst_WindowSelectorThumbnailView::cancelRejects()
{
    FakeDesktop desktop;
    desktop.visible = windows(3);
    WindowSelectorThumbnailView view(nullptr, std::make_unique<FakeWindowSystem>(&desktop));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTest::mouseClick(card(view, 0, 0), Qt::LeftButton);
    view.findChild<QPushButton*>("pushButtonCancel")->click();
    QCOMPARE(view.result(), int(QDialog::Rejected));
    QVERIFY(!view.isVisible());
}

void tst_WindowSelectorThumbnailView::noDisplayGivesEmptyList()
{
    // Offscreen here: no X display, so the picker's own window system is missing.
    qunsetenv("DISPLAY");
    WindowSelectorThumbnailView view;
    QVERIFY(cardNames(view).isEmpty());
    QCOMPARE(WindowSelectorThumbnailView::findWindowByIdentity({42, "Class", "program"}),
             NativeWindow(0));
    QCOMPARE(WindowSelectorThumbnailView::windowIdentity(0x1234).pid, 0u);
}

QTEST_MAIN(tst_WindowSelectorThumbnailView)
#include "tst_WindowSelectorThumbnailView.moc"
