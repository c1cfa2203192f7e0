#pragma once

#include <QMetaType>

// Kind of a worker thread's message to the session.
enum MSG_TYPE {
    MSG_INFO = 0,    // information, e.g. the end of a written file
    MSG_ERROR = 1,   // an error that ends the recording
    MSG_WARNING = 2, // a notice that does not end the recording (capture fallback)
};

Q_DECLARE_METATYPE(MSG_TYPE)
