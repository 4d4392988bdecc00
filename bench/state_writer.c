/* The reference for the catch-up row: what writing skiffer's state files
 * costs when nothing but the writing is done. For a feed of N enclosures a
 * catch-up saves the state file N + 1 times, after each enclosure and once
 * more with the feed's fetch time, each time whole and through a temporary
 * file. This program writes the same N + 1 files the same way: the content
 * kept in one buffer that only grows, each file put out with one write(),
 * made durable with fsync() (skiffer syncs each state file before renaming
 * it) and moved over the state file with rename().
 *
 * Usage: state_writer STATE_FILE URL_LIST STAMP
 * URL_LIST holds one enclosure URL a line, in feed order; STAMP is the time
 * stamp written for every enclosure and as the fetch time. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char *buffer;
static size_t length, capacity;

static void append(const char *text, size_t size) {
    if (length + size > capacity) {
        capacity = (length + size) * 2;
        buffer = realloc(buffer, capacity);
        if (buffer == NULL) {
            perror("state_writer: realloc");
            exit(1);
        }
    }
    memcpy(buffer + length, text, size);
    length += size;
}

static void append_text(const char *text) {
    append(text, strlen(text));
}

/* Replaces `target` with the buffer's content, like skiffer's safe
 * replacement: a new file beside the target, one write, fsync, rename. */
static void save(const char *target, char *temporary) {
    sprintf(temporary, "%s.XXXXXX", target);
    int fd = mkstemp(temporary);
    if (fd == -1) {
        perror("state_writer: mkstemp");
        exit(1);
    }
    /* One write for the whole file; a short write only happens on a full
     * disk or a signal, and then the rest follows. */
    for (size_t done = 0; done < length;) {
        ssize_t written = write(fd, buffer + done, length - done);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            perror("state_writer: write");
            exit(1);
        }
        done += (size_t)written;
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(temporary, target) != 0) {
        perror("state_writer: fsync, close or rename");
        exit(1);
    }
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: state_writer STATE_FILE URL_LIST STAMP\n");
        return 2;
    }
    const char *target = argv[1], *stamp = argv[3];
    FILE *list = fopen(argv[2], "r");
    if (list == NULL) {
        perror(argv[2]);
        return 1;
    }
    char *temporary = malloc(strlen(target) + 8);
    static const char header[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    static const char closing[] = "</channel>\n";
    append_text(header);
    append_text("<channel version=\"1.0\">\n");

    char *url = NULL;
    size_t url_capacity = 0;
    ssize_t url_length;
    while ((url_length = getline(&url, &url_capacity, list)) > 0) {
        if (url[url_length - 1] == '\n')
            url[--url_length] = '\0';
        append_text("  <enclosure url=\"");
        append(url, (size_t)url_length);
        append_text("\" downloadtime=\"");
        append_text(stamp);
        append_text("\"/>\n");
        /* The closing tag goes on for the write and comes off afterwards,
         * so the buffer is never copied. */
        size_t body = length;
        append_text(closing);
        save(target, temporary);
        length = body;
    }
    fclose(list);

    /* The last save also records when the feed was fetched: the same
     * enclosures under a longer channel line. */
    size_t lines_start = strlen(header) + strlen("<channel version=\"1.0\">\n");
    char *lines = malloc(length - lines_start);
    size_t lines_length = length - lines_start;
    memcpy(lines, buffer + lines_start, lines_length);
    length = 0;
    append_text(header);
    append_text("<channel version=\"1.0\" rsslastfetched=\"");
    append_text(stamp);
    append_text("\">\n");
    append(lines, lines_length);
    append_text(closing);
    save(target, temporary);
    return 0;
}
