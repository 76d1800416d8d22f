/* DPI-C glue: a SystemVerilog memory asks for the words of a firmware
 * executable at time 0, and takes them one by one. C, and C++ as Verilator
 * compiles it. */
#include <romwright/romwright.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t *words;
static uint64_t count;

static void take(void *ctx, uint64_t index, const uint8_t *word, size_t bytes) {
  (void)ctx;
  if (index >= count) {
    uint64_t more = count == 0 ? 1024 : count * 2;
    while (more <= index) more *= 2;
    uint32_t *grown = (uint32_t *)realloc(words, more * sizeof *words);
    if (grown == NULL) return;
    memset(grown + count, 0, (more - count) * sizeof *words);
    words = grown;
    count = more;
  }
  uint32_t v = 0;
  for (size_t i = 0; i < bytes && i < 4; i++) v |= (uint32_t)word[i] << (8 * i);
  words[index] = v;
}

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the memory's words; 0 when it could, else -1 after the reason. */
int rw_load(const char *path, const char *options) {
  char err[512];
  if (rw_words(path, options, take, NULL, err, sizeof err) != 0) {
    fprintf(stderr, "rw_load: %s\n", err);
    return -1;
  }
  return 0;
}

/* The word at `index`, 0 past the memory. */
unsigned int rw_word(int index) {
  return index >= 0 && (uint64_t)index < count ? words[index] : 0;
}

#ifdef __cplusplus
}
#endif
