// The window list on the test script's X display with openbox: which real windows the picker
// offers, their identities and lookup, their images, and the picker itself over real windows.
// A second copy of this program, started with --window-helper, owns windows of another process
// (and, run as another account, of another user).
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "platform/WindowSystem.h"
#include "ui/WindowSelectorThumbnailView.h"

#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QScrollArea>
#include <QtTest>

#include <unistd.h>

#include <iostream>

using testsupport::TestWindow;

namespace {

// Helper mode: one window titled argv[2], shown or only created ("hidden"), whose id is printed
// once it exists; it lives until the process is killed.
int runWindowHelper(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 4)
        return 2;
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

// A helper process with one window; its id once it has started.
class HelperWindow
{
public:
    HelperWindow(const QString& title, bool shown, bool asNobody = false)
    {
        QStringList arguments{QStringLiteral("--window-helper"), title,
                              shown ? QStringLiteral("shown") : QStringLiteral("hidden")};
        const QString self = QCoreApplication::applicationFilePath();
        if (asNobody) {
            arguments =
                QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                            QStringLiteral("--clear-groups"), self} +
                arguments;
            process_.start(QStringLiteral("setpriv"), arguments);
        } else {
            process_.start(self, arguments);
        }
        QDeadlineTimer deadline(10000);
        while (!process_.canReadLine() && process_.state() != QProcess::NotRunning &&
               !deadline.hasExpired())
            process_.waitForReadyRead(100);
        window_ = process_.readLine().trimmed().toULongLong();
    }
    ~HelperWindow()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    NativeWindow window() const { return window_; }
    quint32 pid() const { return static_cast<quint32>(process_.processId()); }

private:
    QProcess process_;
    NativeWindow window_ = 0;
};

QStringList titles(const QList<WindowEntry>& entries)
{
    QStringList result;
    for (const auto& entry : entries)
        result.append(entry.title);
    return result;
}

// Sets a window type the way a panel or a desktop program does, through the X property.
bool setWindowType(NativeWindow window, const QString& type)
{
    return QProcess::execute(QStringLiteral("xprop"),
                             {QStringLiteral("-id"), QString::number(window), QStringLiteral("-f"),
                              QStringLiteral("_NET_WM_WINDOW_TYPE"), QStringLiteral("32a"),
                              QStringLiteral("-set"), QStringLiteral("_NET_WM_WINDOW_TYPE"),
                              type}) == 0;
}

bool removeTitle(NativeWindow window)
{
    for (const char* name : {"_NET_WM_NAME", "WM_NAME"})
        if (QProcess::execute(QStringLiteral("xprop"),
                              {QStringLiteral("-id"), QString::number(window),
                               QStringLiteral("-remove"), QLatin1String(name)}) != 0)
            return false;
    return true;
}

// The window manager has let go of a hidden window: its WM_STATE no longer says shown.
bool withdrawn(NativeWindow window)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-id"), QString::number(window), QStringLiteral("WM_STATE")});
    xprop.waitForFinished(5000);
    const QByteArray state = xprop.readAllStandardOutput();
    return xprop.exitCode() == 0 && !state.contains("Normal") && !state.contains("Iconic");
}

// WM_CLASS as xprop reads it: the class, the second of the two strings.
QString xpropClass(NativeWindow window)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-id"), QString::number(window), QStringLiteral("WM_CLASS")});
    xprop.waitForFinished(5000);
    const QString line = QString::fromLocal8Bit(xprop.readAllStandardOutput()).trimmed();
    const QStringList quoted = line.split(QLatin1Char('"'));
    return quoted.size() >= 4 ? quoted.at(3) : QString();
}

} // namespace

class tst_WindowList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void enumerationFilter_data();
    void enumerationFilter();
    void listsTopmostFirst();
    void identityOfOwnWindow();
    void findWindowByIdentity_data();
    void findWindowByIdentity();
    void findFailsAfterRestart();
    void windowImageShowsContent_data();
    void windowImageShowsContent();
    void pickerOverRealWindows();
    void pickerUnderRealPointer_data();
    void pickerUnderRealPointer();

private:
    std::unique_ptr<WindowSystem> system_;
};

void tst_WindowList::initTestCase()
{
    testsupport::isolateUserFolders();
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs the test script's X display");
    system_ = WindowSystem::create();
    QVERIFY(system_);
    QTRY_VERIFY_WITH_TIMEOUT(system_->windowManagerRunning(), 10000);
}

void tst_WindowList::enumerationFilter_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("includeHidden");
    QTest::addColumn<bool>("listed");

    QTest::newRow("normal window") << "normal" << false << true;
    QTest::newRow("framed window") << "framed" << false << true;
    QTest::newRow("minimised window") << "minimised" << false << true;
    QTest::newRow("dialog") << "dialog" << false << true;
    QTest::newRow("window without title") << "untitled" << true << false;
    QTest::newRow("hidden window, box unchecked") << "hidden" << false << false;
    QTest::newRow("hidden window, box checked") << "hidden" << true << true;
    QTest::newRow("never shown window, box checked") << "created" << true << true;
    QTest::newRow("hidden tool window, box checked") << "hidden tool" << true << false;
    QTest::newRow("dock") << "dock" << true << false;
    QTest::newRow("desktop") << "desktop" << true << false;
    QTest::newRow("utility window") << "tool" << false << false;
    QTest::newRow("popup") << "popup" << true << false;
    QTest::newRow("shell's file manager window") << "shell normal" << false << true;
    QTest::newRow("shell's dialog") << "shell dialog" << false << false;
    QTest::newRow("other process's window") << "helper shown" << false << true;
    QTest::newRow("other process's hidden window") << "helper hidden" << true << true;
    QTest::newRow("other account's hidden window") << "nobody hidden" << true << false;
    QTest::newRow("other account's window") << "nobody shown" << false << true;
}

void tst_WindowList::enumerationFilter()
{
    QFETCH(QString, kind);
    QFETCH(bool, includeHidden);
    QFETCH(bool, listed);

    const QString title = QStringLiteral("Window list case %1").arg(QTest::currentDataTag());
    std::vector<std::unique_ptr<QWidget>> windows;
    std::unique_ptr<HelperWindow> helper;
    NativeWindow target = 0;
    const auto addWindow = [&](QColor colour, TestWindow::Frame frame) {
        windows.push_back(std::make_unique<TestWindow>(colour, QRect(200, 200, 240, 160), frame));
        windows.back()->setWindowTitle(title);
        return static_cast<TestWindow*>(windows.back().get());
    };

    if (kind == "normal" || kind == "untitled") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Frameless);
        QVERIFY(window->showAndWait());
        target = window->nativeId();
        // Qt names an untitled window after the program, so the names are taken away.
        if (kind == "untitled")
            QVERIFY(removeTitle(target));
    } else if (kind == "framed") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Framed);
        QVERIFY(window->showAndWait());
        target = window->nativeId();
    } else if (kind == "minimised") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Framed);
        QVERIFY(window->showAndWait());
        target = window->nativeId();
        window->showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(system_->isMinimised(target), 5000);
    } else if (kind == "hidden" || kind == "hidden tool") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Framed);
        if (kind == "hidden tool")
            window->setWindowFlag(Qt::Tool);
        QVERIFY(window->showAndWait());
        target = window->nativeId();
        window->hide();
        QTRY_VERIFY_WITH_TIMEOUT(withdrawn(target), 5000);
    } else if (kind == "created") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Framed);
        target = window->nativeId(); // created, never mapped
    } else if (kind == "dock" || kind == "desktop") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Frameless);
        target = window->nativeId();
        QVERIFY(setWindowType(target, kind == "dock" ? "_NET_WM_WINDOW_TYPE_DOCK"
                                                     : "_NET_WM_WINDOW_TYPE_DESKTOP"));
        QVERIFY(window->showAndWait());
    } else if (kind == "tool") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Framed);
        window->setWindowFlag(Qt::Tool);
        QVERIFY(window->showAndWait());
        target = window->nativeId();
    } else if (kind == "popup") {
        auto* window = addWindow(Qt::red, TestWindow::Frame::Frameless);
        window->setWindowFlags(Qt::ToolTip);
        QVERIFY(window->showAndWait());
        target = window->nativeId();
    } else if (kind == "dialog" || kind == "shell normal" || kind == "shell dialog") {
        // A panel makes this process the desktop shell for the shell cases.
        auto* owner = addWindow(Qt::blue, TestWindow::Frame::Framed);
        owner->setWindowTitle(QStringLiteral("Owner window"));
        if (kind.startsWith("shell")) {
            QVERIFY(setWindowType(owner->nativeId(), "_NET_WM_WINDOW_TYPE_DOCK"));
            owner->setWindowTitle(QStringLiteral("Panel"));
        }
        QVERIFY(owner->showAndWait());
        if (kind == "shell normal") {
            auto* window = addWindow(Qt::red, TestWindow::Frame::Framed);
            QVERIFY(window->showAndWait());
            target = window->nativeId();
        } else {
            auto dialog = std::make_unique<QDialog>(owner);
            dialog->setWindowTitle(title);
            dialog->resize(200, 100);
            dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
            target = static_cast<NativeWindow>(dialog->winId());
            windows.insert(windows.begin(), std::move(dialog)); // destroyed after its owner
        }
    } else if (kind.startsWith("helper") || kind.startsWith("nobody")) {
        if (kind.startsWith("nobody") && ::getuid() != 0)
            QSKIP("starting a process of another account needs root");
        helper = std::make_unique<HelperWindow>(title, kind.endsWith("shown"),
                                                kind.startsWith("nobody"));
        target = helper->window();
        QVERIFY2(target != 0, "the helper process did not start");
        if (kind.endsWith("shown"))
            QTRY_VERIFY_WITH_TIMEOUT(system_->isVisible(target), 5000);
    } else {
        QFAIL("unknown case");
    }
    QVERIFY(target != 0);

    const QList<WindowEntry> entries = system_->enumerateWindows(includeHidden);
    bool found = false;
    for (const auto& entry : entries)
        found = found || entry.window == target;
    QCOMPARE(found, listed);
    if (listed)
        QVERIFY(titles(entries).contains(title));
    // The window manager's own windows are never offered.
    QVERIFY(!titles(system_->enumerateWindows(true)).contains(QStringLiteral("Openbox")));
}

void tst_WindowList::listsTopmostFirst()
{
    std::vector<std::unique_ptr<TestWindow>> windows;
    for (int i = 0; i < 3; ++i) {
        windows.push_back(std::make_unique<TestWindow>(
            Qt::green, QRect(100 + 50 * i, 100, 200, 150), TestWindow::Frame::Framed));
        windows.back()->setWindowTitle(QStringLiteral("Stacked %1").arg(i));
        QVERIFY(windows.back()->showAndWait());
    }
    // Raise them as 1, 0, 2: the list then starts with 2, then 0, then 1.
    for (int i : {1, 0, 2}) {
        windows[i]->raise();
        windows[i]->activateWindow();
        QTest::qWait(100);
    }
    const QStringList expected{QStringLiteral("Stacked 2"), QStringLiteral("Stacked 0"),
                               QStringLiteral("Stacked 1")};
    QTRY_COMPARE_WITH_TIMEOUT(titles(system_->enumerateWindows(false)), expected, 5000);
}

void tst_WindowList::identityOfOwnWindow()
{
    TestWindow window(Qt::red, QRect(100, 100, 200, 150), TestWindow::Frame::Framed);
    window.setWindowTitle(QStringLiteral("Identity \u00e9t\u00e9"));
    QVERIFY(window.showAndWait());
    const NativeWindow id = window.nativeId();

    const WindowIdentity identity = system_->windowIdentity(id);
    QCOMPARE(identity.pid, static_cast<quint32>(QCoreApplication::applicationPid()));
    QCOMPARE(identity.exeName, QStringLiteral("tst_WindowList"));
    QVERIFY(!identity.className.isEmpty());
    QCOMPARE(identity.className, xpropClass(id));
    QCOMPARE(system_->windowTitle(id), QStringLiteral("Identity \u00e9t\u00e9"));

    // The picker's own helpers give the same answers on a connection of their own.
    const WindowIdentity again = WindowSelectorThumbnailView::windowIdentity(id);
    QCOMPARE(again.pid, identity.pid);
    QCOMPARE(again.className, identity.className);
    QCOMPARE(again.exeName, identity.exeName);
    QCOMPARE(WindowSelectorThumbnailView::findWindowByIdentity(identity), id);

    const WindowIdentity none = system_->windowIdentity(0x7ffffff0);
    QCOMPARE(none.pid, 0u);
    QVERIFY(none.className.isEmpty());
    QVERIFY(none.exeName.isEmpty());
}

void tst_WindowList::findWindowByIdentity_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("found");

    QTest::newRow("same identity") << ""
                                   << "shown" << true;
    QTest::newRow("minimised") << ""
                               << "minimised" << true;
    QTest::newRow("hidden") << ""
                            << "hidden" << false;
    QTest::newRow("one-letter title") << ""
                                      << "one-letter title" << false;
    QTest::newRow("utility window") << ""
                                    << "tool" << false;
    QTest::newRow("other pid") << "pid"
                               << "shown" << false;
    QTest::newRow("pid zero") << "pid zero"
                              << "shown" << false;
    QTest::newRow("other class") << "class"
                                 << "shown" << false;
    QTest::newRow("other executable") << "exe"
                                      << "shown" << false;
}

void tst_WindowList::findWindowByIdentity()
{
    QFETCH(QString, change);
    QFETCH(QString, state);
    QFETCH(bool, found);

    TestWindow window(Qt::red, QRect(100, 100, 200, 150), TestWindow::Frame::Framed);
    window.setWindowTitle(state == "one-letter title" ? QStringLiteral("A")
                                                      : QStringLiteral("Find me"));
    if (state == "tool")
        window.setWindowFlag(Qt::Tool);
    QVERIFY(window.showAndWait());
    const NativeWindow id = window.nativeId();
    WindowIdentity identity = system_->windowIdentity(id);
    QVERIFY(identity.pid != 0);

    if (state == "minimised") {
        window.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(system_->isMinimised(id), 5000);
    } else if (state == "hidden") {
        window.hide();
        QTRY_VERIFY_WITH_TIMEOUT(withdrawn(id), 5000);
    }
    if (change == "pid")
        identity.pid = static_cast<quint32>(::getppid());
    else if (change == "pid zero")
        identity.pid = 0;
    else if (change == "class")
        identity.className += QLatin1Char('x');
    else if (change == "exe")
        identity.exeName = QStringLiteral("notepad");

    QCOMPARE(system_->findWindowByIdentity(identity), found ? id : NativeWindow(0));
}

void tst_WindowList::findFailsAfterRestart()
{
    WindowIdentity first;
    {
        HelperWindow helper(QStringLiteral("Restarted program"), true);
        QVERIFY(helper.window() != 0);
        QTRY_VERIFY_WITH_TIMEOUT(system_->isVisible(helper.window()), 5000);
        first = system_->windowIdentity(helper.window());
        QCOMPARE(first.pid, helper.pid());
        QCOMPARE(system_->findWindowByIdentity(first), helper.window());
    }
    HelperWindow restarted(QStringLiteral("Restarted program"), true);
    QVERIFY(restarted.window() != 0);
    QTRY_VERIFY_WITH_TIMEOUT(system_->isVisible(restarted.window()), 5000);
    const WindowIdentity second = system_->windowIdentity(restarted.window());
    QVERIFY(second.pid != first.pid);
    QCOMPARE(second.className, first.className);
    QCOMPARE(second.exeName, first.exeName);

    QCOMPARE(system_->findWindowByIdentity(first), NativeWindow(0));
    QCOMPARE(system_->findWindowByIdentity(second), restarted.window());
}

void tst_WindowList::windowImageShowsContent_data()
{
    QTest::addColumn<bool>("minimised");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("red window") << false << QColor(Qt::red);
    QTest::newRow("blue window") << false << QColor(Qt::blue);
    QTest::newRow("minimised window has no picture") << true << QColor(Qt::red);
}

void tst_WindowList::windowImageShowsContent()
{
    QFETCH(bool, minimised);
    QFETCH(QColor, colour);

    TestWindow window(colour, QRect(300, 300, 240, 160), TestWindow::Frame::Framed);
    window.setWindowTitle(QStringLiteral("Picture"));
    QVERIFY(window.showAndWait());
    const NativeWindow id = window.nativeId();
    if (minimised) {
        window.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(system_->isMinimised(id), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!system_->isVisible(id), 5000);
        QVERIFY(system_->windowImage(id).isNull());
        return;
    }
    const QImage image = system_->windowImage(id);
    QVERIFY(!image.isNull());
    // The outer image: the client area plus whatever frame the window manager drew.
    QCOMPARE(image.size(), system_->outerRect(id).size());
    QVERIFY(image.width() > window.width());
    const QPoint inside = window.globalRect().center() - system_->outerRect(id).topLeft();
    QCOMPARE(image.pixelColor(inside), colour);

    QVERIFY(system_->windowImage(0x7ffffff0).isNull());
}

void tst_WindowList::pickerOverRealWindows()
{
    std::vector<std::unique_ptr<TestWindow>> windows;
    const QList<QColor> colours{Qt::red, Qt::green, Qt::blue};
    for (int i = 0; i < 3; ++i) {
        windows.push_back(std::make_unique<TestWindow>(
            colours[i], QRect(50 + 320 * i, 100, 240, 160), TestWindow::Frame::Framed));
        windows.back()->setWindowTitle(QStringLiteral("Picker %1").arg(i));
        QVERIFY(windows.back()->showAndWait());
    }
    WindowSelectorThumbnailView view;
    const auto cards = view.findChildren<QWidget*>(QRegularExpression("^grid_parent_"));
    QCOMPARE(cards.size(), 3);
    QStringList cardTitles;
    for (int i = 0; i < 3; ++i) {
        auto* card = view.findChild<QWidget*>(QStringLiteral("grid_parent_0_%1").arg(i));
        QVERIFY(card);
        const auto labels = card->findChildren<QLabel*>();
        QCOMPARE(labels.size(), 2);
        // Each card's thumbnail is the window's picture, not the placeholder.
        QVERIFY(!labels[0]->pixmap().isNull());
        const QImage thumbnail = labels[0]->pixmap().toImage();
        QVERIFY(thumbnail.width() <= 160 && thumbnail.height() <= 100);
        const int index = labels[1]->text().back().digitValue();
        QVERIFY(index >= 0 && index < 3);
        QCOMPARE(thumbnail.pixelColor(thumbnail.rect().center()), colours[index]);
        cardTitles.append(labels[1]->text());
    }
    QCOMPARE(cardTitles, titles(system_->enumerateWindows(false)));

    auto* second = view.findChild<QWidget*>(QStringLiteral("grid_parent_0_1"));
    QTest::mouseClick(second, Qt::LeftButton);
    view.confirmSelection();
    QCOMPARE(view.result(), int(QDialog::Accepted));
    QCOMPARE(view.selectedTitle, cardTitles[1]);
    QCOMPARE(system_->windowTitle(view.selectedWindow), cardTitles[1]);
}

// Clicks with the real pointer, through the X server.
void clickAt(QWidget* widget)
{
    const QPoint p = widget->mapToGlobal(widget->rect().center());
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()),
                       QStringLiteral("click"), QStringLiteral("1")});
}

QMessageBox* visibleMessageBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    return nullptr;
}

void tst_WindowList::pickerUnderRealPointer_data()
{
    QTest::addColumn<QString>("answer"); // how the warning is answered
    QTest::newRow("warning answered by its button") << "click";
    QTest::newRow("warning answered by the Return key") << "Return";
    QTest::newRow("warning answered by the Escape key") << "Escape";
}

void tst_WindowList::pickerUnderRealPointer()
{
    QFETCH(QString, answer);
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("needs xdotool");
    TestWindow window(Qt::red, QRect(900, 500, 240, 160), TestWindow::Frame::Framed);
    window.setWindowTitle(QStringLiteral("Pick me"));
    QVERIFY(window.showAndWait());

    WindowSelectorThumbnailView view;
    view.move(100, 100);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto* ok = view.findChild<QPushButton*>(QStringLiteral("pushButtonOk"));

    // Ok without a selection: the warning, answered with the pointer, leaves the picker open.
    QString warning;
    int pollsSinceAnswer = -1;
    bool forcedShut = false;
    QTimer poll;
    poll.setInterval(50);
    connect(&poll, &QTimer::timeout, this, [&] {
        QMessageBox* box = visibleMessageBox();
        if (box && warning.isEmpty()) {
            warning = box->text();
            QTimer::singleShot(200, box, [box, answer, &pollsSinceAnswer] {
                pollsSinceAnswer = 0;
                if (answer == "click")
                    clickAt(box->button(QMessageBox::Ok));
                else
                    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), answer});
            });
        } else if (box && pollsSinceAnswer >= 0 && ++pollsSinceAnswer > 100) {
            // A box that ignores the user would hold the test in its event loop for good.
            forcedShut = true;
            box->reject();
        }
    });
    poll.start();
    clickAt(ok);
    QTRY_COMPARE_WITH_TIMEOUT(warning, QStringLiteral("Please select a window first."), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!visibleMessageBox(), 10000);
    poll.stop();
    QVERIFY2(!forcedShut, "the warning could not be answered");
    QVERIFY(view.isVisible());

    auto* card = view.findChild<QWidget*>(QStringLiteral("grid_parent_0_0"));
    QVERIFY(card);
    clickAt(card);
    QTRY_COMPARE_WITH_TIMEOUT(view.selectedTitle, QStringLiteral("Pick me"), 5000);
    clickAt(ok);
    QTRY_COMPARE_WITH_TIMEOUT(view.result(), int(QDialog::Accepted), 5000);
    QCOMPARE(view.selectedWindow, window.nativeId());
}

int main(int argc, char** argv)
{
    if (argc >= 2 && qstrcmp(argv[1], "--window-helper") == 0)
        return runWindowHelper(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tst_WindowList test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_WindowList.moc"
