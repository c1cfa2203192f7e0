// The window list on the test script's X display with openbox: which real windows the picker
// offers, their identities and lookup, their images, and the picker over real windows with the
// real pointer. A second copy of this program, started with --window-helper, owns windows of
// another process (and, run as another account, of another user).
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "platform/WindowSystem.h"
#include "ui/WindowSelectorThumbnailView.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <iostream>

using testsupport::TestWindow;

namespace {

// Helper mode: one window titled argv[2], shown or only created, whose id is printed once it
// exists; it lives until the process is killed.
int runWindowHelper(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QString::fromLocal8Bit(argv[2]));
    window.resize(200, 120);
    if (qstrcmp(argv[3], "shown") == 0) {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return 3;
    }
    std::cout << window.winId() << std::endl;
    return app.exec();
}

// A helper process with one window.
struct HelperWindow
{
    QProcess process;
    NativeWindow window = 0;

    HelperWindow(const QString& title, bool shown, bool asNobody = false)
    {
        QStringList args{QCoreApplication::applicationFilePath(), "--window-helper", title,
                         shown ? "shown" : "hidden"};
        if (asNobody)
            args = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + args;
        const QString program = asNobody ? QStringLiteral("setpriv") : args.takeFirst();
        process.start(program, args);
        for (QDeadlineTimer deadline(10000); !process.canReadLine() && !deadline.hasExpired();)
            process.waitForReadyRead(100);
        window = process.readLine().trimmed().toULongLong();
    }
    ~HelperWindow()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};

QString xprop(NativeWindow window, const QStringList& args)
{
    QProcess xprop;
    xprop.start("xprop", QStringList{"-id", QString::number(window)} + args);
    xprop.waitForFinished(5000);
    return xprop.exitCode() == 0 ? QString::fromLocal8Bit(xprop.readAllStandardOutput()) : "error";
}

// The window manager has let go of a hidden window: its WM_STATE no longer says shown.
bool withdrawn(NativeWindow window)
{
    const QString state = xprop(window, {"WM_STATE"});
    return state != "error" && !state.contains("Normal") && !state.contains("Iconic");
}

QStringList titles(const QList<WindowEntry>& entries)
{
    QStringList result;
    for (const auto& entry : entries)
        result.append(entry.title);
    return result;
}

} // namespace

class tst_WindowList : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowSystem> system_;

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        system_ = WindowSystem::create();
        QVERIFY(system_);
        QTRY_VERIFY_WITH_TIMEOUT(system_->windowManagerRunning(), 10000);
    }

    void enumerationFilter_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("includeHidden");
        QTest::addColumn<bool>("listed");
        QTest::newRow("normal window") << "normal" << false << true;
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
        QTest::newRow("other process's hidden window") << "helper" << true << true;
        QTest::newRow("other account's hidden window") << "nobody" << true << false;
    }
    void enumerationFilter()
    {
        QFETCH(QString, kind);
        QFETCH(bool, includeHidden);
        QFETCH(bool, listed);
        const QString title = QStringLiteral("Window list case %1").arg(QTest::currentDataTag());
        TestWindow owner(Qt::blue, QRect(100, 100, 240, 160), TestWindow::Frame::Framed);
        TestWindow window(Qt::red, QRect(200, 200, 240, 160), TestWindow::Frame::Framed);
        window.setWindowTitle(title);
        std::unique_ptr<HelperWindow> helper;
        if (kind.contains("tool"))
            window.setWindowFlag(Qt::Tool);
        if (kind == "popup")
            window.setWindowFlags(Qt::ToolTip);
        if (kind.endsWith("dialog"))
            window.setParent(&owner, Qt::Dialog);
        NativeWindow target = window.nativeId();
        const QStringList dock{"-f",   "_NET_WM_WINDOW_TYPE", "32a",
                               "-set", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK"};
        if (kind == "dock")
            QCOMPARE(xprop(target, dock), "");
        if (kind.startsWith("shell")) // a panel makes this process the desktop shell
            QCOMPARE(xprop(owner.nativeId(), dock), "");
        if (kind.startsWith("shell") || kind == "dialog")
            QVERIFY(owner.showAndWait());
        if (kind == "helper" || kind == "nobody") {
            if (kind == "nobody" && QFileInfo("/proc/self").ownerId() != 0)
                QSKIP("starting a process of another account needs root");
            helper = std::make_unique<HelperWindow>(title, false, kind == "nobody");
            target = helper->window;
            QVERIFY2(target != 0, "the helper process did not start");
        } else {
            QVERIFY(window.showAndWait());
        }
        if (kind == "untitled") // Qt names an untitled window after the program
            QCOMPARE(xprop(target, {"-remove", "_NET_WM_NAME"}) +
                         xprop(target, {"-remove", "WM_NAME"}),
                     "");
        if (kind.startsWith("hidden")) {
            window.hide();
            QTRY_VERIFY_WITH_TIMEOUT(withdrawn(target), 5000);
        }

        bool found = false;
        for (const auto& entry : system_->enumerateWindows(includeHidden))
            found = found || (entry.window == target && entry.title == title);
        QCOMPARE(found, listed);
        // The window manager's own windows are never offered.
        QVERIFY(!titles(system_->enumerateWindows(true)).contains("Openbox"));
    }

    void findWindowByIdentity_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("found");
        QTest::newRow("same identity") << "" << true;
        QTest::newRow("minimised") << "minimised" << true;
        QTest::newRow("hidden") << "hidden" << false;
        QTest::newRow("one-letter title") << "one-letter title" << false;
        QTest::newRow("utility window") << "tool" << false;
        QTest::newRow("other pid") << "pid" << false;
        QTest::newRow("pid zero") << "pid zero" << false;
        QTest::newRow("other class") << "class" << false;
        QTest::newRow("other executable") << "exe" << false;
    }
    void findWindowByIdentity()
    {
        QFETCH(QString, change);
        QFETCH(bool, found);
        TestWindow window(Qt::red, QRect(100, 100, 200, 150), TestWindow::Frame::Framed);
        window.setWindowTitle(change == "one-letter title" ? "A" : "Find me \u00e9t\u00e9");
        window.setWindowFlag(Qt::Tool, change == "tool");
        QVERIFY(window.showAndWait());
        const NativeWindow id = window.nativeId();
        WindowIdentity identity = system_->windowIdentity(id);
        QCOMPARE(identity.pid, quint32(QCoreApplication::applicationPid()));
        QCOMPARE(identity.exeName, QStringLiteral("tst_WindowList"));
        QCOMPARE(identity.className, xprop(id, {"WM_CLASS"}).section('"', 3, 3));
        if (change.isEmpty()) {
            QCOMPARE(system_->windowTitle(id), QStringLiteral("Find me \u00e9t\u00e9"));
            // The picker's own helpers give the same answers on a connection of their own.
            QCOMPARE(WindowSelectorThumbnailView::windowIdentity(id).className, identity.className);
            QCOMPARE(WindowSelectorThumbnailView::findWindowByIdentity(identity), id);
            QCOMPARE(system_->windowIdentity(0x7ffffff0).pid, 0u);
        }
        if (change == "minimised") {
            window.showMinimized();
            QTRY_VERIFY_WITH_TIMEOUT(system_->isMinimised(id), 5000);
        } else if (change == "hidden") {
            window.hide();
            QTRY_VERIFY_WITH_TIMEOUT(withdrawn(id), 5000);
        }
        identity.pid = change == "pid" ? identity.pid + 1 : change == "pid zero" ? 0 : identity.pid;
        identity.className += change == "class" ? "x" : "";
        identity.exeName = change == "exe" ? "notepad" : identity.exeName;
        QCOMPARE(system_->findWindowByIdentity(identity), found ? id : NativeWindow(0));
    }

    void windowImageShowsContent()
    {
        TestWindow window(Qt::blue, QRect(300, 300, 240, 160), TestWindow::Frame::Framed);
        QVERIFY(window.showAndWait());
        const NativeWindow id = window.nativeId();
        const QImage image = system_->windowImage(id);
        // The outer image: the client area plus the frame the window manager drew.
        QCOMPARE(image.size(), system_->outerRect(id).size());
        QVERIFY(image.width() > window.width());
        QCOMPARE(image.pixelColor(window.globalRect().center() - system_->outerRect(id).topLeft()),
                 QColor(Qt::blue));
        QVERIFY(system_->windowImage(0x7ffffff0).isNull());
        window.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!system_->isVisible(id), 5000);
        QVERIFY(system_->windowImage(id).isNull());
    }

    void pickerUnderRealPointer_data()
    {
        QTest::addColumn<QString>("answer"); // how the warning is answered
        QTest::newRow("warning answered by its button") << "click";
        QTest::newRow("warning answered by the Return key") << "Return";
        QTest::newRow("warning answered by the Escape key") << "Escape";
    }
    void pickerUnderRealPointer()
    {
        QFETCH(QString, answer);
        TestWindow window(Qt::red, QRect(900, 500, 240, 160), TestWindow::Frame::Framed);
        window.setWindowTitle("Pick me");
        QVERIFY(window.showAndWait());
        WindowSelectorThumbnailView view;
        view.move(100, 100);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* card = view.findChild<QWidget*>("grid_parent_0_0");
        const QImage thumbnail = card->findChild<QLabel*>()->pixmap().toImage();
        QCOMPARE(thumbnail.pixelColor(thumbnail.rect().center()), QColor(Qt::red));

        // Clicks with the real pointer, through the X server.
        const auto clickAt = [](QWidget* widget) {
            const QPoint p = widget->mapToGlobal(widget->rect().center());
            QProcess::execute("xdotool", {"mousemove", QString::number(p.x()),
                                          QString::number(p.y()), "click", "1"});
        };
        const auto openBox = [] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                    return box;
            return static_cast<QMessageBox*>(nullptr);
        };
        // Ok without a selection: the warning, answered by the user, leaves the picker open.
        QString warning;
        int pollsSinceAnswer = -1;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            QMessageBox* box = openBox();
            if (box && warning.isEmpty()) {
                warning = box->text();
                QTimer::singleShot(200, box, [&, box] {
                    pollsSinceAnswer = 0;
                    if (answer == "click")
                        clickAt(box->button(QMessageBox::Ok));
                    else
                        QProcess::execute("xdotool", {"key", answer});
                });
            } else if (box && pollsSinceAnswer >= 0 && ++pollsSinceAnswer > 100) {
                // A box that ignores the user would hold the test in its event loop for good.
                warning = "could not be answered";
                box->reject();
            }
        });
        poll.start(50);
        clickAt(view.findChild<QPushButton*>("pushButtonOk"));
        QTRY_VERIFY_WITH_TIMEOUT(!warning.isEmpty() && !openBox(), 10000);
        QCOMPARE(warning, QStringLiteral("Please select a window first."));
        QVERIFY(view.isVisible());

        clickAt(card);
        QTRY_COMPARE_WITH_TIMEOUT(view.selectedTitle, QStringLiteral("Pick me"), 5000);
        clickAt(view.findChild<QPushButton*>("pushButtonOk"));
        QTRY_COMPARE_WITH_TIMEOUT(view.result(), int(QDialog::Accepted), 5000);
        QCOMPARE(view.selectedWindow, window.nativeId());
    }
};

int main(int argc, char** argv)
{
    if (argc >= 4 && qstrcmp(argv[1], "--window-helper") == 0)
        return runWindowHelper(argc, argv);
    QApplication app(argc, argv);
    tst_WindowList test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_WindowList.moc"
