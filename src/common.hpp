#pragma once

// Small pieces every module shares: the assertion for internal
// preconditions, owning pointers over C handles and GLib's allocations, and
// the way to receive a handle through a C out-parameter.

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <unistd.h>

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

// Releases a C handle with the library's own function, so that an owning
// pointer is one alias: c_ptr<GRegex, g_regex_unref>.
template <auto release> struct c_deleter {
    template <typename T> void operator()(T *handle) const { release(handle); }
};
template <typename T, auto release> using c_ptr = std::unique_ptr<T, c_deleter<release>>;

using gchar_ptr = c_ptr<gchar, g_free>;
using strv_ptr = c_ptr<gchar *, g_strfreev>;
using error_ptr = c_ptr<GError, g_error_free>;

// Hands an owning pointer to a C function that returns a handle through an
// out-parameter, as GLib does with errors: `call(..., out_ptr(error))`. The
// owner takes the handle when the full expression ends.
template <typename Owner> class out_ptr_t {
public:
    explicit out_ptr_t(Owner &owner) : owner_(owner) {}
    out_ptr_t(const out_ptr_t &) = delete;
    out_ptr_t &operator=(const out_ptr_t &) = delete;
    ~out_ptr_t() { owner_.reset(raw_); }
    operator typename Owner::pointer *() { return &raw_; }

private:
    Owner &owner_;
    typename Owner::pointer raw_ = nullptr;
};

template <typename Owner> out_ptr_t<Owner> out_ptr(Owner &owner) {
    return out_ptr_t<Owner>(owner);
}

// The length in bytes of the control character that starts at `i` in
// `text`: 1 for the C0 controls and DEL, 2 for the C1 controls U+0080 to
// U+009F, which UTF-8 writes as 0xc2 and a second byte and some terminals
// obey; 0 when no control character starts there.
inline size_t control_character_length(std::string_view text, size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f)
        return 1;
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    return byte == 0xc2 && next >= 0x80 && next <= 0x9f ? 2 : 0;
}

// `text` with its control characters escaped, for messages on a terminal:
// text from a feed or a server can hold escape sequences that would act on
// the terminal, or line breaks that would forge lines. The C0 controls and
// DEL become "\x1b" (two lower-case hexadecimal digits), the C1 controls
// become "\u009b". Every other byte, valid UTF-8 or not, stays as it is.
inline std::string printable(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t control = control_character_length(text, i);
        if (control == 0) {
            shown += text[i];
            continue;
        }
        // The code point's last byte gives both digits in either form.
        const auto code = static_cast<unsigned char>(text[i + control - 1]);
        shown += control == 1 ? "\\x" : "\\u00";
        shown += digits[code >> 4];
        shown += digits[code & 0xf];
        i += control - 1;
    }
    return shown;
}

// The extension of the file name `name`: from its last dot on, when a stem
// stands before the dot and the extension is at most 16 bytes long, as
// media files have them; else empty. A title with a dot early on has no
// extension.
inline std::string_view file_extension(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16)
        return {};
    return name.substr(dot);
}

// Owns a file descriptor and closes it when destroyed, for descriptors whose
// close cannot lose data: read-only files, directories, locks. A descriptor
// that was written to is closed explicitly and the result checked.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ != -1; }
    void reset(int fd = -1) {
        if (fd_ != -1)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

} // namespace skiffer
