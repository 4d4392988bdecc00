#include "output.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace skiffer {

namespace {

direct_output standard_streams;
thread_local output_sink *thread_output = nullptr;

FILE *stream_of(output_stream stream) {
    return stream == output_stream::out ? stdout : stderr;
}

// printf's work for print_out and print_err, whose format it is handed.
void print_formatted(output_stream stream, const char *format, va_list arguments)
    G_GNUC_PRINTF(2, 0);
void print_formatted(output_stream stream, const char *format, va_list arguments) {
    // Nearly every line fits; a longer one is formatted a second time.
    char line[512];
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof line) {
        current_output().write(stream, std::string_view(line, static_cast<size_t>(length)));
    } else {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
        current_output().write(stream, text);
    }
    va_end(again);
}

} // namespace

void direct_output::write(output_stream stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream_of(stream));
}

void direct_output::flush() {
    std::fflush(stdout);
}

void held_output::write(output_stream stream, std::string_view text) {
    if (!pieces_.empty() && pieces_.back().first == stream)
        pieces_.back().second += text;
    else
        pieces_.emplace_back(stream, std::string(text));
}

void held_output::print() {
    for (const auto &[stream, text] : pieces_) {
        FILE *file = stream_of(stream);
        std::fwrite(text.data(), 1, text.size(), file);
        // Standard output is buffered: flushed at each change of stream, so
        // that a shared file receives the pieces in their order.
        std::fflush(file);
    }
    pieces_.clear();
}

void held_output::pass_on(output_sink &to) const {
    for (const auto &[stream, text] : pieces_)
        to.write(stream, text);
}

scoped_output::scoped_output(output_sink &sink) : previous_(thread_output) {
    thread_output = &sink;
}

scoped_output::~scoped_output() {
    thread_output = previous_;
}

output_sink &current_output() {
    return thread_output != nullptr ? *thread_output : standard_streams;
}

void print_out(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    print_formatted(output_stream::out, format, arguments);
    va_end(arguments);
}

void print_err(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    print_formatted(output_stream::err, format, arguments);
    va_end(arguments);
}

void print_error_number(const char *prefix, int error) {
    print_err("%s: %s\n", prefix, std::strerror(error));
}

} // namespace skiffer
