#include "MacroBoxes.h"

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

void setHandler(Handler replacement)
{
    handler() = std::move(replacement);
}

} // namespace macroboxes
