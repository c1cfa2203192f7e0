// The window list on the test script's X display with openbox: which real windows the picker
// offers, and the picker with their pictures under the real pointer.
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "platform/WindowSystem.h"
#include "widgets/WindowSelectorThumbnailView.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

using testsupport::TestWindow;

namespace {

QString xprop(NativeWindow window, const QStringList& args)
{
    QProcess xprop;
    xprop.start("xprop", QStringList{"-id", QString::number(window)} + args);
    xprop.waitForFinished(5000);
    return xprop.exitCode() == 0 ? QString::fromLocal8Bit(xprop.readAllStandardOutput()) : "error";
}

} // namespace

class tst_WindowList : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowSystem> system_;
    QProcess other_; // our own windows are never listed: test windows are handed to this one

    QString handOver(NativeWindow window)
    {
        return xprop(window, {"-f", "_NET_WM_PID", "32c", "-set", "_NET_WM_PID",
                              QString::number(other_.processId())});
    }

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        system_ = WindowSystem::create();
        QVERIFY(system_);
        QTRY_VERIFY_WITH_TIMEOUT(system_->windowManagerRunning(), 10000);
        other_.start("sleep", {"3600"});
        QVERIFY(other_.waitForStarted());
    }
    void cleanupTestCase()
    {
        other_.kill();
        other_.waitForFinished();
    }

    void enumerationFilter_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("includeHidden");
        QTest::addColumn<bool>("listed");
        QTest::newRow("normal window") << "normal" << false << true;
        QTest::newRow("our own window") << "own" << false << false;
        QTest::newRow("window without title") << "untitled" << true << false;
        QTest::newRow("hidden window, box unchecked") << "hidden" << false << false;
        QTest::newRow("hidden window, box checked") << "hidden" << true << true;
        QTest::newRow("hidden tool window, box checked") << "hidden tool" << true << false;
        QTest::newRow("dock") << "dock" << true << false;
        QTest::newRow("utility window") << "tool" << false << false;
        QTest::newRow("popup") << "popup" << true << false;
        QTest::newRow("dialog") << "dialog" << false << true;
        QTest::newRow("shell's file manager window") << "shell normal" << false << true;
        QTest::newRow("shell's dialog") << "shell dialog" << false << false;
    }
    void enumerationFilter()
    {
        QFETCH(QString, kind);
        QFETCH(bool, includeHidden);
        const QString title = QStringLiteral("Window list case %1").arg(QTest::currentDataTag());
        TestWindow owner(Qt::blue, QRect(100, 100, 240, 160), TestWindow::Frame::Framed);
        TestWindow window(Qt::red, QRect(200, 200, 240, 160), TestWindow::Frame::Framed);
        window.setWindowTitle(title);
        window.setWindowFlag(Qt::Tool, kind.contains("tool"));
        if (kind == "popup")
            window.setWindowFlags(Qt::ToolTip);
        if (kind.endsWith("dialog"))
            window.setParent(&owner, Qt::Dialog);
        const NativeWindow target = window.nativeId();
        if (kind != "own")
            QCOMPARE(handOver(target) + handOver(owner.nativeId()), "");
        const QStringList dock{"-f",   "_NET_WM_WINDOW_TYPE", "32a",
                               "-set", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK"};
        if (kind == "dock")
            QCOMPARE(xprop(target, dock), "");
        if (kind.startsWith("shell")) // a panel makes this process the desktop shell
            QCOMPARE(xprop(owner.nativeId(), dock), "");
        if (kind.startsWith("shell") || kind == "dialog")
            QVERIFY(owner.showAndWait());
        QVERIFY(window.showAndWait());
        if (kind == "untitled") // Qt names an untitled window after the program
            QCOMPARE(xprop(target, {"-remove", "_NET_WM_NAME"}) +
                         xprop(target, {"-remove", "WM_NAME"}),
                     "");
        if (kind.startsWith("hidden")) {
            window.hide();
            // Until the window manager has let go of it, WM_STATE says shown.
            QTRY_VERIFY_WITH_TIMEOUT(
                !xprop(target, {"WM_STATE"}).contains(QRegularExpression("Normal|Iconic|^error")),
                5000);
        }
        bool found = false;
        for (const WindowEntry& entry : system_->enumerateWindows(includeHidden)) {
            found = found || (entry.window == target && entry.title == title);
            QVERIFY(entry.title != "Openbox"); // the window manager's own windows never
        }
        QTEST(found, "listed");
    }

    // The picker is a popup: its warning must be answerable with the real pointer and keys.
    void pickerUnderRealPointer_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("warning answered by its button") << "click";
        QTest::newRow("warning answered by the Return key") << "Return";
        QTest::newRow("warning answered by the Escape key") << "Escape";
    }
    void pickerUnderRealPointer()
    {
        QFETCH(QString, answer);
        TestWindow window(Qt::red, QRect(900, 500, 240, 160), TestWindow::Frame::Framed);
        window.setWindowTitle("Pick me");
        QCOMPARE(handOver(window.nativeId()), "");
        QVERIFY(window.showAndWait());
        WindowSelectorThumbnailView view;
        view.move(100, 100);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* card = view.findChild<QWidget*>("grid_parent_0_0");
        const QImage thumbnail = card->findChild<QLabel*>()->pixmap().toImage();
        QCOMPARE(thumbnail.pixelColor(thumbnail.rect().center()), QColor(Qt::red));
        const auto clickAt = [](QWidget* widget) {
            const QPoint p = widget->mapToGlobal(widget->rect().center());
            QProcess::execute("xdotool", {"mousemove", QString::number(p.x()),
                                          QString::number(p.y()), "click", "1"});
        };
        // Ok without a selection warns; the warning, answered, leaves the picker open.
        QString warning;
        const auto openBox = [] {
            return qobject_cast<QMessageBox*>(QApplication::activePopupWidget());
        };
        QTimer poll;
        connect(&poll, &QTimer::timeout, &view, [&] {
            QMessageBox* box = openBox();
            if (!box || !warning.isEmpty())
                return;
            warning = box->text();
            QTimer::singleShot(200, box, [&, box] {
                // On a busy machine the box may not be in its place yet: a click beside it
                // would close the picker too.
                if (answer == "click" && QTest::qWaitForWindowExposed(box))
                    clickAt(box->button(QMessageBox::Ok));
                else
                    QProcess::execute("xdotool", {"key", answer});
            });
            // A box that ignores the user would hold the test in its event loop for good.
            QTimer::singleShot(5000, box, [&, box] {
                warning = "could not be answered";
                box->reject();
            });
        });
        poll.start(50);
        clickAt(view.findChild<QPushButton*>("pushButtonOk"));
        QTRY_COMPARE_WITH_TIMEOUT(warning, QStringLiteral("Please select a window first."), 5000);
        QTRY_VERIFY(!openBox());
        QVERIFY(view.isVisible());

        clickAt(card);
        QTRY_COMPARE_WITH_TIMEOUT(view.selectedTitle, QStringLiteral("Pick me"), 5000);
        clickAt(view.findChild<QPushButton*>("pushButtonOk"));
        QTRY_COMPARE_WITH_TIMEOUT(view.result(), int(QDialog::Accepted), 5000);
        QCOMPARE(view.selectedWindow, window.nativeId());
    }
};

QTEST_MAIN(tst_WindowList)

#include "tst_WindowList.moc"
