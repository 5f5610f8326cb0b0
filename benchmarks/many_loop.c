/* The floor for reading many single-spectrum files: for each path, open,
   one 4 KiB pread, the directory, the values into the file's row, close.
   Built and run by many.py:  many_loop LIST ROUNDS POINTS  (LIST: one path
   a line).  Each round fills a fresh matrix, mapped and advised as NumPy
   maps a large array, so that it does the work a reader into a new array
   does.  Prints the median seconds per file over the rounds. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/mman.h>
#include <unistd.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static int cmp(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    FILE* list = fopen(argv[1], "r");
    int rounds = atoi(argv[2]), points = atoi(argv[3]);
    char line[4096];
    char** paths = NULL;
    size_t n = 0, cap = 0;
    while (fgets(line, sizeof line, list)) {
        line[strcspn(line, "\n")] = 0;
        if (n == cap) paths = realloc(paths, (cap = cap ? 2 * cap : 1024) * sizeof *paths);
        paths[n++] = strdup(line);
    }
    fclose(list);
    size_t matrix_size = n * (size_t)points * sizeof(float);
    double* times = malloc(rounds * sizeof(double));
    unsigned char block[4096];
    for (int r = 0; r < rounds; ++r) {
        double start = now();
        float* matrix = mmap(NULL, matrix_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (matrix == MAP_FAILED) return 1;
        madvise(matrix, matrix_size, MADV_HUGEPAGE);
        for (size_t i = 0; i < n; ++i) {
            int fd = open(paths[i], O_RDONLY | O_CLOEXEC);
            if (fd < 0) return 1;
            ssize_t got = pread(fd, block, sizeof block, 0);
            if (got < 304) return 1;
            uint16_t sections;
            memcpy(&sections, block + 294, 2);
            uint32_t values_at = 0, header_at = 0;
            for (unsigned k = 0; k < sections && 304 + 16 * (k + 1) <= (unsigned)got; ++k) {
                uint16_t type;
                uint32_t at;
                memcpy(&type, block + 304 + 16 * k, 2);
                memcpy(&at, block + 304 + 16 * k + 2, 4);
                if (type == 2 && !header_at) header_at = at;
                if (type == 3 && !values_at) values_at = at;
            }
            uint32_t count = 0;
            if (header_at + 8 <= (unsigned)got) memcpy(&count, block + header_at + 4, 4);
            if ((int)count != points) return 1;
            if (pread(fd, matrix + i * (size_t)points, count * 4, values_at) != (ssize_t)(count * 4)) return 1;
            close(fd);
        }
        times[r] = (now() - start) / n;
        munmap(matrix, matrix_size);
    }
    qsort(times, rounds, sizeof *times, cmp);
    printf("%.9f\n", times[rounds / 2]);
    return 0;
}
