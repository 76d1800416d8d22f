/* The library's C face, as a C11 program uses it: the words of a memory and
 * the bytes of its file, from the same executable, agree with each other; a
 * bad option comes back as a message. Usage: c_api_test ELF */
#include <romwright/romwright.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct seen {
  uint64_t count;
  uint64_t next;
  uint8_t bytes[1 << 16];
  int inOrder;
};

static void take(void *ctx, uint64_t index, const uint8_t *word, size_t bytes) {
  struct seen *s = ctx;
  if (index != s->next) s->inOrder = 0;
  s->next = index + 1;
  /* A 32-bit word, least significant byte first: as a little-endian bin. */
  if (bytes == 4 && index * 4 + 4 <= sizeof s->bytes) memcpy(s->bytes + index * 4, word, 4);
  s->count++;
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  char err[256];
  static struct seen s = {0, 0, {0}, 1};
  if (rw_words(argv[1], "--format=vmem --width=32 --byte-order=little --region=0:1K --crop", take, &s, err,
               sizeof err) != 0) {
    fprintf(stderr, "rw_words: %s\n", err);
    return 1;
  }
  uint8_t *data = NULL;
  size_t size = 0;
  if (rw_render(argv[1], "--format=bin --region=0:1K --crop", &data, &size, err, sizeof err) != 0) {
    fprintf(stderr, "rw_render: %s\n", err);
    return 1;
  }
  int ok = s.inOrder && s.count == 256 && size == 1024 && memcmp(data, s.bytes, size) == 0;
  rw_free(data);
  if (!ok) {
    fprintf(stderr, "words and bytes differ: %llu words, %zu bytes\n", (unsigned long long)s.count, size);
    return 1;
  }
  /* A bad option: -1, the message, nothing made. */
  data = (uint8_t *)1;
  if (rw_render(argv[1], "--format=vmem --widht=8", &data, &size, err, sizeof err) != -1 || data != NULL ||
      strcmp(err, "unrecognized option '--widht'") != 0) {
    fprintf(stderr, "bad option: %s\n", err);
    return 1;
  }
  /* A message cut to the room given, with its NUL. */
  char small[8];
  if (rw_words("/nonexistent", "--format=vmem", take, &s, small, sizeof small) != -1 ||
      strcmp(small, "unable ") != 0) {
    fprintf(stderr, "short message: %s\n", small);
    return 1;
  }
  puts("ok");
  return 0;
}
