// The window picker over a faked window list: the grid of cards and their thumbnails, the hidden
// windows box, refresh, selection by click, double click and cancel.
#include "support/FakeDesktop.h"
#include "widgets/WindowSelectorThumbnailView.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QtTest>

using testsupport::FakeDesktop;

namespace {

QList<WindowEntry> windows(int count)
{
    QList<WindowEntry> result;
    for (int i = 0; i < count; ++i)
        result.append({NativeWindow(0x1000 + i), QStringLiteral("Window %1").arg(i)});
    return result;
}

std::unique_ptr<WindowSelectorThumbnailView> picker(FakeDesktop& desktop)
{
    return std::make_unique<WindowSelectorThumbnailView>(
        nullptr, std::make_unique<testsupport::FakeWindowSystem>(&desktop));
}

QWidget* card(const QWidget& view, int row, int column)
{
    return view.findChild<QWidget*>(QStringLiteral("grid_parent_%1_%2").arg(row).arg(column));
}

// The image label, then the title label.
QList<QLabel*> labels(QWidget* card)
{
    return card->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
}

int cardCount(const QWidget& view)
{
    return int(view.findChildren<QWidget*>(QRegularExpression("^grid_parent_")).size());
}

} // namespace

class tst_WindowSelectorThumbnailView : public QObject
{
    Q_OBJECT

private slots:
    // Cards are deleted later; let that happen between cases.
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void cardsWithThumbnails()
    {
        FakeDesktop desktop;
        desktop.shown = windows(7);
        const QList<QSize> sizes{{800, 200}, {300, 600}, {80, 50}};
        for (int i = 0; i < sizes.size(); ++i) {
            QImage image(sizes[i], QImage::Format_RGB32);
            image.fill(Qt::red);
            desktop.pictures.insert(desktop.shown[i].window, image);
        }
        auto view = picker(desktop);
        QCOMPARE(cardCount(*view), 7);
        // Row by row in enumeration order, three to a row.
        for (int i = 0; i < 7; ++i)
            QCOMPARE(labels(card(*view, i / 3, i % 3))[1]->text(), desktop.shown[i].title);
        // Scaled into 160 x 100 keeping the aspect ratio; without a picture, a placeholder.
        const QList<QSize> shown{{160, 40}, {50, 100}, {160, 100}};
        for (int i = 0; i < 3; ++i) {
            const QImage thumbnail = labels(card(*view, 0, i))[0]->pixmap().toImage();
            QCOMPARE(thumbnail.size(), shown[i]);
            QCOMPARE(thumbnail.pixelColor(thumbnail.rect().center()), QColor(Qt::red));
        }
        QCOMPARE(labels(card(*view, 1, 0))[0]->text(), QStringLiteral("No Preview"));
        // The right-most card, border included, lies inside the visible part of the scroll area.
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        const QWidget* viewport = view->findChild<QScrollArea*>()->viewport();
        const QWidget* last = card(*view, 0, 2);
        QVERIFY(viewport->rect().contains(QRect(last->mapTo(viewport, QPoint()), last->size())));
    }

    void hiddenWindowsBoxAndRefresh()
    {
        FakeDesktop desktop;
        desktop.shown = windows(2);
        desktop.hidden = {{NativeWindow(0x2000), QStringLiteral("Hidden one")}};
        auto view = picker(desktop);
        QTest::mouseClick(card(*view, 0, 0), Qt::LeftButton);
        QCOMPARE(view->selectedWindow, NativeWindow(0x1000));

        auto* box = view->findChild<QCheckBox*>("checkBoxHiddenWindows");
        box->setChecked(true);
        // The list follows the box once the event loop has run, and the selection is gone.
        QTRY_COMPARE(desktop.enumerations, (QList<bool>{false, true}));
        QCOMPARE(labels(card(*view, 0, 2))[1]->text(), QStringLiteral("Hidden one"));
        QCOMPARE(view->selectedWindow, NativeWindow(0));
        box->setChecked(false);
        QTRY_COMPARE(cardCount(*view), 2);

        desktop.shown = windows(4);
        view->findChild<QPushButton*>("pushButtonRefresh")->click();
        QCOMPARE(cardCount(*view), 4);
    }

    // Ok without a selection, with its warning, is tried with the real pointer in tst_WindowList.
    void clickSelectsDoubleClickPicksCancelRejects()
    {
        FakeDesktop desktop;
        desktop.shown = windows(5);
        auto view = picker(desktop);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        QTest::mouseClick(card(*view, 0, 1), Qt::LeftButton, {}, QPoint(3, 3));
        QVERIFY(card(*view, 0, 1)->styleSheet().contains("#41A7F6"));
        // A click on a card's title selects that card instead.
        QTest::mouseClick(labels(card(*view, 1, 1))[1], Qt::LeftButton);
        QVERIFY(!card(*view, 0, 1)->styleSheet().contains("#41A7F6"));
        QCOMPARE(view->selectedWindow, NativeWindow(0x1004));
        // A click beside the cards changes nothing.
        QTest::mouseClick(view->findChild<QWidget*>("scrollAreaWidgetContents"), Qt::LeftButton, {},
                          QPoint(590, 2));
        QCOMPARE(view->selectedTitle, QStringLiteral("Window 4"));
        QTest::mouseDClick(card(*view, 0, 2), Qt::LeftButton);
        QCOMPARE(view->result(), int(QDialog::Accepted));
        QCOMPARE(view->selectedWindow, NativeWindow(0x1002));
        view->show();
        view->findChild<QPushButton*>("pushButtonCancel")->click();
        QCOMPARE(view->result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(tst_WindowSelectorThumbnailView)
#include "tst_WindowSelectorThumbnailView.moc"
