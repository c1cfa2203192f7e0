#pragma once

#include "MacroItem.h"

#include <QObject>

// Carries requests to start or stop a macro to the main window, so that every start passes
// through its checks (nothing else recording) before the executor runs.
class EventBus : public QObject
{
    Q_OBJECT

public:
    static EventBus* instance();

Q_SIGNALS:
    void requestStartMacroExecutionToMainWindow(MacroItem item);
    void requestStopMacroExecutionToMainWindow();

private:
    EventBus() = default;
};
