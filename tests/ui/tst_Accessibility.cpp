// Every control of the main window and of each dialog has an accessible name that says what it
// does, as a screen reader gets it from Qt's accessibility interfaces: not empty, not a lone
// icon-font glyph and not merely the value the control shows.
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "hotkeys/HotkeyDialog.h"
#include "macro/MacroActionSelectSourceDialog.h"
#include "macro/MacroListDialog.h"
#include "macro/NewMacroDialog.h"
#include "schedule/NewScheduleDialog.h"
#include "schedule/ScheduleListDialog.h"
#include "support/TestSupport.h"
#include "ui/BG_Mode_Window.h"
#include "ui/MainWindow.h"
#include "ui/WindowSelectorThumbnailView.h"
#include "ui/settings_win.h"

#include <QAccessible>
#include <QSet>
#include <QTabWidget>
#include <QTcpServer>
#include <QtTest>

#include <functional>
#include <memory>

using WindowFactory = std::function<std::unique_ptr<QWidget>()>;
Q_DECLARE_METATYPE(WindowFactory)

namespace {

bool operable(QAccessible::Role role)
{
    using enum QAccessible::Role;
    static const QSet<QAccessible::Role> roles{
        PushButton, CheckBox, RadioButton, ButtonMenu, ButtonDropDown, ComboBox, EditableText,
        SpinBox,    Slider,   Dial,        List,       Table,          Tree,     PageTabList};
    return roles.contains(role);
}

// Icon fonts draw their symbols from the private use area, one character each.
bool glyphOnly(const QString& name)
{
    return name.size() <= 1 || std::all_of(name.begin(), name.end(), [](QChar c) {
               return c.category() == QChar::Other_PrivateUse || c.isSpace();
           });
}

// Says what the control is for: not empty, not one icon-font glyph, not the value it shows.
bool says(const QString& name, const QString& value)
{
    return !glyphOnly(name.trimmed()) && name.trimmed() != value;
}

bool named(QAccessibleInterface* control)
{
    // Views report their name as their value: there is no value to mistake for a name.
    const QAccessible::Role role = control->role();
    const bool view =
        role == QAccessible::List || role == QAccessible::Table || role == QAccessible::Tree;
    const QString value = view ? QString() : control->text(QAccessible::Value).trimmed();
    if (says(control->text(QAccessible::Name), value))
        return true;
    for (const auto& [label, relation] : control->relations(QAccessible::Label))
        if (says(label->text(QAccessible::Name), value))
            return true;
    // On Unix Qt names a combo box by its selection and leaves its purpose to a buddy label;
    // other platforms read the widget's own accessible name.
    const auto* widget = qobject_cast<const QWidget*>(control->object());
    return role == QAccessible::ComboBox && widget && says(widget->accessibleName(), value);
}

// Each visible operable control without a proper name, as "object name (role): 'name'".
void collectNameless(QAccessibleInterface* node, QStringList* nameless)
{
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* child = node->child(i);
        if (!child || child->state().invisible)
            continue;
        if (operable(child->role()) && !named(child))
            nameless->append(QStringLiteral("%1 (%2): '%3'")
                                 .arg(child->object() ? child->object()->objectName() : QString())
                                 .arg(int(child->role()))
                                 .arg(child->text(QAccessible::Name)));
        collectNameless(child, nameless);
    }
}

template <class Window> WindowFactory make()
{
    return [] { return std::unique_ptr<QWidget>(std::make_unique<Window>()); };
}

} // namespace

class tst_Accessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        // A port of its own for the main window's tab server, free whatever else runs here.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        SettingsStore::instance().setValue(settings::kTabCaptureGroup, settings::kWebSocketPort,
                                           probe.serverPort());
    }

    void everyControlIsNamed_data()
    {
        QTest::addColumn<WindowFactory>("make");
        QTest::newRow("main window") << make<MainWindow>();
        QTest::newRow("background bar") << make<BG_Mode_Window>();
        QTest::newRow("hotkeys") << make<HotkeyDialog>();
        QTest::newRow("settings") << make<settings_win>();
        QTest::newRow("schedule list") << make<ScheduleListDialog>();
        QTest::newRow("schedule editor") << make<NewScheduleDialog>();
        QTest::newRow("macro list") << make<MacroListDialog>();
        QTest::newRow("macro editor") << make<NewMacroDialog>();
        QTest::newRow("macro source action") << make<MacroActionSelectSourceDialog>();
        QTest::newRow("window picker") << make<WindowSelectorThumbnailView>();
    }
    void everyControlIsNamed()
    {
        QFETCH(WindowFactory, make);
        const std::unique_ptr<QWidget> window = make();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window.get());
        QVERIFY(root);
        // Every page of the tab widgets in turn, as a hidden page's controls are left out.
        const QList<QTabWidget*> tabs = window->findChildren<QTabWidget*>();
        int pages = 1;
        for (const QTabWidget* tab : tabs)
            pages = std::max(pages, tab->count());
        QStringList nameless;
        for (int page = 0; page < pages; ++page) {
            for (QTabWidget* tab : tabs)
                tab->setCurrentIndex(std::min(page, tab->count() - 1));
            collectNameless(root, &nameless);
        }
        nameless.removeDuplicates();
        QVERIFY2(nameless.isEmpty(), qPrintable(nameless.join(QStringLiteral("\n"))));
    }
};

QTEST_MAIN(tst_Accessibility)
#include "tst_Accessibility.moc"
