/* Reads one byte past the end of a heap block when given an argument: in an
 * instrumented build AddressSanitizer must report it, which proves that the
 * end-to-end harness notices a report from a program it runs. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    size_t n = strlen(argv[0]);
    char *copy = malloc(n);
    if (!copy)
        return 2;
    memcpy(copy, argv[0], n);
    volatile char c = copy[argc > 1 ? n : 0];
    printf("%d\n", c != 0);
    free(copy);
    return 0;
}
