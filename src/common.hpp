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

// `text` with its control characters escaped, for messages on a terminal:
// text from a feed or a server can hold escape sequences that would act on
// the terminal, or line breaks that would forge lines. The C0 controls and
// DEL become "\x1b" (two lower-case hexadecimal digits), the C1 controls
// U+0080 to U+009F, which some terminals obey in UTF-8, become "\u009b".
// Every other byte, valid UTF-8 or not, stays as it is.
inline std::string printable(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 0xf];
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            shown += "\\u00";
            shown += digits[next >> 4];
            shown += digits[next & 0xf];
            ++i;
        } else {
            shown += text[i];
        }
    }
    return shown;
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
