#include "SessionBox.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

bool showSessionBox(const SessionBox& box, QWidget* owner)
{
    switch (box.kind) {
    case SessionBox::Kind::Info:
        QMessageBox::information(owner, box.title, box.text);
        return true;
    case SessionBox::Kind::Warning:
        QMessageBox::warning(owner, box.title, box.text);
        return true;
    case SessionBox::Kind::EncoderLag:
        return QMessageBox::warning(owner, box.title, box.text, QMessageBox::Yes | QMessageBox::No,
                                    QMessageBox::No) == QMessageBox::Yes;
    case SessionBox::Kind::WindowHidden:
    case SessionBox::Kind::WindowMinimized: {
        // No parent: the prompt must be seen even when the main window is hidden.
        QMessageBox prompt;
        prompt.setWindowTitle(box.title);
        prompt.setText(box.text);
        prompt.setInformativeText(box.informativeText);
        prompt.setIcon(QMessageBox::Question);
        const QString proceedText =
            box.kind == SessionBox::Kind::WindowHidden
                ? QCoreApplication::translate("screen_capture_win", "Show & Continue")
                : QCoreApplication::translate("screen_capture_win", "Restore & Continue");
        QPushButton* proceed = prompt.addButton(proceedText, QMessageBox::YesRole);
        prompt.addButton(QCoreApplication::translate("screen_capture_win", "Cancel Recording"),
                         QMessageBox::NoRole);
        prompt.setDefaultButton(proceed);
        prompt.exec();
        return prompt.clickedButton() == proceed;
    }
    }
    return true;
}
