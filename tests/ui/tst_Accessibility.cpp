// Every control of each window has a name that says what it does, here and on the accessibility
// bus (AT-SPI) a screen reader reads; every text fits its widget, in English and in German.
#include "base/LanguageManager.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "hotkeys/HotkeyDialog.h"
#include "macro/MacroActionSelectSourceDialog.h"
#include "macro/MacroListDialog.h"
#include "macro/MacroStore.h"
#include "macro/NewMacroDialog.h"
#include "platform/systemd/WindowsTaskScheduler.h"
#include "schedule/NewScheduleDialog.h"
#include "schedule/ScheduleListDialog.h"
#include "schedule/ScheduleStore.h"
#include "support/FakeDesktop.h"
#include "support/TestSupport.h"
#include "ui/AccessibleTableView.h"
#include "ui/BG_Mode_Window.h"
#include "ui/DarkTheme.h"
#include "ui/MainWindow.h"
#include "ui/MessageBoxTitleFit.h"
#include "widgets/WindowSelectorThumbnailView.h"
#include "ui/settings_win.h"

#include <QTcpServer>
#include <QtDBus>
#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <memory>

using WindowFactory = std::function<QWidget*()>;
Q_DECLARE_METATYPE(WindowFactory)

namespace {

using A = QAccessible;
const QSet<A::Role> kOperable{A::PushButton,     A::CheckBox,   A::RadioButton,  A::ButtonMenu,
                              A::ButtonDropDown, A::ComboBox,   A::EditableText, A::SpinBox,
                              A::Slider,         A::Dial,       A::List,         A::Table,
                              A::Tree,           A::PageTabList};

// Says what the control is for: not one character, not just icon-font glyphs, not in others.
bool says(QString name, const QStringList& others)
{
    name = name.trimmed();
    return name.size() > 1 && !others.contains(name) &&
           !QRegularExpression(QStringLiteral("^[\\p{Co}\\s]+$")).match(name).hasMatch();
}

bool named(QAccessibleInterface* control)
{
    // Not its value (views report their name as their value, so there is none to mistake) and
    // not the title of its group box, which Qt falls back on but which names the group.
    const auto* widget = qobject_cast<const QWidget*>(control->object());
    const auto* group = widget ? qobject_cast<const QGroupBox*>(widget->parentWidget()) : nullptr;
    const bool view = QSet{A::List, A::Table, A::Tree}.contains(control->role());
    const QStringList others{view ? QString() : control->text(A::Value).trimmed(),
                             group ? group->title() : QString()};
    if (says(control->text(A::Name), others))
        return true;
    for (const auto& [label, relation] : control->relations(A::Label))
        if (says(label->text(A::Name), others))
            return true;
    // On Unix Qt names a combo box by its selection and leaves its purpose to a buddy label;
    // other platforms read the widget's own accessible name.
    return control->role() == A::ComboBox && widget && says(widget->accessibleName(), others);
}

QString busPath(QObject* object)
{
    return QStringLiteral("/org/a11y/atspi/accessible/%1")
        .arg(QAccessible::uniqueId(QAccessible::queryAccessibleInterface(object)));
}

// The name, by path, of every node a screen reader reaches on the AT-SPI bus from the
// applications' root, and from a popup, which is no child of its application; empty for a node
// without a role. The bridge answers on this thread: the calls go out from another.
QHash<QString, QString> busTree(const QString& popup)
{
    QHash<QString, QString> nodes;
    std::unique_ptr<QThread> walker(QThread::create([&] {
        const QDBusConnection bus = QDBusConnection::connectToBus(
            QDBusReply<QString>(
                QDBusInterface("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus").call("GetAddress")),
            "walker");
        QString app; // none before the registry's list is read
        std::function<void(const QString&)> walk = [&](const QString& path) {
            QDBusInterface node(app.isEmpty() ? "org.a11y.atspi.Registry" : app, path,
                                "org.a11y.atspi.Accessible", bus);
            if (!app.isEmpty() && nodes.contains(path))
                return;
            if (!app.isEmpty())
                nodes[path] = QDBusReply<uint>(node.call("GetRole")).value()
                                  ? node.property("Name").toString()
                                  : "";
            for (int i = 0; i < node.property("ChildCount").toInt(); ++i) {
                const auto [child, childPath] = qdbus_cast<std::pair<QString, QDBusObjectPath>>(
                    node.call("GetChildAtIndex", i).arguments().value(0));
                app = child;
                walk(childPath.path());
            }
        };
        walk("/org/a11y/atspi/accessible/root");
        if (!popup.isEmpty())
            walk(popup);
    }));
    QEventLoop loop;
    QObject::connect(walker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    walker->start();
    loop.exec();
    return nodes;
}

// Each label, button and table column narrower than its text asks for, with the margins of its
// style, and each read-only field narrower than its text.
QStringList clippedTexts(const QWidget* window)
{
    QStringList clipped;
    for (const QWidget* widget : window->findChildren<QWidget*>()) {
        const auto* label = qobject_cast<const QLabel*>(widget);
        const auto* edit = qobject_cast<const QLineEdit*>(widget);
        const auto* view = qobject_cast<const QAbstractItemView*>(widget);
        const QString text = widget->property("text").toString();
        if (!widget->isVisibleTo(window) || qobject_cast<const QToolButton*>(widget))
            continue;
        if (!text.isEmpty() &&
            ((label && !label->wordWrap()) || widget->inherits("QAbstractButton")) &&
            widget->width() < widget->sizeHint().width())
            clipped << widget->objectName() + " '" + text + "'";
        QStyleOptionFrame frame; // the text's room, inside the padding of the dark look
        frame.initFrom(widget);
        if (edit && edit->isReadOnly() &&
            edit->fontMetrics().horizontalAdvance(edit->text()) + 4 >
                widget->style()->subElementRect(QStyle::SE_LineEditContents, &frame, edit).width())
            clipped << edit->objectName() + " '" + edit->text() + "'";
        const auto* table = qobject_cast<const QTableView*>(widget);
        for (int column = 0; table && column < table->model()->columnCount(); ++column)
            if (std::max(view->sizeHintForColumn(column),
                         table->horizontalHeader()->sectionSizeHint(column)) >
                table->columnWidth(column))
                clipped << table->objectName() + " column " + QString::number(column);
    }
    return clipped;
}

template <class Window> WindowFactory make()
{
    return [] { return new Window; };
}

} // namespace

class tst_Accessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Qt joins the accessibility bus once asked, through the session bus isolation drops.
        QAccessible::isActive();
        testsupport::isolateUserFolders();
        // A port of its own for the main window's tab server, free whatever else runs here.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        SettingsStore::instance().setValue(settings::kTabCaptureGroup, settings::kWebSocketPort,
                                           probe.serverPort());
        // A macro and a schedule, so that their lists have a row with its controls.
        MacroStore::instance().addMacro(MacroItem());
        ScheduleStore::setTaskSchedulerFactory([] { return nullptr; });
        ScheduleStore::instance().addSchedule(ScheduleItem());
        // As the program starts: its look, its table interface and its message boxes.
        applyDarkTheme();
        AccessibleTableView::install();
        MessageBoxTitleFit::install();
        LanguageManager::instance().setLanguagesDirectory(QFileInfo(TORVANE_EXE).path() +
                                                          "/Languages");
        QTRY_VERIFY(!busTree({}).isEmpty());
    }

    // In both languages, each control a user can click (operable, or showing a pointing hand) is
    // named, also on the bus with a role; each text fits.
    void everyControlIsNamedAndFits_data()
    {
        QTest::addColumn<WindowFactory>("make");
        QTest::addColumn<QString>("language");
        const QList<QPair<const char*, WindowFactory>> windows{
            {"main window", make<MainWindow>()},
            {"background bar", make<BG_Mode_Window>()},
            {"hotkeys", make<HotkeyDialog>()},
            {"settings", make<settings_win>()},
            {"schedule list", make<ScheduleListDialog>()},
            {"schedule editor", make<NewScheduleDialog>()},
            {"macro list", make<MacroListDialog>()},
            {"macro editor with a wait",
             [] {
                 auto* editor = new NewMacroDialog;
                 editor->addAction();
                 return editor;
             }},
            {"macro source action", make<MacroActionSelectSourceDialog>()},
            {"window picker with a window",
             [] {
                 static testsupport::FakeDesktop desktop;
                 desktop.shown = {{NativeWindow(1), "Terminal"}};
                 return new WindowSelectorThumbnailView(
                     nullptr, std::make_unique<testsupport::FakeWindowSystem>(&desktop));
             }},
            {"message box", [] {
                 return new QMessageBox(QMessageBox::Critical, QObject::tr("Download Failed"), "!");
             }}};
        for (const char* language : {"en", "de"})
            for (const auto& [name, make] : windows)
                QTest::addRow("%s (%s)", name, language) << make << QString(language);
    }
    void everyControlIsNamedAndFits()
    {
        QFETCH(WindowFactory, make);
        QFETCH(QString, language);
        LanguageManager::instance().setLanguage(language);
        const std::unique_ptr<QWidget> window(make());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const auto bus = busTree(window->windowType() == Qt::Popup ? busPath(window.get()) : "");
        QStringList faults;
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            QAccessibleInterface* control = QAccessible::queryAccessibleInterface(widget);
            if (!widget->isHidden() && widget->window() == window.get() &&
                (kOperable.contains(control->role()) ||
                 (widget->testAttribute(Qt::WA_SetCursor) &&
                  widget->cursor().shape() == Qt::PointingHandCursor)) &&
                (!named(control) || bus.value(busPath(widget)).isEmpty()))
                faults << widget->objectName() + " is not named here or on the bus";
        }
        // Every page of each tab widget in turn, as a hidden page is not laid out.
        faults << clippedTexts(window.get());
        for (QTabWidget* tabs : window->findChildren<QTabWidget*>())
            for (int page = 0; page < tabs->count(); ++page) {
                tabs->setCurrentIndex(page);
                faults << clippedTexts(window.get());
            }
        // The title, in bold, beside the title bar's icon and three buttons as wide as it is high.
        const QFontMetrics bold(
            QFont(window->font().family(), window->font().pointSize(), QFont::Bold));
        const int bar = window->windowHandle()->frameMargins().top();
        if (bar && bold.horizontalAdvance(window->windowTitle()) > window->width() - 5 * bar)
            faults << "title " + window->windowTitle();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("\n"))));
    }
};

QTEST_MAIN(tst_Accessibility)
#include "tst_Accessibility.moc"
