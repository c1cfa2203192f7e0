#include "MacroBoxes.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace macroboxes {
namespace {
Handler& handler()
{
    static Handler current;
    return current;
}
} // namespace

bool show(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (handler())
        return handler()(icon, title, text);
    if (icon == QMessageBox::Question)
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
    return true;
}

void tellBrokenFile(QWidget* list, const QString& path, const QString& copy)
{
    if (copy.isEmpty())
        return;
    const QString text =
        QCoreApplication::translate(
            "MacroBoxes",
            "%1 could not be read, so the list started empty. The file was kept as %2.")
            .arg(QFileInfo(path).fileName(), copy);
    QMetaObject::invokeMethod(
        list,
        [list, text] {
            show(list, QMessageBox::Warning, QCoreApplication::translate("MacroBoxes", "Warning"),
                 text);
        },
        Qt::QueuedConnection);
}

void setHandler(Handler replacement)
{
    handler() = std::move(replacement);
}

} // namespace macroboxes
