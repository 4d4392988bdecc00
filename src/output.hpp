#pragma once

// Where a channel's run prints. Every message and line that the run makes
// goes through print_out and print_err to the output sink of the calling
// thread: the process's own standard streams, or a sink that holds a
// channel's lines until they can be printed whole, in the channel's turn.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <glib.h>

namespace skiffer {

enum class output_stream { out, err };

class output_sink {
public:
    virtual ~output_sink() = default;
    // Adds `text` to the stream; text is never lost or reordered within it.
    virtual void write(output_stream stream, std::string_view text) = 0;
    // Makes what was written to standard output visible now, where that
    // means anything (a progress bar redrawn in place).
    virtual void flush() {}
};

// The process's standard output and standard error, through stdio as any
// program writes them: standard output buffered, standard error not.
class direct_output final : public output_sink {
public:
    void write(output_stream stream, std::string_view text) override;
    void flush() override;
};

// Holds what is written, in the order it came, to be printed later as one
// block.
class held_output final : public output_sink {
public:
    void write(output_stream stream, std::string_view text) override;
    // Writes the block to the standard streams, each piece to its own
    // stream in the order the pieces were made; where both streams are one
    // file or terminal, the block reads as it was made. Then forgets it.
    void print();
    // Writes the block into another sink, piece by piece.
    void pass_on(output_sink &to) const;
    bool empty() const { return pieces_.empty(); }

private:
    std::vector<std::pair<output_stream, std::string>> pieces_;
};

// Makes `sink` the calling thread's output while it lives.
class scoped_output {
public:
    explicit scoped_output(output_sink &sink);
    ~scoped_output();
    scoped_output(const scoped_output &) = delete;
    scoped_output &operator=(const scoped_output &) = delete;

private:
    output_sink *previous_;
};

// The calling thread's output: the innermost scoped_output's sink, else the
// standard streams.
output_sink &current_output();

// printf onto the calling thread's standard output or standard error.
void print_out(const char *format, ...) G_GNUC_PRINTF(1, 2);
void print_err(const char *format, ...) G_GNUC_PRINTF(1, 2);
// perror's line, "PREFIX: REASON", for the error number `error`.
void print_error_number(const char *prefix, int error);

} // namespace skiffer
