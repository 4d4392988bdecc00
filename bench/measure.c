/* Runs one command and writes its wall time and peak memory to a file.
 *
 * Usage: measure RESULT_FILE COMMAND [ARGUMENT...]
 * RESULT_FILE gets one line: "SECONDS MAX_RSS_KIB EXIT_STATUS".
 *
 * The benchmark times every program through this small process rather than
 * from Python: the clock then covers only the fork, the program and the
 * wait, and the peak RSS is the program's own. Linux carries the high-water
 * mark of the memory a process had before exec over into ru_maxrss, so a
 * child forked from the Python interpreter would never show less than the
 * interpreter's size. ru_maxrss here is what GNU time prints as %M. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: measure RESULT_FILE COMMAND [ARGUMENT...]\n");
        return 2;
    }
    FILE *result = fopen(argv[1], "w");
    if (result == NULL) {
        perror(argv[1]);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child == -1) {
        perror("measure: fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) == -1) {
        perror("measure: wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(result, "%.6f %ld %d\n", seconds, usage.ru_maxrss, exit_status);
    if (fclose(result) != 0) {
        perror(argv[1]);
        return 2;
    }
    return 0;
}
