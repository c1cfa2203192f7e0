#include "MessageBoxTitleFit.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>

void MessageBoxTitleFit::install()
{
    static MessageBoxTitleFit* const filter = [] {
        auto* created = new MessageBoxTitleFit(qApp);
        qApp->installEventFilter(created);
        return created;
    }();
    Q_UNUSED(filter);
}

bool MessageBoxTitleFit::eventFilter(QObject* watched, QEvent* event)
{
    // Before the box's own show handling, which sizes it from its layout.
    auto* box = event->type() == QEvent::Show ? qobject_cast<QMessageBox*>(watched) : nullptr;
    auto* text = box ? box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")) : nullptr;
    if (text && box->layout()) {
        // Title bars set the title in bold, beside an icon and three buttons of about two lines'
        // height each.
        QFont bold = box->font();
        bold.setBold(true);
        const QFontMetrics metrics(bold);
        const int wanted = metrics.horizontalAdvance(box->windowTitle()) + 8 * metrics.height();
        const int missing = wanted - box->layout()->totalMinimumSize().width();
        if (missing > 0)
            text->setMinimumWidth(text->minimumSizeHint().width() + missing);
    }
    return QObject::eventFilter(watched, event);
}
