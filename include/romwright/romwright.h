/* romwright for C, and for simulators that load firmware through SystemVerilog
 * DPI-C or VPI: the words of a memory image made from a firmware executable,
 * or the bytes of the file the command line would write for it, in memory.
 *
 * `options` is one string of the command line's long options, separated by
 * blanks ("--format=vmem --region=0:16K --width=32"); a value with blanks is
 * quoted with '...' or "...". Three more pick what comes back: --select=NAME
 * (one of several --memory), --bank=N and --lane=N. Every call is independent
 * and may run in any thread; none prints, exits or handles signals. */
#ifndef ROMWRIGHT_H
#define ROMWRIGHT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Takes one word of the memory: its index from the memory's first address
 * and its value, least significant byte first, in `bytes` bytes. */
typedef void (*rw_word_fn)(void *ctx, uint64_t index, const uint8_t *word, size_t bytes);

/* Hands every word of the memory that `input` makes with `options` to `fn`,
 * in order. Returns 0, or -1 with the message (one line or more, without the
 * last newline) in `err`, cut to `errlen` bytes with its NUL. */
int rw_words(const char *input, const char *options, rw_word_fn fn, void *ctx, char *err, size_t errlen);

/* Makes the bytes of the file the command line would write, in `*data`
 * (`*size` bytes, to be released with rw_free). Returns 0, or -1 with the
 * message in `err`. */
int rw_render(const char *input, const char *options, uint8_t **data, size_t *size, char *err, size_t errlen);

/* Releases what rw_render made; null is taken. */
void rw_free(uint8_t *data);

#ifdef __cplusplus
}
#endif

#endif
