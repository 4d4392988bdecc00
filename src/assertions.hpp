#pragma once

#include <glib.h>

// Stops the program with GLib's assertion message when an internal
// precondition is broken. The message names the source file, the line, the
// bare function name and the failed expression.
#define SKIFFER_ASSERT(expr)                                                   \
    do {                                                                       \
        if (!(expr))                                                           \
            g_assertion_message_expr(nullptr, __FILE__, __LINE__, __func__,    \
                                     #expr);                                   \
    } while (0)
