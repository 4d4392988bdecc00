#pragma once

// Small pieces every module shares: the assertion for internal
// preconditions and owning pointers for GLib's allocations.

#include <memory>

#include <glib.h>

// Stops the program with GLib's assertion message when an internal
// precondition is broken. The message names the source file, the line, the
// bare function name and the failed expression.
#define SKIFFER_ASSERT(expr)                                                                       \
    do {                                                                                           \
        if (!(expr))                                                                               \
            g_assertion_message_expr(nullptr, __FILE__, __LINE__, __func__, #expr);                \
    } while (0)

namespace skiffer {

struct gchar_deleter {
    void operator()(gchar *text) const { g_free(text); }
};
using gchar_ptr = std::unique_ptr<gchar, gchar_deleter>;

struct strv_deleter {
    void operator()(gchar **strings) const { g_strfreev(strings); }
};
using strv_ptr = std::unique_ptr<gchar *, strv_deleter>;

struct error_deleter {
    void operator()(GError *error) const { g_error_free(error); }
};
using error_ptr = std::unique_ptr<GError, error_deleter>;

} // namespace skiffer
